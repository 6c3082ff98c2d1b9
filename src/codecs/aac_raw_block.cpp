#include "codecs/aac_raw_block.h"

#include <algorithm>
#include <array>
#include <span>

#include "codecs/aac_bits.h"
#include "codecs/aac_codebooks.h"

namespace morvex::aac {
namespace {

// Syntactic elements of raw_data_block (4.4.2.1, Table 4.85).
enum Element : unsigned { kSce = 0, kCpe = 1, kCce = 2, kLfe = 3, kDse = 4, kPce = 5, kFil = 6, kEnd = 7 };
// window_sequence (Table 4.109).
enum Window : unsigned { kOnlyLong = 0, kLongStart = 1, kEightShort = 2, kLongStop = 3 };
// Codebooks of the section data (Table 4.88): 0, the spectrum codebooks
// 1-11, 12 reserved, and the noise and intensity "codebooks".
constexpr unsigned kZeroHcb = 0, kEscHcb = 11, kReservedHcb = 12, kNoiseHcb = 13;
constexpr unsigned kObjectMain = 1, kObjectSsr = 3, kObjectLtp = 4;

// The offsets of the scalefactor bands: the swb_offset_long_window and
// swb_offset_short_window tables of ISO/IEC 14496-3 4.5.4 for 1024-sample
// frames (taken from the copy in FFmpeg's libavcodec/aactab.c), one per
// group of rates that shares a table.
constexpr uint16_t kLong96[] = {
    0, 4, 8, 12, 16, 20, 24, 28, 32, 36, 40, 44, 48, 52, 56, 64, 72, 80, 88, 96, 108, 120, 132, 144, 156, 172,
    188, 212, 240, 276, 320, 384, 448, 512, 576, 640, 704, 768, 832, 896, 960, 1024,
};
constexpr uint16_t kLong64[] = {
    0, 4, 8, 12, 16, 20, 24, 28, 32, 36, 40, 44, 48, 52, 56, 64, 72, 80, 88, 100, 112, 124, 140, 156, 172,
    192, 216, 240, 268, 304, 344, 384, 424, 464, 504, 544, 584, 624, 664, 704, 744, 784, 824, 864, 904, 944,
    984, 1024,
};
constexpr uint16_t kLong48[] = {
    0, 4, 8, 12, 16, 20, 24, 28, 32, 36, 40, 48, 56, 64, 72, 80, 88, 96, 108, 120, 132, 144, 160, 176, 196,
    216, 240, 264, 292, 320, 352, 384, 416, 448, 480, 512, 544, 576, 608, 640, 672, 704, 736, 768, 800, 832,
    864, 896, 928, 1024,
};
constexpr uint16_t kLong32[] = {
    0, 4, 8, 12, 16, 20, 24, 28, 32, 36, 40, 48, 56, 64, 72, 80, 88, 96, 108, 120, 132, 144, 160, 176, 196,
    216, 240, 264, 292, 320, 352, 384, 416, 448, 480, 512, 544, 576, 608, 640, 672, 704, 736, 768, 800, 832,
    864, 896, 928, 960, 992, 1024,
};
constexpr uint16_t kLong24[] = {
    0, 4, 8, 12, 16, 20, 24, 28, 32, 36, 40, 44, 52, 60, 68, 76, 84, 92, 100, 108, 116, 124, 136, 148, 160,
    172, 188, 204, 220, 240, 260, 284, 308, 336, 364, 396, 432, 468, 508, 552, 600, 652, 704, 768, 832, 896,
    960, 1024,
};
constexpr uint16_t kLong16[] = {
    0, 8, 16, 24, 32, 40, 48, 56, 64, 72, 80, 88, 100, 112, 124, 136, 148, 160, 172, 184, 196, 212, 228, 244,
    260, 280, 300, 320, 344, 368, 396, 424, 456, 492, 532, 572, 616, 664, 716, 772, 832, 896, 960, 1024,
};
constexpr uint16_t kLong8[] = {
    0, 12, 24, 36, 48, 60, 72, 84, 96, 108, 120, 132, 144, 156, 172, 188, 204, 220, 236, 252, 268, 288, 308,
    328, 348, 372, 396, 420, 448, 476, 508, 544, 580, 620, 664, 712, 764, 820, 880, 944, 1024,
};
constexpr uint16_t kShort96[] = {
    0, 4, 8, 12, 16, 20, 24, 32, 40, 48, 64, 92, 128,
};
constexpr uint16_t kShort48[] = {
    0, 4, 8, 12, 16, 20, 28, 36, 44, 56, 68, 80, 96, 112, 128,
};
constexpr uint16_t kShort24[] = {
    0, 4, 8, 12, 16, 20, 24, 28, 36, 44, 52, 64, 76, 92, 108, 128,
};
constexpr uint16_t kShort16[] = {
    0, 4, 8, 12, 16, 20, 24, 28, 32, 40, 48, 60, 72, 88, 108, 128,
};
constexpr uint16_t kShort8[] = {
    0, 4, 8, 12, 16, 20, 24, 28, 36, 44, 52, 60, 72, 88, 108, 128,
};

struct Bands {
    std::span<const uint16_t> offsets;  // num_swb + 1 entries
    unsigned count() const { return unsigned(offsets.size() - 1); }
};

Bands long_bands(uint8_t index) {
    static constexpr std::array<std::span<const uint16_t>, 13> kBy = {
        kLong96, kLong96, kLong64, kLong48, kLong48, kLong32, kLong24, kLong24, kLong16, kLong16, kLong16, kLong8, kLong8};
    return Bands{kBy[index]};
}

Bands short_bands(uint8_t index) {
    static constexpr std::array<std::span<const uint16_t>, 13> kBy = {
        kShort96, kShort96, kShort96, kShort48, kShort48, kShort48, kShort24, kShort24, kShort16, kShort16, kShort16,
        kShort8, kShort8};
    return Bands{kBy[index]};
}

// PRED_SFB_MAX of the Main profile's prediction (4.6.7), by rate.
constexpr uint8_t kPredSfbMax[13] = {33, 33, 38, 40, 40, 40, 41, 41, 37, 37, 37, 34, 34};
// ltp_long_used flags are sent for the first 40 bands at most (4.4.2.1,
// MAX_LTP_LONG_SFB).
constexpr unsigned kMaxLtpLongSfb = 40;

struct IcsInfo {
    unsigned window_sequence = kOnlyLong;
    unsigned max_sfb = 0;
    unsigned num_windows = 1;
    unsigned num_window_groups = 1;
    std::array<uint8_t, 8> group_length{1};
    Bands bands;
};

// Codebook of each band of each window group, from the section data,
// which sets every band below max_sfb before anything reads it (so the
// table is not cleared for each element tried).
struct Sections {
    std::array<std::array<uint8_t, 64>, 8> codebook;
};

struct Parser {
    FrameBits& b;
    const RawBlockLayout& layout;

