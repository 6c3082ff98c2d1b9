#include "roads/ts_to_mp4.h"

#include <algorithm>

#include "codecs/h264_sps.h"
#include "codecs/hevc_sps.h"
#include "common/byte_writer.h"
#include "common/messages.h"
#include "isobmff/fourcc.h"
#include "mp4/movie_boxes.h"
#include "mp4/sample_entries.h"
#include "ts/access_units.h"
#include "ts/demuxer.h"
#include "ts/sample_timing.h"

namespace morvex {
namespace {

// ftyp: isom 512, compatible isom, iso2, mp41.
constexpr uint8_t kFtyp[28] = {0, 0, 0, 28, 'f', 't', 'y', 'p', 'i', 's', 'o', 'm', 0,   0,
                               2, 0, 'i', 's', 'o', 'm', 'i', 's', 'o', '2', 'm', 'p', '4', '1'};

// An empty edit of `delay`, then the whole media from media time 0 (both in
// the movie timescale, 90 kHz), so the track starts where the programme
// puts it.
std::vector<Edit> delay_edits(uint64_t delay, uint64_t media_90k) {
    if (delay == 0) return {};
    return {Edit{delay, -1, 0x00010000}, Edit{media_90k, 0, 0x00010000}};
}

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
    std::optional<uint32_t> frame_duration;  // 90 kHz, from the VUI timing
};

VideoFormat video_format(VideoCodec codec, const AccessUnits& units) {
    VideoFormat f;
    if (!units.sps) return f;
    auto take = [&f](const auto& sps) {
        f.width = sps.width;
        f.height = sps.height;
        f.frame_duration = sps.frame_duration_90k();
    };
    if (codec == VideoCodec::Hevc) {
        if (auto sps = hevc::parse_sps(*units.sps)) take(*sps);
    } else if (auto sps = h264::parse_sps(*units.sps)) {
        take(*sps);
    }
    return f;
}

// With in-band parameter sets the configuration record holds the first of
// each kind, to open the decoder; otherwise every one the stream has.
void write_video_entry(ByteWriter& w, VideoCodec codec, const AccessUnits& units, bool in_band, uint16_t width,
                       uint16_t height) {
    if (codec == VideoCodec::Hevc) {
        const ByteSpan none;
        write_hvc1_entry(w, width, height, units.vps.value_or(none), units.sps.value_or(none),
                         units.pps.value_or(none), in_band);
        return;
    }
    std::vector<ByteSpan> sps_sets = units.sps_sets, pps_sets = units.pps_sets;
    if (in_band) {
        sps_sets.resize(std::min<size_t>(sps_sets.size(), 1));
        pps_sets.resize(std::min<size_t>(pps_sets.size(), 1));
    }
    write_avc_entry(w, in_band, width, height, sps_sets, pps_sets);
}

// The audio track's clock and frame length. 48 kHz AAC counts on the 90 kHz
// clock (1920 ticks a frame); other audio in its own samples (AC-3 and
// E-AC-3: 1536 a frame, ETSI TS 102 366 F.2). `described`: the stream gave
// what its sample entry needs.
struct AudioFormat {
    uint32_t timescale = kTsClock;
    uint32_t frame_ticks = 1920;
    bool described = true;
};

AudioFormat audio_format_of(const TsProgram& p) {
    switch (p.audio_codec) {
        case AudioCodec::MpegAudio:
            if (!p.mpeg_config) return AudioFormat{48000, 1152, false};
            return AudioFormat{p.mpeg_config->sample_rate, p.mpeg_config->samples, true};
        case AudioCodec::Ac3:
        case AudioCodec::Eac3: {
            const bool described = p.ac3_config && (p.audio_codec == AudioCodec::Ac3 || p.eac3_config);
            if (!p.ac3_config) return AudioFormat{48000, ac3::kSamplesPerFrame, false};
            return AudioFormat{p.ac3_config->sample_rate, p.ac3_config->samples, described};
        }
        case AudioCodec::Aac: break;
    }
    const aac::AdtsHeader config = p.audio_config.value_or(aac::AdtsHeader{});
    const uint32_t rate = aac::sample_rate(config.sampling_frequency_index);
    if (rate == 0 || rate == 48000) return AudioFormat{};
    return AudioFormat{rate, aac::kSamplesPerFrame, true};
}

void write_audio_entry(ByteWriter& w, const TsProgram& p) {
    switch (p.audio_codec) {
        case AudioCodec::MpegAudio: write_mpeg_audio_entry(w, *p.mpeg_config); return;
        case AudioCodec::Ac3: write_ac3_entry(w, *p.ac3_config); return;
        case AudioCodec::Eac3: write_ec3_entry(w, *p.eac3_config); return;
        case AudioCodec::Aac: {
            const aac::AdtsHeader config = p.audio_config.value_or(aac::AdtsHeader{});
            const uint32_t rate = aac::sample_rate(config.sampling_frequency_index);
            write_mp4a_entry(w, config, rate ? rate : 48000);
            return;
        }
    }
}

}  // namespace

