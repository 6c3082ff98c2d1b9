#include "manifests/hls_playlists.h"

#include <algorithm>
#include <cstdio>
#include <vector>

namespace morvex {
namespace {

constexpr const char* kAudioGroup = "audio";

std::string media_playlist_uri(const PackagedTrack& t) { return t.folder + "/" + kMediaPlaylist; }

// FRAME-RATE: a decimal-floating-point rounded to three places (4.3.4.2).
std::string frame_rate_text(const PackagedTrack& t) {
    if (!t.frame_duration) return {};
    const uint64_t milli = (uint64_t(t.timescale) * 1000 * 2 / t.frame_duration + 1) / 2;
    return seconds_text(milli);
}

struct Rates {
    uint64_t peak = 0;
    uint64_t average = 0;
};

Rates rates_of(const PackagedTrack& t) { return Rates{peak_bit_rate(t), average_bit_rate(t)}; }

void stream_inf(std::string& out, const PackagedTrack& lead, const Rates& extra, const std::string& codecs,
                bool audio_group) {
    const Rates own = rates_of(lead);
    out += "#EXT-X-STREAM-INF:BANDWIDTH=" + std::to_string(own.peak + extra.peak);
    out += ",AVERAGE-BANDWIDTH=" + std::to_string(own.average + extra.average);
    out += ",CODECS=\"" + codecs + "\"";
    if (lead.video) {
        if (lead.stream.width && lead.stream.height)
            out += ",RESOLUTION=" + std::to_string(lead.stream.width) + "x" + std::to_string(lead.stream.height);
        if (const std::string rate = frame_rate_text(lead); !rate.empty()) out += ",FRAME-RATE=" + rate;
    }
    if (audio_group) out += ",AUDIO=\"" + std::string(kAudioGroup) + "\"";
    out += '\n';
    out += media_playlist_uri(lead);
    out += '\n';
}

}  // namespace

std::string hls_media_playlist(const PackagedTrack& t, const PackageLayout& layout) {
    std::string out = "#EXTM3U\n#EXT-X-VERSION:7\n";
    out += "#EXT-X-TARGETDURATION:" + std::to_string(target_duration(t)) + "\n";
    out += "#EXT-X-PLAYLIST-TYPE:VOD\n#EXT-X-INDEPENDENT-SEGMENTS\n";
    if (layout.byte_range)
        out += "#EXT-X-MAP:URI=\"" + std::string(kMediaFile) + "\",BYTERANGE=\"" + std::to_string(t.header_size) +
               "@0\"\n";
    else
        out += "#EXT-X-MAP:URI=\"" + std::string(kHeaderFile) + "\"\n";
    for (size_t k = 0; k < t.segments.size(); ++k) {
        const PackagedSegment& s = t.segments[k];
        out += "#EXTINF:" + seconds_text(milliseconds(s.duration, t.timescale)) + ",\n";
        if (layout.byte_range)
            out += "#EXT-X-BYTERANGE:" + std::to_string(s.size) + "@" + std::to_string(s.offset) + "\n" + kMediaFile +
                   "\n";
        else
            out += segment_file(k) + "\n";
    }
    out += "#EXT-X-ENDLIST\n";
    return out;
}

std::string hls_master_playlist(std::span<const PackagedTrack> tracks) {
    std::string out = "#EXTM3U\n#EXT-X-VERSION:7\n#EXT-X-INDEPENDENT-SEGMENTS\n";
    std::vector<const PackagedTrack*> videos, audios;
    for (const auto& t : tracks) (t.video ? videos : audios).push_back(&t);
    if (videos.empty()) {
        for (const PackagedTrack* a : audios) stream_inf(out, *a, {}, safe_codec_string(a->stream.codec_string), false);
        return out;
    }
    // The audio renditions, and what any of them adds to a variant stream.
    Rates most;
    std::vector<std::string> audio_codecs;
    for (size_t k = 0; k < audios.size(); ++k) {
        const PackagedTrack& a = *audios[k];
        const Rates r = rates_of(a);
        most.peak = std::max(most.peak, r.peak);
        most.average = std::max(most.average, r.average);
        const std::string codec = safe_codec_string(a.stream.codec_string);
        if (std::find(audio_codecs.begin(), audio_codecs.end(), codec) == audio_codecs.end())
            audio_codecs.push_back(codec);
        out += "#EXT-X-MEDIA:TYPE=AUDIO,GROUP-ID=\"" + std::string(kAudioGroup) + "\",NAME=\"" + a.folder + "\"";
        if (const std::string language = safe_language(a.stream.language); !language.empty())
            out += ",LANGUAGE=\"" + language + "\"";
        out += k == 0 ? ",DEFAULT=YES,AUTOSELECT=YES" : ",DEFAULT=NO,AUTOSELECT=YES";
        if (a.stream.channels) out += ",CHANNELS=\"" + std::to_string(a.stream.channels) + "\"";
        out += ",URI=\"" + media_playlist_uri(a) + "\"\n";
    }
    for (const PackagedTrack* v : videos) {
        std::string codecs = safe_codec_string(v->stream.codec_string);
        for (const auto& c : audio_codecs) codecs += "," + c;
        stream_inf(out, *v, most, codecs, !audios.empty());
    }
    return out;
}

}  // namespace morvex