    // ltp_data() of a long window (4.4.2.1 Table 4.9): lag, coefficient,
    // and a used flag a band.
    bool ltp_data(const IcsInfo& ics) {
        return b.skip(11 + 3) && b.skip(std::min(ics.max_sfb, kMaxLtpLongSfb));
    }

    // ics_info() (Table 4.6).
    bool ics_info(IcsInfo& ics, bool common_window) {
        auto reserved = b.bit();
        auto sequence = reserved ? b.bits(2) : std::nullopt;
        if (!sequence || *reserved || !b.bit()) return false;  // ics_reserved_bit is 0; window_shape
        ics = IcsInfo{};
        ics.window_sequence = *sequence;
        if (ics.window_sequence == kEightShort) {
            auto max_sfb = b.bits(4);
            auto grouping = max_sfb ? b.bits(7) : std::nullopt;
            if (!grouping) return false;
            ics.max_sfb = *max_sfb;
            ics.num_windows = 8;
            // scale_factor_grouping: a 1 puts the next window in the group
            // of the one before.
            ics.num_window_groups = 1;
            ics.group_length = {1};
            for (int w = 6; w >= 0; --w) {
                if ((*grouping >> w) & 1) ics.group_length[ics.num_window_groups - 1]++;
                else ics.group_length[ics.num_window_groups++] = 1;
            }
            ics.bands = short_bands(layout.sampling_frequency_index);
        } else {
            auto max_sfb = b.bits(6);
            auto predictor = max_sfb ? b.bit() : std::nullopt;
            if (!predictor) return false;
            ics.max_sfb = *max_sfb;
            ics.bands = long_bands(layout.sampling_frequency_index);
            if (*predictor) {
                if (layout.object_type == kObjectMain) {
                    auto reset = b.bit();
                    if (!reset || (*reset && !b.skip(5))) return false;  // predictor_reset_group_number
                    if (!b.skip(std::min<unsigned>(ics.max_sfb, kPredSfbMax[layout.sampling_frequency_index])))
                        return false;
                } else if (layout.object_type == kObjectLtp) {
                    for (int k = 0; k < (common_window ? 2 : 1); ++k) {
                        auto present = b.bit();
                        if (!present || (*present && !ltp_data(ics))) return false;
                    }
                } else {
                    return false;  // LC and SSR have no prediction
                }
            }
        }
        return ics.max_sfb <= ics.bands.count();
    }

