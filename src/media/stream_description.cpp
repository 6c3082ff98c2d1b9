#include "media/stream_description.h"

#include <cstdio>

#include "common/byte_reader.h"
#include "common/messages.h"
#include "isobmff/box.h"
#include "isobmff/esds.h"
#include "isobmff/fourcc.h"
#include "isobmff/track_boxes.h"

namespace morvex {
namespace {

std::string fourcc_text(uint32_t type) {
    std::string s;
    for (int shift = 24; shift >= 0; shift -= 8) s += char((type >> shift) & 0xFF);
    return s;
}

// avc1.PPCCLL: profile_idc, the constraint flags and level_idc of the avcC
// (ISO/IEC 14496-15 5.3.3.1; RFC 6381 3.3).
std::string avc_string(uint32_t type, ByteSpan avcc) {
    if (avcc.size() < 4) return fourcc_text(type);
    char text[32];
    std::snprintf(text, sizeof text, "%s.%02x%02x%02x", fourcc_text(type).c_str(), avcc[1], avcc[2], avcc[3]);
    return text;
}

// hvc1.[space]profile.compatibility.tier level.constraints (ISO/IEC
// 14496-15 E.3): the compatibility flags in reverse bit order, the
// constraint bytes without the zero bytes at their end.
std::string hevc_string(uint32_t type, ByteSpan hvcc) {
    if (hvcc.size() < 13) return fourcc_text(type);
    const unsigned space = hvcc[1] >> 6, tier = (hvcc[1] >> 5) & 1, profile = hvcc[1] & 0x1F;
    const uint32_t flags = load_be32(hvcc.data() + 2);
    uint32_t reversed = 0;
    for (int i = 0; i < 32; ++i)
        if (flags & (uint32_t(1) << i)) reversed |= uint32_t(1) << (31 - i);
    char text[96];
    int n = std::snprintf(text, sizeof text, "%s.%s%u.%X.%c%u", fourcc_text(type).c_str(),
                          space > 0 ? std::string(1, char('A' + space - 1)).c_str() : "", profile, reversed,
                          tier ? 'H' : 'L', unsigned(hvcc[12]));
    size_t last = 6;
    for (size_t k = 6; k < 12; ++k)
        if (hvcc[k]) last = k + 1;
    for (size_t k = 6; k < last && n > 0 && size_t(n) < sizeof text; ++k)
        n += std::snprintf(text + n, sizeof text - size_t(n), ".%X", unsigned(hvcc[k]));
    std::string s = text;
    return s;
}

// audioObjectType of an AudioSpecificConfig (ISO/IEC 14496-3 1.6.2.1):
// five bits, or 32 plus six more after the escape value 31.
unsigned audio_object_type(ByteSpan asc) {
    if (asc.empty()) return 0;
    const unsigned first = asc[0] >> 3;
    if (first != 31 || asc.size() < 2) return first;
    return 32 + (((asc[0] & 0x07) << 3) | (asc[1] >> 5));
}

void describe_esds(StreamDescription& d, uint32_t type, ByteSpan esds) {
    auto c = decoder_config(esds);
    if (!c) return;
    const uint8_t oti = c->object_type;
    char text[32];
    if (type == box::mp4a) {
        if (oti == 0x40) {
            d.codec = "aac";
            std::snprintf(text, sizeof text, "mp4a.40.%u", audio_object_type(c->specific));
            d.codec_string = text;
            return;
        }
        std::snprintf(text, sizeof text, "mp4a.%02X", oti);
        d.codec_string = text;
        if (oti >= 0x66 && oti <= 0x68) d.codec = "aac";
        else if (oti == 0x69 || oti == 0x6B) d.codec = "mp3";
        return;
    }
    std::snprintf(text, sizeof text, "mp4v.%02x", oti);
    d.codec_string = text;
    if (oti >= 0x60 && oti <= 0x65) d.codec = "mpeg2video";
    else if (oti == 0x6A) d.codec = "mpeg1video";
    else if (oti == 0x20) d.codec = "mpeg4";
}

// The language of an mdhd payload: after version and flags, the times
// (32 or 64 bits each), timescale and duration, a pad bit and three letters
// of five bits each (ISO/IEC 14496-12 8.4.2).
std::string mdhd_language(ByteSpan p) {
    if (p.empty()) return {};
    const size_t at = p[0] == 1 ? 4 + 8 + 8 + 4 + 8 : 4 + 4 + 4 + 4 + 4;
    if (p.size() < at + 2) return {};
    const uint16_t packed = load_be16(p.data() + at);
    std::string s;
    for (int shift = 10; shift >= 0; shift -= 5) s += char(((packed >> shift) & 0x1F) + 0x60);
    if (s == "und" || s[0] < 'a' || s[0] > 'z') return {};
    return s;
}

// The chanmap bits of the channels of an acmod (ETSI TS 102 366 table
// 4.3), and of the LFE channel.
uint16_t acmod_channels(unsigned acmod, bool lfeon) {
    constexpr uint16_t L = 0x8000, C = 0x4000, R = 0x2000, Ls = 0x1000, Rs = 0x0800, Cs = 0x0100;
    constexpr uint16_t by_acmod[8] = {L | R, C, L | R, L | C | R, L | R | Cs, L | C | R | Cs, L | R | Ls | Rs,
                                      L | C | R | Ls | Rs};
    return uint16_t(by_acmod[acmod & 7] | (lfeon ? 0x0001 : 0));
}

// dac3 (ETSI TS 102 366 F.4): fscod 2, bsid 5, bsmod 3, acmod 3, lfeon 1.
uint16_t dac3_channels(ByteSpan p) {
    if (p.size() < 3) return 0;
    return acmod_channels((p[1] >> 3) & 7, (p[1] >> 2) & 1);
}

// dec3 (F.6): data_rate 13, num_ind_sub 3, then the first independent
// substream: fscod 2, bsid 5, reserved 1, asvc 1, bsmod 3, acmod 3, lfeon 1,
// reserved 3, num_dep_sub 4, and chan_loc 9 when it has dependent
// substreams (Lc/Rc, Lrs/Rrs, Cs, Ts, Lsd/Rsd, Lw/Rw, Lvh/Rvh, Cvh, LFE2:
// chanmap's bits 10 to 3, and 1).
uint16_t dec3_channels(ByteSpan p) {
    if (p.size() < 5) return 0;
    uint16_t mask = acmod_channels((p[3] >> 1) & 7, p[3] & 1);
    const unsigned dependent = (p[4] >> 1) & 0x0F;
    if (dependent && p.size() >= 6) {
        const unsigned chan_loc = ((p[4] & 1u) << 8) | p[5];
        mask = uint16_t(mask | ((chan_loc >> 1) << 3) | ((chan_loc & 1) << 1));
    }
    return mask;
}

}  // namespace

Result<StreamDescription> describe_track(ByteSpan trak_bytes) {
    auto trak = MORVEX_TRY(read_box(trak_bytes, 0, 0, BoxRules{Overrun::Error}));
    if (!trak) return invalid(msg::kInvalidBoxSize);
    StreamDescription d;
    if (auto mdhd = MORVEX_TRY(find_path(*trak, {box::mdia, box::mdhd}))) d.language = mdhd_language(mdhd->payload());
    auto stsd = MORVEX_TRY(find_path(*trak, {box::mdia, box::minf, box::stbl, box::stsd}));
    if (!stsd) return fail(ErrorKind::NotFound, msg::box_not_found_in_container(quoted_fourcc(box::stsd)));
    auto entry = MORVEX_TRY(first_sample_entry(*stsd));
    if (!entry) return fail(ErrorKind::NotFound, msg::box_not_found_in_container(quoted_fourcc(box::stsd)));
    const uint32_t type = entry->type;
    const ByteSpan p = entry->payload();
    d.codec = fourcc_text(type);
    d.codec_string = d.codec;
    const bool visual = type == box::avc1 || type == box::avc3 || type == fourcc_value("hvc1") ||
                        type == fourcc_value("hev1") || type == fourcc_value("mp4v") || type == fourcc_value("encv");
    if (visual) {
        if (p.size() >= 28) {
            d.width = load_be16(p.data() + 24);
            d.height = load_be16(p.data() + 26);
        }
        if (type == box::avc1 || type == box::avc3) {
            d.codec = "h264";
            if (auto c = MORVEX_TRY(find_child(*entry, box::avcC, kVisualEntryFields))) d.codec_string = avc_string(type, c->payload());
        } else if (type == fourcc_value("hvc1") || type == fourcc_value("hev1")) {
            d.codec = "hevc";
            if (auto c = MORVEX_TRY(find_child(*entry, box::hvcC, kVisualEntryFields))) d.codec_string = hevc_string(type, c->payload());
        } else if (type == fourcc_value("mp4v")) {
            if (auto c = MORVEX_TRY(find_child(*entry, box::esds, kVisualEntryFields))) describe_esds(d, type, c->payload());
        }
        return d;
    }
    if (p.size() >= 28) {
        d.channels = load_be16(p.data() + 16);
        d.sample_rate = load_be32(p.data() + 24) >> 16;
    }
    if (type == box::mp4a) {
        if (auto c = MORVEX_TRY(find_child(*entry, box::esds, kAudioEntryFields))) describe_esds(d, type, c->payload());
    } else if (type == fourcc_value("ac-3")) {
        d.codec = "ac3";
        if (auto c = MORVEX_TRY(find_child(*entry, fourcc_value("dac3"), kAudioEntryFields)))
            d.dolby_channels = dac3_channels(c->payload());
    } else if (type == fourcc_value("ec-3")) {
        d.codec = "eac3";
        if (auto c = MORVEX_TRY(find_child(*entry, fourcc_value("dec3"), kAudioEntryFields)))
            d.dolby_channels = dec3_channels(c->payload());
    }
    return d;
}

}  // namespace morvex