Result<TsConversion> plan_ts_to_mp4(ByteSpan data, std::string& report, const TsRoadOptions& options) {
    TsConversion c;
    c.program = std::make_unique<TsProgram>(MORVEX_TRY(demux_ts(data)));
    TsProgram& p = *c.program;
    report += p.report;
    if (p.video.size() == 0) {
        if (p.unsupported_video) return invalid(unsupported_video_message(*p.unsupported_video));
        return invalid(msg::kNoVideo);
    }

    const SourcePieces& video_es = p.video.pieces;
    const VideoCodec codec = p.video_codec;
    AccessUnits units = cut_access_units(video_es, false, codec);
    // Parameter sets that change mid-stream stay in the samples, where they
    // appear (avc3, hev1); otherwise they all go into the avcC or hvcC
    // (avc1, hvc1).
    const bool in_band = units.parameter_sets_change;
    if (in_band) units = cut_access_units(video_es, true, codec);
    const VideoFormat format = video_format(codec, units);
    const uint16_t width = format.width;
    const uint16_t height = format.height;
    const int64_t reference = programme_reference(p).value_or(0);
    // Pictures before the first IDR (HEVC: IRAP) cannot be decoded: the file
    // starts there (a stream without one keeps every picture).
    size_t first_idr = 0;
    while (first_idr < units.units.size() && !units.units[first_idr].idr) ++first_idr;
    if (first_idr == units.units.size()) first_idr = 0;
    const AudioFormat audio_format = audio_format_of(p);
    const uint32_t audio_timescale = audio_format.timescale;
    const uint32_t frame_ticks = audio_format.frame_ticks;
    // Where recordings are joined, the audio's own jumps say how far each new
    // piece must move for the audio to go on after its last frame; video and
    // audio then move together, by the larger of the two.
    std::vector<int64_t> audio_jumps;
    for (int64_t j : audio_sample_timing(p, audio_timescale, frame_ticks, reference).jumps)
        audio_jumps.push_back(j * int64_t(kTsClock) / int64_t(audio_timescale));
    TimedSamples video = video_sample_timing(p.video, units, format.frame_duration, reference, first_idr, audio_jumps);

    TimedSamples audio = audio_sample_timing(p, audio_timescale, frame_ticks, reference,
                                             first_idr > 0 && options.audio_from_first_picture ? video.first_time
                                                                                               : std::nullopt,
                                             video.jumps);
    const bool has_audio = !audio.samples.empty() && audio_format.described;

    // Templates: moov with the movie header and a place for the tracks, then
    // one trak per track.
    ByteWriter w{c.templates};
    size_t moov = w.begin_box("moov");
    write_mvhd(w, kTsClock, 0, has_audio ? 3 : 2);
    size_t place = w.begin_box("trak");
    w.end_box(place);
    w.end_box(moov);
    const size_t video_at = c.templates.size();
    write_trak_template(w, 1, true, width, height, kTsClock,
                        [&](ByteWriter& e) { write_video_entry(e, codec, units, in_band, width, height); });
    const size_t audio_at = c.templates.size();
    if (has_audio)
        write_trak_template(w, 2, false, 0, 0, audio_timescale, [&](ByteWriter& e) { write_audio_entry(e, p); });
    const ByteSpan templates(c.templates);

    // Both tracks on the programme's timeline: the later one is delayed.
    std::optional<int64_t> base = video.first_time;
    if (has_audio && audio.first_time) base = base ? std::min(*base, *audio.first_time) : audio.first_time;

    c.video_first_time = video.first_time;
    c.video_units.reserve(video.samples.size());
    for (size_t r = p.video.pes.size(); r-- > 0;) {
        if (first_idr >= units.units.size() || p.video.pes[r].offset > units.units[first_idr].start) continue;
        const PesTimestamps& ts = p.video.pes[r].timestamps;
        if (ts.pts && ts.dts) {
            // Both are 33-bit counts (H.222.0 2.4.3.7): the difference modulo 2^33.
            constexpr int64_t wrap = int64_t(1) << 33;
            int64_t d = (int64_t(*ts.pts) - int64_t(*ts.dts)) % wrap;
            if (d < 0) d += wrap;
            c.video_first_offset = d >= wrap / 2 ? d - wrap : d;
        }
        break;
    }
    for (size_t i = first_idr, r = 0; i < units.units.size() && i - first_idr < video.samples.size(); ++i) {
        const auto& pes = p.video.pes;
        const size_t start = units.units[i].start;
        while (r + 1 < pes.size() && pes[r + 1].offset <= start) ++r;
        if (!pes.empty() && pes[r].offset <= start)
            c.video_units.emplace_back(pes[r].packet, uint32_t(start - pes[r].offset));
        else
            c.video_units.emplace_back(kNoPacket, uint32_t(0));
    }
    if (has_audio) {
        c.audio_first_time = audio.first_time;
        const size_t first_frame = p.audio_frames.size() - audio.samples.size();
        for (size_t k = first_frame; k < p.audio_frames.size(); ++k) {
            const AudioFrame& f = p.audio_frames[k];
            c.audio_frames.emplace_back(f.pes == kNoPes ? kNoPacket : p.audio.pes[f.pes].packet, f.index);
        }
    }

    Track vt;
    vt.track_id = 1;
    vt.handler = box::vide;
    vt.timescale = kTsClock;
    vt.pieces = &video_es;
    vt.trak = templates.subspan(video_at, audio_at - video_at);
    vt.samples = std::move(video.samples);
    vt.nals = std::move(units.nals);
    if (base && video.first_time) vt.edits = delay_edits(uint64_t(*video.first_time - *base), vt.presentation_end());
    c.movie.ftyp = ByteSpan(kFtyp);
    c.movie.moov = templates.subspan(0, video_at);
    c.movie.timescale = kTsClock;
    c.movie.tracks.push_back(std::move(vt));
    if (has_audio) {
        Track at;
        at.track_id = 2;
        at.handler = box::soun;
        at.timescale = audio_timescale;
        at.source = ByteSpan(p.audio.data);
        at.trak = templates.subspan(audio_at);
        at.samples = std::move(audio.samples);
        const uint64_t media_90k = at.media_duration() * kTsClock / audio_timescale;
        if (base && audio.first_time) at.edits = delay_edits(uint64_t(*audio.first_time - *base), media_90k);
        c.movie.tracks.push_back(std::move(at));
    }
    return c;
}

Result<PlannedOutput> plan_convert_ts_to_mp4(ByteSpan data, std::string& report) {
    auto c = std::make_shared<TsConversion>(MORVEX_TRY(plan_ts_to_mp4(data, report)));
    return plan_regular_mp4(std::shared_ptr<const Movie>(c, &c->movie), c);
}

Result<Bytes> convert_ts_to_mp4(ByteSpan data, std::string& report) {
    return MORVEX_TRY(plan_convert_ts_to_mp4(data, report)).to_bytes();
}

}  // namespace morvex