    // section_data() (Table 4.51).
    bool section_data(const IcsInfo& ics, Sections& s) {
        const unsigned bits = ics.window_sequence == kEightShort ? 3 : 5;
        const unsigned escape = (1u << bits) - 1;
        for (unsigned g = 0; g < ics.num_window_groups; ++g) {
            unsigned k = 0;
            while (k < ics.max_sfb) {
                auto cb = b.bits(4);
                if (!cb || *cb == kReservedHcb) return false;
                unsigned end = k;
                for (;;) {
                    auto incr = b.bits(bits);
                    if (!incr) return false;
                    end += *incr;
                    if (end > ics.max_sfb) return false;
                    if (*incr != escape) break;
                }
                if (end == k) return false;  // a section of no band would never end the list
                for (; k < end; ++k) s.codebook[g][k] = uint8_t(*cb);
            }
        }
        return true;
    }

    // scale_factor_data() (Table 4.52): the differences of the scale
    // factors, which stay within 0-255 from global_gain (4.6.2.3.3), of the
    // noise energies (the first in 9 bits) and of the intensity positions.
    bool scale_factor_data(const IcsInfo& ics, const Sections& s, unsigned global_gain) {
        int scale = int(global_gain);
        bool first_noise = true;
        for (unsigned g = 0; g < ics.num_window_groups; ++g) {
            for (unsigned sfb = 0; sfb < ics.max_sfb; ++sfb) {
                const unsigned cb = s.codebook[g][sfb];
                if (cb == kZeroHcb) continue;
                if (cb == kNoiseHcb && first_noise) {
                    first_noise = false;
                    if (!b.skip(9)) return false;  // dpcm_noise_nrg
                    continue;
                }
                auto code = read_scalefactor_code(b);
                if (!code) return false;
                if (cb < kNoiseHcb) {
                    scale += int(*code) - 60;
                    if (scale < 0 || scale > 255) return false;
                }
            }
        }
        return true;
    }

    // pulse_data() (Table 4.7): not in short windows; the pulses lie in
    // the spectrum.
    bool pulse_data(const IcsInfo& ics) {
        if (ics.window_sequence == kEightShort) return false;
        auto count = b.bits(2);
        auto start = count ? b.bits(6) : std::nullopt;
        if (!start || *start >= ics.bands.count()) return false;
        unsigned at = ics.bands.offsets[*start];
        for (unsigned i = 0; i <= *count; ++i) {
            auto offset = b.bits(5);
            if (!offset || !b.skip(4)) return false;  // pulse_amp
            at += *offset;
            if (at >= ics.bands.offsets.back()) return false;
        }
        return true;
    }

