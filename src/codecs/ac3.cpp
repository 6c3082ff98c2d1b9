#include "codecs/ac3.h"

#include <algorithm>
#include <array>
#include <bit>

#include "codecs/bit_reader.h"

namespace morvex::ac3 {
namespace {

constexpr std::array<uint32_t, 3> kRates = {48000, 44100, 32000};
constexpr std::array<uint32_t, 3> kHalfRates = {24000, 22050, 16000};  // fscod2 of E-AC-3
// Nominal bit rates (kbit/s) of frmsizecod / 2 (table 4.13).
constexpr std::array<uint16_t, 19> kBitRates = {32,  40,  48,  56,  64,  80,  96,  112, 128, 160,
                                                192, 224, 256, 320, 384, 448, 512, 576, 640};
constexpr std::array<uint8_t, 8> kFullChannels = {2, 1, 2, 3, 3, 4, 4, 5};  // acmod 0 is 1+1

// AC-3 frame size in 16-bit words (table 4.13): 1536 samples at the
// nominal rate; at 44.1 kHz the count is rounded down and odd codes add a
// word to keep the average.
uint32_t ac3_frame_words(uint8_t fscod, uint8_t frmsizecod) {
    const uint32_t kbps = kBitRates[frmsizecod >> 1];
    switch (fscod) {
        case 0: return kbps * 2;
        case 1: return kbps * 96000 / 44100 + (frmsizecod & 1);
        default: return kbps * 3;
    }
}

// bsi() of E-AC-3 (E.1.2.2) after lfeon, as far as bsmod: bsmod is in the
// informational metadata behind the mixing metadata. Leaves the header as
// it is when the bits run out.
void read_eac3_bsi(BitReader& r, FrameHeader& h, unsigned blocks) {
    auto skip = [&r](unsigned n) { return n == 0 || r.bits(n).has_value(); };
    auto flag_then = [&](unsigned n) {  // a flag and, when set, n bits
        auto f = r.bit();
        return f && (!*f || skip(n));
    };
    // bsid read already; dialnorm, compre + compr.
    if (!skip(5) || !flag_then(8)) return;
    if (h.acmod == 0 && (!skip(5) || !flag_then(8))) return;  // dialnorm2, compr2e + compr2
    if (h.strmtyp == kDependent) {
        auto chanmape = r.bit();
        if (!chanmape) return;
        if (*chanmape) {
            auto map = r.bits(16);
            if (!map) return;
            h.chanmap = uint16_t(*map);
        }
    }
    auto mixmdate = r.bit();
    if (!mixmdate) return;
    if (*mixmdate) {
        if (h.acmod > 2 && !skip(2)) return;                      // dmixmod
        if ((h.acmod & 1) && h.acmod > 2 && !skip(6)) return;      // ltrtcmixlev, lorocmixlev
        if ((h.acmod & 4) && !skip(6)) return;                     // ltrtsurmixlev, lorosurmixlev
        if (h.lfeon && !flag_then(5)) return;                      // lfemixlevcode + lfemixlevcod
        if (h.strmtyp == kIndependent) {
            if (!flag_then(6)) return;                             // pgmscle + pgmscl
            if (h.acmod == 0 && !flag_then(6)) return;             // pgmscl2e + pgmscl2
            if (!flag_then(6)) return;                             // extpgmscle + extpgmscl
            auto mixdef = r.bits(2);
            if (!mixdef) return;
            if (*mixdef == 1 && !skip(5)) return;   // premixcmpsel, drcsrc, premixcmpscl
            if (*mixdef == 2 && !skip(12)) return;  // mixdata
            if (*mixdef == 3) {
                auto len = r.bits(5);  // mixdeflen
                if (!len || !skip((*len + 2) * 8)) return;
            }
            if (h.acmod < 2) {
                if (!flag_then(14)) return;                        // paninfoe + panmean, paninfo
                if (h.acmod == 0 && !flag_then(14)) return;        // paninfo2e + panmean2, paninfo2
            }
            auto frmmixcfginfoe = r.bit();
            if (!frmmixcfginfoe) return;
            if (*frmmixcfginfoe) {
                if (blocks == 1) {
                    if (!skip(5)) return;  // blkmixcfginfo[0]
                } else {
                    for (unsigned b = 0; b < blocks; ++b)
                        if (!flag_then(5)) return;  // blkmixcfginfoe + blkmixcfginfo
                }
            }
        }
    }
    auto infomdate = r.bit();
    if (!infomdate || !*infomdate) return;
    auto bsmod = r.bits(3);
    if (bsmod) h.bsmod = uint8_t(*bsmod);
}

// chanmap (E.1.3.1.8) names a channel per bit from the top: bits 5-12 are
// Lc/Rc, Lrs/Rrs, Cs, Ts, Lsd/Rsd, Lw/Rw, Vhl/Vhr and Vhc, bit 14 is LFE2.
// chan_loc of dec3 (table F.6.2) lists the same locations in that order.
uint16_t chan_loc_of(uint16_t chanmap) {
    return uint16_t((((chanmap >> 3) & 0xFF) << 1) | ((chanmap >> 1) & 1));
}

// Channels named by chan_loc: pairs count two.
unsigned chan_loc_channels(uint16_t chan_loc) {
    constexpr uint16_t kPairs = 0x100 | 0x080 | 0x010 | 0x008 | 0x004;  // Lc/Rc, Lrs/Rrs, Lsd/Rsd, Lw/Rw, Vhl/Vhr
    return unsigned(std::popcount(unsigned(chan_loc & 0x1FF))) + unsigned(std::popcount(unsigned(chan_loc & kPairs)));
}

}  // namespace

std::optional<FrameHeader> parse_frame_header(ByteSpan b) {
    if (b.size() < 6 || b[0] != 0x0B || b[1] != 0x77) return std::nullopt;
    const uint8_t bsid = b[5] >> 3;  // at the same place in both syncframe forms
    FrameHeader h;
    h.bsid = bsid;
    if (bsid <= 8) {
        // syncinfo: syncword, crc1, fscod (2), frmsizecod (6); bsi: bsid
        // (5), bsmod (3), acmod (3), the mix levels acmod calls for, lfeon.
        if (b.size() < 8) return std::nullopt;
        h.fscod = b[4] >> 6;
        h.frmsizecod = b[4] & 0x3F;
        if (h.fscod == 3 || h.frmsizecod >= 38) return std::nullopt;
        h.sample_rate = kRates[h.fscod];
        h.frame_size = ac3_frame_words(h.fscod, h.frmsizecod) * 2;
        h.bsmod = b[5] & 0x07;
        BitReader r{b.subspan(6)};
        h.acmod = uint8_t(*r.bits(3));
        unsigned skip = 0;
        if ((h.acmod & 1) && h.acmod != 1) skip += 2;  // cmixlev
        if (h.acmod & 4) skip += 2;                    // surmixlev
        if (h.acmod == 2) skip += 2;                   // dsurmod
        if (skip) r.bits(skip);
        h.lfeon = *r.bit();  // within the two bytes after bsid
        return h;
    }
    if (bsid < 11 || bsid > 16) return std::nullopt;
    // syncword, strmtyp (2), substreamid (3), frmsiz (11), fscod (2),
    // fscod2 or numblkscod (2), acmod (3), lfeon (1), bsid (5).
    h.enhanced = true;
    BitReader r{b.subspan(2)};
    h.strmtyp = uint8_t(*r.bits(2));
    h.substreamid = uint8_t(*r.bits(3));
    const uint32_t frmsiz = *r.bits(11);
    h.fscod = uint8_t(*r.bits(2));
    const uint8_t code2 = uint8_t(*r.bits(2));
    h.acmod = uint8_t(*r.bits(3));
    h.lfeon = *r.bit();
    r.bits(5);  // bsid
    if (h.strmtyp == 3) return std::nullopt;
    unsigned blocks = 6;
    if (h.fscod == 3) {
        if (code2 == 3) return std::nullopt;
        h.sample_rate = kHalfRates[code2];
    } else {
        h.sample_rate = kRates[h.fscod];
        blocks = code2 == 3 ? 6 : code2 + 1u;
    }
    h.samples = uint16_t(256 * blocks);
    h.frame_size = (frmsiz + 1) * 2;
    read_eac3_bsi(r, h, blocks);
    return h;
}

std::optional<size_t> frame_at(ByteSpan b, size_t offset) {
    if (offset >= b.size()) return std::nullopt;
    auto h = parse_frame_header(b.subspan(offset));
    if (!h || h->frame_size > b.size() - offset) return std::nullopt;
    return h->frame_size;
}

uint16_t channel_count(uint8_t acmod, bool lfeon) { return uint16_t(kFullChannels[acmod & 7] + (lfeon ? 1 : 0)); }

uint16_t Eac3Config::channel_count() const {
    if (substreams.empty()) return 2;
    const Eac3Substream& s = substreams.front();
    return uint16_t(ac3::channel_count(s.acmod, s.lfeon) + chan_loc_channels(s.chan_loc));
}

uint32_t Eac3Config::sample_rate() const {
    if (substreams.empty() || substreams.front().fscod > 2) return 48000;
    return kRates[substreams.front().fscod];
}

std::optional<Eac3Config> eac3_config(ByteSpan b) {
    Eac3Config config;
    uint64_t bits_per_second = 0;
    size_t pos = 0;
    while (auto size = frame_at(b, pos)) {
        const FrameHeader h = *parse_frame_header(b.subspan(pos));
        if (!h.enhanced) break;
        const bool independent = h.strmtyp != kDependent;
        if (pos == 0 && !(independent && h.substreamid == 0)) return std::nullopt;
        if (pos > 0 && independent && h.substreamid == 0) break;  // the next audio frame
        if (independent) {
            // Independent substreams come in order of their ids.
            if (h.substreamid != config.substreams.size()) break;
            Eac3Substream s;
            s.fscod = h.fscod;
            s.bsid = h.bsid;
            s.bsmod = h.bsmod;
            s.acmod = h.acmod;
            s.lfeon = h.lfeon;
            config.substreams.push_back(s);
        } else {
            Eac3Substream& parent = config.substreams.back();
            ++parent.num_dep_sub;
            parent.chan_loc |= chan_loc_of(h.chanmap);
        }
        bits_per_second += h.bit_rate();
        pos += *size;
    }
    if (config.substreams.empty()) return std::nullopt;
    config.data_rate = uint16_t(std::min<uint64_t>(bits_per_second / 1000, 0x1FFF));
    return config;
}

void write_dac3_box(ByteWriter& w, const FrameHeader& f) {
    size_t box = w.begin_box("dac3");
    // fscod (2), bsid (5), bsmod (3), acmod (3), lfeon (1), bit_rate_code
    // (5), reserved (5).
    const uint32_t v = (uint32_t(f.fscod & 3) << 22) | (uint32_t(f.bsid & 0x1F) << 17) |
                       (uint32_t(f.bsmod & 7) << 14) | (uint32_t(f.acmod & 7) << 11) | (uint32_t(f.lfeon) << 10) |
                       (uint32_t((f.frmsizecod >> 1) & 0x1F) << 5);
    w.u24(v);
    w.end_box(box);
}

void write_dec3_box(ByteWriter& w, const Eac3Config& config) {
    size_t box = w.begin_box("dec3");
    const size_t count = std::clamp<size_t>(config.substreams.size(), 1, 8);
    w.u16(uint16_t((uint32_t(config.data_rate & 0x1FFF) << 3) | uint32_t(count - 1)));
    for (size_t i = 0; i < count; ++i) {
        const Eac3Substream s = i < config.substreams.size() ? config.substreams[i] : Eac3Substream{};
        // fscod (2), bsid (5), reserved (1), asvc (1), bsmod (3), acmod
        // (3), lfeon (1), reserved (3), num_dep_sub (4), then chan_loc (9)
        // or one reserved bit.
        w.u8(uint8_t((s.fscod & 3) << 6 | (s.bsid & 0x1F) << 1));
        w.u8(uint8_t((s.bsmod & 7) << 5 | (s.acmod & 7) << 1 | (s.lfeon ? 1 : 0)));
        if (s.num_dep_sub == 0) {
            w.u8(0);
        } else {
            w.u16(uint16_t((s.num_dep_sub & 0x0F) << 9 | (s.chan_loc & 0x1FF)));
        }
    }
    w.end_box(box);
}

}  // namespace morvex::ac3
