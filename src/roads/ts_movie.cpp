#include "roads/ts_movie.h"

#include <algorithm>

#include "codecs/h264_sps.h"
#include "codecs/hevc_sps.h"
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

void write_trak_template(ByteWriter& w, uint32_t track_id, bool video, uint16_t width, uint16_t height,
                         uint32_t timescale, const auto& write_entry) {
    size_t trak = w.begin_box("trak");
    write_tkhd(w, track_id, 0, video ? 0 : 0x0100, video ? width : 0, video ? height : 0);
    size_t mdia = w.begin_box("mdia");
    write_mdhd(w, timescale, 0);
    write_hdlr(w, video ? "vide" : "soun");
    size_t minf = w.begin_box("minf");
    if (video) {
        size_t vmhd = w.begin_full_box("vmhd", 0, 1);
        w.zeros(8);  // graphicsmode, opcolor
        w.end_box(vmhd);
    } else {
        size_t smhd = w.begin_full_box("smhd", 0, 0);
        w.u16(0);  // balance
        w.u16(0);
        w.end_box(smhd);
    }
    write_dinf(w);
    size_t stbl = w.begin_box("stbl");
    size_t stsd = w.begin_full_box("stsd", 0, 0);
    w.u32(1);
    write_entry(w);
    w.end_box(stsd);
    w.end_box(stbl);
    w.end_box(minf);
    w.end_box(mdia);
    w.end_box(trak);
}

// What the track header and sample entry need from the parameter sets.
struct VideoFormat {
    uint16_t width = 1920;
    uint16_t height = 1080;
};

VideoFormat video_format(VideoCodec codec, const ParameterSets& sets) {
    VideoFormat f;
    if (sets.sps.empty()) return f;
    auto take = [&f](const auto& sps) {
        f.width = sps.width;
        f.height = sps.height;
    };
    if (codec == VideoCodec::Hevc) {
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
    if (!a.pid || !a.format_known || !a.described) return false;
    const AudioConfigs& c = a.cutter.configs;
    switch (a.codec) {
        case AudioCodec::MpegAudio: return c.mpeg.has_value();
        case AudioCodec::Ac3: return c.ac3.has_value();
        case AudioCodec::Eac3: return c.ac3.has_value() && c.eac3.has_value();
        case AudioCodec::Aac: return true;
    }
    return false;
}

}  // namespace

Result<std::unique_ptr<TsMovie>> ts_movie(const TsReader& r, bool in_band) {
    const TsVideo& v = r.video;
    if (!v.out.first_time) {
        if (!r.accepted && r.uncarried_video) return invalid(unsupported_video_message(*r.uncarried_video));
        return invalid(msg::kNoVideo);
    }
    auto m = std::make_unique<TsMovie>();
    const TsAudio& a = r.audio;
    m->has_audio = audio_described(a) && a.out.first_time.has_value();
    const VideoFormat format = video_format(v.codec, v.cutter.sets);
    ByteWriter w{m->templates};
    size_t moov = w.begin_box("moov");
    write_mvhd(w, kTsClock, 0, m->has_audio ? 3 : 2);
    size_t place = w.begin_box("trak");
    w.end_box(place);
    w.end_box(moov);
    const size_t video_at = m->templates.size();
    write_trak_template(w, 1, true, format.width, format.height, kTsClock, [&](ByteWriter& e) {
        write_video_entry(e, v.codec, v.cutter.sets, in_band, format.width, format.height);
    });
    const size_t audio_at = m->templates.size();
    if (m->has_audio)
        write_trak_template(w, 2, false, 0, 0, a.clock.timescale, [&](ByteWriter& e) { write_audio_entry(e, a); });
    const ByteSpan templates(m->templates);

    Movie& movie = m->movie;
    movie.ftyp = ByteSpan(kFtyp);
    movie.moov = templates.subspan(0, video_at);
    movie.timescale = kTsClock;
    Track vt;
    vt.track_id = 1;
    vt.handler = box::vide;
    vt.timescale = kTsClock;
    vt.trak = templates.subspan(video_at, audio_at - video_at);
    vt.omit_parameter_sets = !in_band;
    movie.tracks.push_back(std::move(vt));
    if (m->has_audio) {
        Track at;
        at.track_id = 2;
        at.handler = box::soun;
        at.timescale = a.clock.timescale;
        at.trak = templates.subspan(audio_at);
        movie.tracks.push_back(std::move(at));
    }
    point_tracks_at(*m, r);
    return m;
}

void point_tracks_at(TsMovie& m, const TsReader& r) {
    Track& vt = m.movie.tracks[0];
    vt.pieces = &r.video.es;
    vt.nals = std::span<const NalRange>(r.video.cutter.nals.ranges);
    vt.nal_base = r.video.cutter.nals.base;
    if (m.has_audio) {
        Track& at = m.movie.tracks[1];
        at.source = ByteSpan(r.audio.stream.data);
        at.source_base = r.audio.stream.base;
    }
}

int64_t ts_base_time(const TsMovie& m, const TsReader& r) {
    int64_t base = r.video.out.first_time.value_or(0);
    if (m.has_audio && r.audio.out.first_time) base = std::min(base, *r.audio.out.first_time);
    return base;
}

}  // namespace morvex