    // tns_data() (Table 4.48), with the filter orders of 4.6.9.
    bool tns_data(const IcsInfo& ics) {
        const bool eight = ics.window_sequence == kEightShort;
        const unsigned max_order = eight ? 7 : layout.object_type == kObjectMain ? 20 : 12;
        for (unsigned w = 0; w < ics.num_windows; ++w) {
            auto filters = b.bits(eight ? 1 : 2);
            if (!filters) return false;
            if (*filters == 0) continue;
            auto coef_res = b.bit();
            if (!coef_res) return false;
            for (unsigned f = 0; f < *filters; ++f) {
                auto length = b.bits(eight ? 4 : 6);
                auto order = length ? b.bits(eight ? 3 : 5) : std::nullopt;
                if (!order || *order > max_order) return false;
                if (*order == 0) continue;
                auto direction = b.bit();
                auto compress = direction ? b.bit() : std::nullopt;
                if (!compress || !b.skip(size_t(*order) * (3 + *coef_res - *compress))) return false;
            }
        }
        return true;
    }

    // gain_control_data() (Table 4.49), of the SSR object type only: per
    // band and window, adjust_num pairs of alevcode (4 bits) and aloccode,
    // whose size depends on the window sequence and window.
    bool gain_control_data(const IcsInfo& ics) {
        if (layout.object_type != kObjectSsr) return false;
        auto max_band = b.bits(2);
        if (!max_band) return false;
        unsigned windows = 1, first_location = 5, location = 5;
        switch (ics.window_sequence) {
            case kOnlyLong: windows = 1, first_location = 5, location = 5; break;
            case kLongStart: windows = 2, first_location = 4, location = 2; break;
            case kEightShort: windows = 8, first_location = 2, location = 2; break;
            default: windows = 2, first_location = 4, location = 5; break;  // LONG_STOP
        }
        for (unsigned band = 0; band < *max_band; ++band) {
            for (unsigned w = 0; w < windows; ++w) {
                auto adjust = b.bits(3);
                if (!adjust || !b.skip(size_t(*adjust) * (4 + (w == 0 ? first_location : location)))) return false;
            }
        }
        return true;
    }

    // An escape_sequence (4.6.3.3): N ones, a zero, then N + 4 bits, for
    // values up to 8191 (N at most 8).
    bool escape() {
        unsigned ones = 0;
        for (;;) {
            auto bit = b.bit();
            if (!bit) return false;
            if (!*bit) break;
            if (++ones > 8) return false;
        }
        return b.skip(ones + 4);
    }

    // spectral_data() (Table 4.56): the codewords of each band's codebook,
    // four or two values each, with sign bits for the nonzero values of
    // the unsigned codebooks and escapes for codebook 11's 16s.
    bool spectral_data(const IcsInfo& ics, const Sections& s) {
        for (unsigned g = 0; g < ics.num_window_groups; ++g) {
            for (unsigned sfb = 0; sfb < ics.max_sfb; ++sfb) {
                const unsigned cb = s.codebook[g][sfb];
                if (cb == kZeroHcb || cb >= kNoiseHcb) continue;
                const unsigned width = unsigned(ics.bands.offsets[sfb + 1] - ics.bands.offsets[sfb]);
                const unsigned values = width * ics.group_length[g];
                const unsigned dimension = cb < 5 ? 4 : 2;
                const bool unsigned_cb = cb == 3 || cb == 4 || cb >= 7;
                const unsigned modulus = cb < 5 ? 3 : cb < 7 ? 9 : cb < 9 ? 8 : cb < 11 ? 13 : 17;
                for (unsigned k = 0; k < values; k += dimension) {
                    auto code = read_spectrum_code(b, cb);
                    if (!code) return false;
                    if (!unsigned_cb) continue;
                    unsigned index = *code, nonzero = 0, escapes = 0;
                    for (unsigned d = 0; d < dimension; ++d) {
                        const unsigned v = index % modulus;
                        index /= modulus;
                        nonzero += v != 0;
                        escapes += cb == kEscHcb && v == 16;
                    }
                    if (!b.skip(nonzero)) return false;
                    for (unsigned e = 0; e < escapes; ++e)
                        if (!escape()) return false;
                }
            }
        }
        return true;
    }

