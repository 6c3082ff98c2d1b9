#include "recover/reference.h"

#include <unordered_map>

#include "codecs/aac.h"
#include "codecs/avc_config.h"
#include "codecs/hvcc.h"
#include "common/byte_reader.h"
#include "common/messages.h"
#include "isobmff/box.h"
#include "isobmff/esds.h"
#include "isobmff/fourcc.h"
#include "isobmff/fragment_boxes.h"
#include "isobmff/time_headers.h"
#include "isobmff/track_boxes.h"

namespace morvex {
namespace {

// The delta most samples of an stts (ISO/IEC 14496-12 8.6.1.2) have.
uint32_t common_delta(ByteSpan stts_payload) {
    ByteReader r{stts_payload};
    if (!r.skip(4)) return 0;  // version and flags
    auto count = r.u32();
    if (!count) return 0;
    std::unordered_map<uint32_t, uint64_t> samples;
    uint32_t best = 0;
    uint64_t most = 0;
    for (uint32_t i = 0; i < *count && r.remaining() >= 8; ++i) {
        const uint32_t n = *r.u32(), delta = *r.u32();
        uint64_t& total = samples[delta];
        total += n;
        if (delta != 0 && total > most) most = total, best = delta;
    }
    return best;
}

struct TrakParts {
    ReferenceTrack track;
    uint32_t handler = 0;
    std::optional<Box> entry;  // the first sample entry
};

Result<TrakParts> read_trak_parts(const Box& trak, const TrexTable& trex) {
    TrakParts t;
    t.track.trak = trak.bytes;
    if (auto tkhd = MORVEX_TRY(find_child(trak, box::tkhd))) t.track.track_id = tkhd_track_id(tkhd->payload()).value_or(0);
    if (auto mdhd = MORVEX_TRY(find_path(trak, {box::mdia, box::mdhd})))
        if (auto ts = mdhd_timescale(mdhd->payload()); ts && *ts) t.track.timescale = *ts;
    if (auto hdlr = MORVEX_TRY(find_path(trak, {box::mdia, box::hdlr})))
        t.handler = hdlr_handler_type(hdlr->payload()).value_or(0);
    if (auto elst = MORVEX_TRY(find_path(trak, {box::edts, box::elst})))
        for (const Edit& e : read_elst(elst->payload()))
            if (e.media_time != -1) {
                t.track.media_time = e.media_time;
                break;
            }
    auto stbl = MORVEX_TRY(find_path(trak, {box::mdia, box::minf, box::stbl}));
    if (!stbl) return t;
    if (auto stts = MORVEX_TRY(find_child(*stbl, box::stts))) t.track.sample_duration = common_delta(stts->payload());
    if (!t.track.sample_duration) t.track.sample_duration = trex.of(t.track.track_id).duration;
    if (auto stsd = MORVEX_TRY(find_child(*stbl, box::stsd))) t.entry = MORVEX_TRY(first_sample_entry(*stsd));
    return t;
}

Result<std::optional<ReferenceVideo>> video_of(const TrakParts& t) {
    const uint32_t type = t.entry->type;
    ReferenceVideo v;
    v.track = t.track;
    if (type == box::avc1 || type == box::avc3) {
        auto c = MORVEX_TRY(find_child(*t.entry, box::avcC, kVisualEntryFields));
        if (!c) return std::optional<ReferenceVideo>{};
        AvcConfig config = MORVEX_TRY(parse_avc_config(c->payload()));
        v.format = VideoFormat{NalCodec::Avc, config.length_size};
        for (ByteSpan s : config.sps) if (!s.empty()) v.sets.add(NalCodec::Avc, s);
        for (ByteSpan p : config.pps) if (!p.empty()) v.sets.add(NalCodec::Avc, p);
    } else if (type == fourcc_value("hvc1") || type == fourcc_value("hev1")) {
        auto c = MORVEX_TRY(find_child(*t.entry, box::hvcC, kVisualEntryFields));
        if (!c) return std::optional<ReferenceVideo>{};
        HevcConfig config = MORVEX_TRY(parse_hevc_config(c->payload()));
        v.format = VideoFormat{NalCodec::Hevc, config.length_size};
        for (const auto* list : {&config.vps, &config.sps, &config.pps})
            for (ByteSpan s : *list) if (s.size() >= 2) v.sets.add(NalCodec::Hevc, s);
    } else {
        return std::optional<ReferenceVideo>{};
    }
    if (v.format.length_size != 1 && v.format.length_size != 2 && v.format.length_size != 4)
        return std::optional<ReferenceVideo>{};
    // Without samples of its own, the reference's frame rate is its SPS's.
    if (!v.track.sample_duration) {
        std::optional<uint32_t> d90k;
        for (const auto& s : v.sets.avc_sps) if (s && !d90k) d90k = s->frame_duration_90k();
        for (const auto& s : v.sets.hevc_sps) if (s && !d90k) d90k = s->frame_duration_90k();
        v.track.sample_duration = uint32_t(std::max<uint64_t>(1, scale_duration(d90k.value_or(3600), 90000, v.track.timescale)));
    }
    return std::optional<ReferenceVideo>{std::move(v)};
}

std::optional<ReferenceAudio> audio_of(const TrakParts& t) {
    if (t.entry->type != box::mp4a) return std::nullopt;
    auto esds = find_child(*t.entry, box::esds, kAudioEntryFields);
    if (!esds || !*esds) return std::nullopt;
    auto config = decoder_config((*esds)->payload());
    // MPEG-4 audio, or MPEG-2 AAC (Main, LC, SSR), with an AudioSpecificConfig.
    if (!config || (config->object_type != 0x40 && (config->object_type < 0x66 || config->object_type > 0x68)))
        return std::nullopt;
    auto asc = aac::parse_audio_specific_config(config->specific);
    auto layout = asc ? aac::raw_block_layout(*asc) : std::nullopt;
    if (!layout) return std::nullopt;
    ReferenceAudio a{t.track, *layout, asc->sampling_frequency};
    if (!a.track.sample_duration)
        a.track.sample_duration = uint32_t(std::max<uint64_t>(1, scale_duration(aac::kSamplesPerFrame, a.sample_rate, a.track.timescale)));
    return a;
}

}  // namespace

Result<Reference> read_reference(ByteSpan file) {
    const auto top = top_level_boxes_of_cut_file(file);
    Reference ref;
    const Box* moov = nullptr;
    for (const auto& b : top) {
        if (b.type == box::moov && !b.cut) moov = &b;
        if (b.type == box::ftyp && !b.cut && ref.ftyp.empty()) ref.ftyp = b.bytes;
    }
    if (!moov) return invalid(msg::kReferenceWithoutMoov);
    ref.moov = moov->bytes;
    const auto children = MORVEX_TRY(child_boxes(*moov));
    if (const Box* mvhd = first_of(children, box::mvhd)) ref.movie_timescale = movie_timescale_of(mvhd->payload());
    const TrexTable trex = read_trex_table(children);
    for (const auto& c : children) {
        if (c.type != box::trak) continue;
        TrakParts t = MORVEX_TRY(read_trak_parts(c, trex));
        if (!t.entry) continue;
        if (t.handler == box::vide && !ref.video) ref.video = MORVEX_TRY(video_of(t));
        else if (t.handler == box::soun && !ref.audio) ref.audio = audio_of(t);
    }
    if (!ref.video && !ref.audio) return invalid(msg::kReferenceWithoutTracks);
    return ref;
}

}  // namespace morvex
