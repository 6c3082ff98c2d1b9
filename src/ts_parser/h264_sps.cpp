#include "ts_parser/h264_sps.h"

#include "common/start_code.h"
#include "ts_parser/bit_reader.h"

namespace morvex {
namespace {

// scaling_list() of H.264 7.3.2.1.1.1: only whether nextScale reaches 0
// matters, since it ends the delta_scale reads.
bool skip_scaling_list(BitReader& r, int size) {
    int last_scale = 8;
    int next_scale = 8;
    for (int j = 0; j < size; ++j) {
        if (next_scale != 0) {
            auto delta = read_se(r);
            if (!delta) return false;
            next_scale = int((last_scale + int64_t(*delta) + 256) % 256);
        }
        if (next_scale != 0) last_scale = next_scale;
    }
    return true;
}

bool has_chroma_fields(uint8_t profile_idc) {
    switch (profile_idc) {
        case 100: case 110: case 122: case 244: case 44: case 83: case 86: case 118: case 128:
            return true;
        default:
            return false;
    }
}

}  // namespace

std::optional<PictureSize> read_sps_picture_size(ByteSpan sps) {
    if (sps.size() < 4) return std::nullopt;
    const uint8_t profile_idc = sps[1];
    // Emulation-prevention bytes are left in place; the fields read here
    // come before any position where they could matter in practice.
    BitReader r{sps.subspan(4)};
    if (!read_ue(r)) return std::nullopt;  // seq_parameter_set_id
    uint32_t chroma_format_idc = 1;
    uint32_t separate_colour_plane = 0;
    if (has_chroma_fields(profile_idc)) {
        auto cf = read_ue(r);
        if (!cf) return std::nullopt;
        chroma_format_idc = *cf;
        if (chroma_format_idc == 3) {
            auto s = r.bit();
            if (!s) return std::nullopt;
            separate_colour_plane = *s;
        }
        if (!read_ue(r) || !read_ue(r)) return std::nullopt;  // bit depths
        if (!r.bit()) return std::nullopt;                     // qpprime_y_zero_transform_bypass_flag
        auto matrix = r.bit();
        if (!matrix) return std::nullopt;
        if (*matrix) {
            const int lists = chroma_format_idc == 3 ? 12 : 8;
            for (int i = 0; i < lists; ++i) {
                auto present = r.bit();
                if (!present) return std::nullopt;
                if (*present && !skip_scaling_list(r, i < 6 ? 16 : 64)) return std::nullopt;
            }
        }
    }
    if (!read_ue(r)) return std::nullopt;  // log2_max_frame_num_minus4
    auto poc_type = read_ue(r);
    if (!poc_type) return std::nullopt;
    if (*poc_type == 0) {
        if (!read_ue(r)) return std::nullopt;
    } else if (*poc_type == 1) {
        if (!r.bit() || !read_se(r) || !read_se(r)) return std::nullopt;
        auto cycle = read_ue(r);
        if (!cycle) return std::nullopt;
        for (uint32_t i = 0; i < *cycle; ++i)
            if (!read_se(r)) return std::nullopt;  // each read consumes at least one bit
    }
    if (!read_ue(r) || !r.bit()) return std::nullopt;  // max_num_ref_frames, gaps flag
    auto w = read_ue(r);
    auto h = w ? read_ue(r) : std::nullopt;
    if (!h) return std::nullopt;
    auto frame_mbs_only = r.bit();
    if (!frame_mbs_only) return std::nullopt;
    if (*frame_mbs_only == 0 && !r.bit()) return std::nullopt;  // mb_adaptive_frame_field_flag
    if (!r.bit()) return std::nullopt;                          // direct_8x8_inference_flag
    auto cropping = r.bit();
    if (!cropping) return std::nullopt;
    uint32_t crop[4] = {0, 0, 0, 0};  // left, right, top, bottom
    if (*cropping) {
        for (auto& c : crop) {
            auto v = read_ue(r);
            if (!v) return std::nullopt;
            c = *v;
        }
    }
    // Crop units of H.264 7.4.2.1.1: SubWidthC and SubHeightC of the chroma
    // format, and twice the height unit for field-coded (frame_mbs_only 0)
    // streams; monochrome and separate colour planes use 1.
    const uint32_t field_factor = 2 - *frame_mbs_only;
    uint32_t unit_x = 1;
    uint32_t unit_y = field_factor;
    if (chroma_format_idc != 0 && separate_colour_plane == 0) {
        const uint32_t sub_width = chroma_format_idc == 3 ? 1 : 2;
        const uint32_t sub_height = chroma_format_idc == 1 ? 2 : 1;
        unit_x = sub_width;
        unit_y = sub_height * field_factor;
    }
    const uint32_t width = (*w + 1) * 16 - unit_x * (crop[0] + crop[1]);
    const uint32_t height = field_factor * (*h + 1) * 16 - unit_y * (crop[2] + crop[3]);
    return PictureSize{uint16_t(width), uint16_t(height)};
}

void scan_parameter_sets(ByteSpan b, MediaData& media) {
    const size_t n = b.size();
    size_t i = 0;
    while (i + 4 <= n && !(media.sps && media.pps)) {
        const size_t sc = start_code_at(b, i);
        if (sc == 0) {
            ++i;
            continue;
        }
        const size_t t = i + sc;
        if (t >= n) break;
        size_t e = t + 1;
        while (e < n && start_code_at(b, e) == 0) ++e;
        const uint8_t type = b[t] & 0x1F;
        if (type == 7 && !media.sps) {
            ByteSpan nal = b.subspan(t, e - t);
            media.sps = Bytes(nal.begin(), nal.end());
            if (auto size = read_sps_picture_size(nal)) {
                media.width = size->width;
                media.height = size->height;
            }
        } else if (type == 8 && !media.pps) {
            media.pps = Bytes(b.begin() + t, b.begin() + e);
        }
        i = e;
    }
}

}  // namespace morvex