    // individual_channel_stream() (Table 4.50), of a non-scalable stream.
    bool individual_channel_stream(IcsInfo& ics, bool common_window, Sections& s) {
        auto global_gain = b.bits(8);
        if (!global_gain) return false;
        if (!common_window && !ics_info(ics, false)) return false;
        if (!section_data(ics, s) || !scale_factor_data(ics, s, *global_gain)) return false;
        auto pulse = b.bit();
        if (!pulse || (*pulse && !pulse_data(ics))) return false;
        auto tns = b.bit();
        if (!tns || (*tns && !tns_data(ics))) return false;
        auto gain_control = b.bit();
        if (!gain_control || (*gain_control && !gain_control_data(ics))) return false;
        return spectral_data(ics, s);
    }

    // channel_pair_element() (Table 4.5).
    bool channel_pair_element() {
        auto common = b.bit();
        if (!common) return false;
        IcsInfo ics;
        Sections s;
        if (*common) {
            if (!ics_info(ics, true)) return false;
            auto ms = b.bits(2);
            if (!ms || *ms == 3) return false;  // ms_mask_present 3 is reserved
            if (*ms == 1 && !b.skip(size_t(ics.num_window_groups) * ics.max_sfb)) return false;
        }
        IcsInfo second = ics;
        return individual_channel_stream(ics, *common, s) && individual_channel_stream(second, *common, s);
    }

    // coupling_channel_element() (Table 4.8).
    bool coupling_channel_element() {
        auto independent = b.bit();
        auto coupled = independent ? b.bits(3) : std::nullopt;
        if (!coupled) return false;
        unsigned gain_lists = 0;
        for (unsigned c = 0; c <= *coupled; ++c) {
            ++gain_lists;
            auto cpe = b.bit();
            if (!cpe || !b.skip(4)) return false;  // cc_target_tag_select
            if (*cpe) {
                auto left = b.bit();
                auto right = left ? b.bit() : std::nullopt;
                if (!right) return false;
                if (*left && *right) ++gain_lists;
            }
        }
        if (!b.skip(1 + 1 + 2)) return false;  // cc_domain, gain_element_sign, gain_element_scale
        IcsInfo ics;
        Sections s;
        if (!individual_channel_stream(ics, false, s)) return false;
        for (unsigned c = 1; c < gain_lists; ++c) {
            bool common_gain = true;
            if (!*independent) {
                auto present = b.bit();
                if (!present) return false;
                common_gain = *present;
            }
            if (common_gain) {
                if (!read_scalefactor_code(b)) return false;
                continue;
            }
            for (unsigned g = 0; g < ics.num_window_groups; ++g)
                for (unsigned sfb = 0; sfb < ics.max_sfb; ++sfb)
                    if (s.codebook[g][sfb] != kZeroHcb && !read_scalefactor_code(b)) return false;
        }
        return true;
    }

    // data_stream_element() (Table 4.10): its bytes, after a byte alignment
    // when asked for.
    bool data_stream_element() {
        auto align = b.bit();
        auto count = align ? b.bits(8) : std::nullopt;
        if (!count) return false;
        size_t bytes = *count;
        if (bytes == 255) {
            auto more = b.bits(8);
            if (!more) return false;
            bytes += *more;
        }
        if (*align && !b.align()) return false;
        return b.skip(bytes * 8);
    }

    // program_config_element() (Table 4.2), after its instance tag.
    bool program_config_element() {
        auto head = b.bits(2 + 4);  // object_type, sampling_frequency_index
        auto front = head ? b.bits(4) : std::nullopt;
        auto side = front ? b.bits(4) : std::nullopt;
        auto back = side ? b.bits(4) : std::nullopt;
        auto lfe = back ? b.bits(2) : std::nullopt;
        auto assoc = lfe ? b.bits(3) : std::nullopt;
        auto cc = assoc ? b.bits(4) : std::nullopt;
        if (!cc) return false;
        for (unsigned bits : {4u, 4u, 3u}) {  // mono and stereo mixdown, matrix mixdown
            auto present = b.bit();
            if (!present || (*present && !b.skip(bits))) return false;
        }
        const size_t tags = size_t(*front + *side + *back) * 5 + size_t(*lfe + *assoc) * 4 + size_t(*cc) * 5;
        if (!b.skip(tags) || !b.align()) return false;
        auto comment = b.bits(8);
        return comment && b.skip(size_t(*comment) * 8);
    }

