#include "manifests/dash_manifest.h"

#include <algorithm>
#include <cstdio>
#include <numeric>
#include <vector>

namespace morvex {
namespace {

constexpr const char* kLiveProfiles = "urn:mpeg:dash:profile:isoff-live:2011,urn:mpeg:dash:profile:cmaf:2019";
constexpr const char* kOnDemandProfiles =
    "urn:mpeg:dash:profile:isoff-on-demand:2011,urn:mpeg:dash:profile:cmaf:2019";

std::string attribute(const char* name, const std::string& value) { return std::string(" ") + name + "=\"" + value + "\""; }

// A frame rate as the FrameRateType of 23009-1 5.3.12.2 writes it: a
// whole number, or a fraction ("30000/1001").
std::string frame_rate(const PackagedTrack& t) {
    const uint64_t g = std::gcd(uint64_t(t.timescale), uint64_t(t.frame_duration));
    const uint64_t num = t.timescale / g, den = t.frame_duration / g;
    return den == 1 ? std::to_string(num) : std::to_string(num) + "/" + std::to_string(den);
}

// The AudioChannelConfiguration (23009-1 5.8.4.7): AC-3 and E-AC-3 with
// Dolby's channel mask in four hexadecimal digits (ETSI TS 103 190-2 G.3),
// others with the count of channels (ISO/IEC 23003-3).
std::string channel_configuration(const StreamDescription& s) {
    char text[160];
    if (s.dolby_channels) {
        std::snprintf(text, sizeof text,
                      "<AudioChannelConfiguration "
                      "schemeIdUri=\"tag:dolby.com,2014:dash:audio_channel_configuration:2011\" value=\"%04X\"/>",
                      unsigned(s.dolby_channels));
        return text;
    }
    if (!s.channels) return {};
    std::snprintf(text, sizeof text,
                  "<AudioChannelConfiguration schemeIdUri=\"urn:mpeg:dash:23003:3:audio_channel_configuration:2011\" "
                  "value=\"%u\"/>",
                  unsigned(s.channels));
    return text;
}

// S elements (23009-1 5.3.9.6): t where a segment does not begin where the
// last one ended, r for segments of the same duration that follow.
void segment_timeline(std::string& out, const PackagedTrack& t, const char* indent) {
    out += std::string(indent) + "<SegmentTimeline>\n";
    const auto& segments = t.segments;
    for (size_t k = 0; k < segments.size();) {
        const PackagedSegment& s = segments[k];
        size_t repeat = 0;
        while (k + repeat + 1 < segments.size() && segments[k + repeat + 1].duration == s.duration &&
               segments[k + repeat + 1].decode_time == segments[k + repeat].decode_time + s.duration)
            ++repeat;
        out += std::string(indent) + "  <S";
        if (k == 0 || s.decode_time != segments[k - 1].decode_time + segments[k - 1].duration)
            out += attribute("t", std::to_string(s.decode_time));
        out += attribute("d", std::to_string(s.duration));
        if (repeat) out += attribute("r", std::to_string(repeat));
        out += "/>\n";
        k += repeat + 1;
    }
    out += std::string(indent) + "</SegmentTimeline>\n";
}

void representation(std::string& out, const PackagedTrack& t, const PackageLayout& layout) {
    out += "      <Representation" + attribute("id", t.folder) + attribute("bandwidth", std::to_string(peak_bit_rate(t))) +
           attribute("codecs", safe_codec_string(t.stream.codec_string));
    if (t.video) {
        if (t.stream.width && t.stream.height)
            out += attribute("width", std::to_string(t.stream.width)) + attribute("height", std::to_string(t.stream.height));
        if (t.frame_duration) out += attribute("frameRate", frame_rate(t));
    } else if (t.stream.sample_rate) {
        out += attribute("audioSamplingRate", std::to_string(t.stream.sample_rate));
    }
    out += ">\n";
    if (!t.video)
        if (const std::string c = channel_configuration(t.stream); !c.empty()) out += "        " + c + "\n";
    const std::string timescale = std::to_string(t.timescale);
    if (layout.byte_range) {
        const uint64_t index_end = t.header_size + t.index_size - 1;
        out += "        <BaseURL>" + t.folder + "/" + kMediaFile + "</BaseURL>\n";
        out += "        <SegmentBase" + attribute("timescale", timescale) +
               attribute("indexRange", std::to_string(t.header_size) + "-" + std::to_string(index_end)) +
               attribute("indexRangeExact", "true") + ">\n";
        out += "          <Initialization" + attribute("range", "0-" + std::to_string(t.header_size - 1)) + "/>\n";
        out += "        </SegmentBase>\n";
    } else {
        out += "        <SegmentTemplate" + attribute("timescale", timescale) +
               attribute("initialization", t.folder + "/" + kHeaderFile) +
               attribute("media", t.folder + "/seg$Number$.m4s") + attribute("startNumber", "1") + ">\n";
        segment_timeline(out, t, "          ");
        out += "        </SegmentTemplate>\n";
    }
    out += "      </Representation>\n";
}

}  // namespace

std::string dash_manifest(std::span<const PackagedTrack> tracks, const PackageLayout& layout) {
    uint64_t duration_ms = 0, buffer = 1;
    for (const auto& t : tracks) {
        if (!t.segments.empty()) {
            const PackagedSegment& last = t.segments.back();
            duration_ms = std::max(duration_ms, milliseconds(last.decode_time + last.duration, t.timescale));
        }
        buffer = std::max(buffer, target_duration(t));
    }
    std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    out += "<MPD xmlns=\"urn:mpeg:dash:schema:mpd:2011\"" +
           attribute("profiles", layout.byte_range ? kOnDemandProfiles : kLiveProfiles) + attribute("type", "static") +
           attribute("mediaPresentationDuration", "PT" + seconds_text(duration_ms) + "S") +
           attribute("minBufferTime", "PT" + std::to_string(buffer) + "S") + ">\n";
    out += "  <Period id=\"0\" start=\"PT0S\">\n";
    // One AdaptationSet per kind, and per language among audio tracks:
    // the Representations of a set are alternatives of one content.
    std::vector<std::vector<const PackagedTrack*>> sets;
    for (const auto& t : tracks) {
        auto same = std::find_if(sets.begin(), sets.end(), [&](const auto& set) {
            return set.front()->video == t.video && (t.video || set.front()->stream.language == t.stream.language);
        });
        if (same == sets.end()) sets.push_back({&t});
        else same->push_back(&t);
    }
    for (size_t k = 0; k < sets.size(); ++k) {
        const PackagedTrack& first = *sets[k].front();
        out += "    <AdaptationSet" + attribute("id", std::to_string(k)) +
               attribute("contentType", first.video ? "video" : "audio") +
               attribute("mimeType", first.video ? "video/mp4" : "audio/mp4");
        if (sets[k].size() == 1) out += attribute("segmentAlignment", "true");
        out += attribute("startWithSAP", "1");
        if (const std::string language = safe_language(first.stream.language); !first.video && !language.empty())
            out += attribute("lang", language);
        out += ">\n";
        for (const PackagedTrack* t : sets[k]) representation(out, *t, layout);
        out += "    </AdaptationSet>\n";
    }
    out += "  </Period>\n</MPD>\n";
    return out;
}

}  // namespace morvex
