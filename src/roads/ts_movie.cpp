#include "roads/ts_movie.h"

#include <algorithm>

#include <string>

#include "codecs/h264_sps.h"
#include "codecs/hevc_sps.h"
#include "codecs/mpeg2_video.h"
#include "common/byte_writer.h"
#include "common/messages.h"
#include "isobmff/fourcc.h"
#include "mp4/movie_boxes.h"
#include "mp4/sample_entries.h"

namespace morvex {
namespace {

// ftyp: isom 512, compatible isom, iso2, mp41.
constexpr uint8_t kFtyp[28] = {0, 0, 0, 28, 'f', 't', 'y', 'p', 'i', 's', 'o', 'm', 0,   0,
                               2, 0, 'i', 's', 'o', 'm', 'i', 's', 'o', '2', 'm', 'p', '4', '1'};

// What the track header and sample entry need from the parameter sets.
struct VideoFormat {
    uint16_t width = 1920;
    uint16_t height = 1080;
};

// MPEG-2: the first sequence header and its extension.
struct Mpeg2Sequence {
    mpeg2::Sequence sequence;
    uint8_t object_type = 0x61;
    Bytes decoder_config;  // both behind their start codes
};

std::optional<Mpeg2Sequence> mpeg2_sequence(const ParameterSets& sets) {
    if (sets.sps.empty()) return std::nullopt;
    const auto header = mpeg2::parse_sequence_header(sets.sps.front());
    if (!header) return std::nullopt;
    std::optional<mpeg2::SequenceExtension> extension;
    if (!sets.pps.empty()) extension = mpeg2::parse_sequence_extension(sets.pps.front());
    Mpeg2Sequence m;
    m.sequence = mpeg2::describe_sequence(*header, extension);
    m.object_type = mpeg2::object_type_indication(extension);
    for (const ByteSpan unit : {sets.sps.front(), extension ? sets.pps.front() : ByteSpan()}) {
        if (unit.empty()) continue;
        for (uint8_t b : {0, 0, 1}) m.decoder_config.push_back(b);
        m.decoder_config.insert(m.decoder_config.end(), unit.begin(), unit.end());
    }
    return m;
}

VideoFormat video_format(VideoCodec codec, const ParameterSets& sets) {
    VideoFormat f;
    if (sets.sps.empty()) return f;
    auto take = [&f](const auto& sps) {
        f.width = sps.width;
        f.height = sps.height;
    };
    if (codec == VideoCodec::Mpeg2) {
        if (auto m = mpeg2_sequence(sets)) take(m->sequence);
    } else if (codec == VideoCodec::Hevc) {
        if (auto sps = hevc::parse_sps(sets.sps.front())) take(*sps);
    } else if (auto sps = h264::parse_sps(sets.sps.front())) {
        take(*sps);
    }
    return f;
}

// With in-band parameter sets the configuration record holds the first of
// each kind, to open the decoder; otherwise every one the stream has.
void write_video_entry(ByteWriter& w, VideoCodec codec, const ParameterSets& sets, bool in_band, uint16_t width,
                       uint16_t height) {
    auto first = [](const std::vector<ByteSpan>& v) { return v.empty() ? ByteSpan() : v.front(); };
    if (codec == VideoCodec::Mpeg2) {
        const Mpeg2Sequence m = mpeg2_sequence(sets).value_or(Mpeg2Sequence{});
        write_mp4v_entry(w, width, height, m.object_type, m.decoder_config, m.sequence.bit_rate);
        return;
    }
    if (codec == VideoCodec::Hevc) {
        write_hvc1_entry(w, width, height, first(sets.vps), first(sets.sps), first(sets.pps), in_band);
        return;
    }
    std::vector<ByteSpan> sps = sets.sps, pps = sets.pps;
    if (in_band) {
        sps.resize(std::min<size_t>(sps.size(), 1));
        pps.resize(std::min<size_t>(pps.size(), 1));
    }
    write_avc_entry(w, in_band, width, height, sps, pps);
}

void write_audio_entry(ByteWriter& w, const TsAudio& a) {
    const AudioConfigs& c = a.cutter.configs;
    switch (a.codec) {
        case AudioCodec::MpegAudio: write_mpeg_audio_entry(w, *c.mpeg); return;
        case AudioCodec::Ac3: write_ac3_entry(w, *c.ac3); return;
        case AudioCodec::Eac3: write_ec3_entry(w, *c.eac3); return;
        case AudioCodec::Latm:
            write_mp4a_entry(w, c.latm->specific_config, c.latm->channels, c.latm->sample_rate);
            return;
        case AudioCodec::Aac: {
            const aac::AdtsHeader config = c.aac.value_or(aac::AdtsHeader{});
            const uint32_t rate = aac::sample_rate(config.sampling_frequency_index);
            write_mp4a_entry(w, config, rate ? rate : 48000);
            return;
        }
    }
}

// The stream said what its sample entry needs.
bool audio_described(const TsAudio& a) {
    if (!a.format_known || !a.described) return false;
    const AudioConfigs& c = a.cutter.configs;
    switch (a.codec) {
        case AudioCodec::MpegAudio: return c.mpeg.has_value();
        case AudioCodec::Ac3: return c.ac3.has_value();
        case AudioCodec::Eac3: return c.ac3.has_value() && c.eac3.has_value();
        case AudioCodec::Latm: return c.latm.has_value();
        case AudioCodec::Aac: return true;
    }
    return false;
}

// ISO 639-2 codes in the PMT are lower-case letters; some muxers write
// capitals.
std::string language_of(const char (&code)[3]) {
    std::string l;
    for (char c : code) {
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
        if (c < 'a' || c > 'z') return "und";
        l += c;
    }
    return l;
}

}  // namespace

std::vector<int> ts_track_sources(const TsReader& r, bool one_audio) {
    std::vector<int> sources;
    if (r.video.pid && r.video.out.first_time) sources.push_back(kVideoSource);
    for (size_t k = 0; k < r.audio.size(); ++k)
        if (audio_described(r.audio[k]) && r.audio[k].out.first_time) {
            sources.push_back(int(k));
            if (one_audio) break;
        }
    return sources;
}

const TsTrackOutput& ts_track_output(const TsReader& r, int source) {
    return source == kVideoSource ? r.video.out : r.audio[size_t(source)].out;
}

TsTrackOutput& ts_track_output(TsReader& r, int source) {
    return source == kVideoSource ? r.video.out : r.audio[size_t(source)].out;
}

Result<std::unique_ptr<TsMovie>> ts_movie(const TsReader& r, bool in_band, std::vector<int> sources) {
    const TsVideo& v = r.video;
    if (sources.empty()) sources = ts_track_sources(r);
    // A programme with video needs its pictures; one without, its audio.
    if ((v.pid && !v.out.first_time) || sources.empty()) {
        if (!r.accepted && r.uncarried_video) return invalid(unsupported_video_message(*r.uncarried_video));
        return invalid(msg::kNoVideo);
    }
    auto m = std::make_unique<TsMovie>();
    m->sources = sources;
    const size_t audio_tracks = size_t(std::count_if(sources.begin(), sources.end(), [](int k) { return k != kVideoSource; }));
    const VideoFormat format = video_format(v.codec, v.cutter.sets);
    ByteWriter w{m->templates};
    size_t moov = w.begin_box("moov");
    write_mvhd(w, kTsClock, 0, uint32_t(sources.size() + 1));
    size_t place = w.begin_box("trak");
    w.end_box(place);
    w.end_box(moov);
    std::vector<size_t> at;
    bool first_audio = true;
    for (size_t k = 0; k < sources.size(); ++k) {
        at.push_back(m->templates.size());
        FreshTrack h;
        h.track_id = uint32_t(k + 1);
        if (sources[k] == kVideoSource) {
            h.width = format.width;
            h.height = format.height;
            write_fresh_trak(w, h, [&](ByteWriter& e) {
                write_video_entry(e, v.codec, v.cutter.sets, in_band, format.width, format.height);
            });
            continue;
        }
        const TsAudio& a = r.audio[size_t(sources[k])];
        const std::string language = language_of(a.language);
        h.video = false;
        h.timescale = a.clock.timescale;
        h.enabled = first_audio;
        h.alternate_group = audio_tracks > 1 ? 1 : 0;
        h.language = language;
        first_audio = false;
        write_fresh_trak(w, h, [&](ByteWriter& e) { write_audio_entry(e, a); });
    }
    at.push_back(m->templates.size());
    const ByteSpan templates(m->templates);

    Movie& movie = m->movie;
    movie.ftyp = ByteSpan(kFtyp);
    movie.moov = templates.subspan(0, at[0]);
    movie.timescale = kTsClock;
    for (size_t k = 0; k < sources.size(); ++k) {
        Track t;
        t.track_id = uint32_t(k + 1);
        t.trak = templates.subspan(at[k], at[k + 1] - at[k]);
        if (sources[k] == kVideoSource) {
            t.handler = box::vide;
            t.timescale = kTsClock;
            t.omit_parameter_sets = !in_band;
        } else {
            t.handler = box::soun;
            t.timescale = r.audio[size_t(sources[k])].clock.timescale;
        }
        movie.tracks.push_back(std::move(t));
    }
    point_tracks_at(*m, r);
    return m;
}

void point_tracks_at(TsMovie& m, const TsReader& r) {
    for (size_t k = 0; k < m.sources.size(); ++k) {
        Track& t = m.movie.tracks[k];
        if (m.sources[k] == kVideoSource) {
            t.pieces = &r.video.es;
            t.nals = std::span<const NalRange>(r.video.cutter.nals.ranges);
            t.nal_base = r.video.cutter.nals.base;
        } else {
            const TsAudio& a = r.audio[size_t(m.sources[k])];
            if (a.stream.in_place) {
                t.pieces = &a.stream.pieces;
                continue;
            }
            t.source = ByteSpan(a.stream.data);
            t.source_base = a.stream.base;
        }
    }
}

int64_t ts_base_time(const TsMovie& m, const TsReader& r) {
    std::optional<int64_t> base;
    for (int k : m.sources)
        if (const auto& t = ts_track_output(r, k).first_time) base = base ? std::min(*base, *t) : *t;
    return base.value_or(0);
}

}  // namespace morvex