    // fill_element() (Table 4.11), after the 4-bit count.
    bool fill_element(unsigned count) {
        size_t bytes = count;
        if (count == 15) {
            auto more = b.bits(8);
            if (!more) return false;
            bytes += *more - 1;
        }
        return b.skip(bytes * 8);
    }
};

// The channel elements each channel_configuration has, in order (1.6.3.5,
// Table 1.19): SCE, CPE, CPE, LFE for 5.1 and so on.
std::span<const uint8_t> expected_elements(uint8_t configuration) {
    static constexpr uint8_t k1[] = {kSce}, k2[] = {kCpe}, k3[] = {kSce, kCpe}, k4[] = {kSce, kCpe, kSce},
                             k5[] = {kSce, kCpe, kCpe}, k6[] = {kSce, kCpe, kCpe, kLfe},
                             k7[] = {kSce, kCpe, kCpe, kCpe, kLfe};
    switch (configuration) {
        case 1: return k1;
        case 2: return k2;
        case 3: return k3;
        case 4: return k4;
        case 5: return k5;
        case 6: return k6;
        case 7: return k7;
        default: return {};
    }
}

}  // namespace

std::optional<RawBlockLayout> raw_block_layout(const AudioSpecificConfig& c) {
    if (c.object_type < 1 || c.object_type > 4 || c.frame_length_960 || c.sampling_frequency_index > 12)
        return std::nullopt;
    return RawBlockLayout{c.object_type, c.sampling_frequency_index, c.channel_configuration};
}

FrameLength raw_data_block_length(ByteSpan data, const RawBlockLayout& layout) {
    if (layout.sampling_frequency_index > 12) return {};
    const size_t window = std::min(data.size(), kMaxFrameBytes);
    FrameBits b{data.subspan(0, window)};
    Parser p{b, layout};
    const std::span<const uint8_t> expected = expected_elements(layout.channel_configuration);
    size_t channel_elements = 0;
    bool ok = true;
    IcsInfo ics;
    Sections s;
    // Each element takes at least seven bits, so the loop ends with the bits.
    for (;;) {
        auto id = b.bits(3);
        if (!id) {
            ok = false;
            break;
        }
        if (*id == kEnd) break;
        auto tag = b.bits(4);  // element_instance_tag; a fill element's count
        if (!tag) {
            ok = false;
            break;
        }
        if (*id == kSce || *id == kCpe || *id == kLfe) {
            // The channels of the configuration, and no others.
            if (!expected.empty() && (channel_elements >= expected.size() || expected[channel_elements] != *id)) {
                ok = false;
                break;
            }
            ++channel_elements;
        }
        switch (*id) {
            case kSce:
            case kLfe: ok = p.individual_channel_stream(ics, false, s); break;
            case kCpe: ok = p.channel_pair_element(); break;
            case kCce: ok = p.coupling_channel_element(); break;
            case kDse: ok = p.data_stream_element(); break;
            case kPce: ok = p.program_config_element(); break;
            default: ok = p.fill_element(*tag); break;
        }
        if (!ok) break;
    }
    if (ok && !b.align()) ok = false;
    if (!ok) {
        // Well formed up to the end of the data: a frame cut short.
        const bool cut = b.exhausted && window == data.size();
        return FrameLength{cut ? FrameEnd::Cut : FrameEnd::Invalid, 0};
    }
    const bool complete = expected.empty() ? channel_elements > 0 : channel_elements == expected.size();
    if (!complete) return {};
    return FrameLength{FrameEnd::Found, b.pos / 8};
}

}  // namespace morvex::aac
