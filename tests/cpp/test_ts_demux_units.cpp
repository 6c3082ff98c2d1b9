// Core units of the transport stream path that the Python surface cannot
// observe directly: picture size arithmetic, timestamp unwrapping, NAL
// boundaries and the 32/64-bit layout decision.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "common/mp4_layout.h"
#include "mp4_writer/access_units.h"
#include "mp4_writer/moov.h"
#include "mp4_writer/timeline.h"
#include "ts_parser/adts.h"
#include "ts_parser/h264_sps.h"

namespace morvex {
namespace {

// Exp-Golomb bit writer for SPS test vectors.
struct Bits {
    std::vector<uint8_t> bytes;
    int used = 8;
    void bit(unsigned b) {
        if (used == 8) {
            bytes.push_back(0);
            used = 0;
        }
        if (b) bytes.back() |= uint8_t(0x80 >> used);
        ++used;
    }
    void bits(uint32_t v, int n) {
        for (int i = n - 1; i >= 0; --i) bit((v >> i) & 1);
    }
    void ue(uint32_t v) {
        uint64_t x = uint64_t(v) + 1;
        int len = 0;
        while ((x >> len) > 1) ++len;
        bits(0, len);
        bits(uint32_t(x), len + 1);
    }
};

struct SpsCase {
    const char* name;
    uint8_t profile;
    uint32_t chroma_format;  // only written for high profiles
    uint32_t width_mbs, height_map_units;
    bool frame_mbs_only;
    uint32_t crop_left, crop_right, crop_top, crop_bottom;
    uint16_t width, height;
};

Bytes make_sps(const SpsCase& c) {
    Bits b;
    b.ue(0);  // seq_parameter_set_id
    if (c.profile == 100 || c.profile == 244) {
        b.ue(c.chroma_format);
        if (c.chroma_format == 3) b.bit(0);
        b.ue(0);
        b.ue(0);
        b.bit(0);
        b.bit(0);  // no scaling matrix
    }
    b.ue(0);  // log2_max_frame_num_minus4
    b.ue(0);  // pic_order_cnt_type
    b.ue(0);
    b.ue(1);  // max_num_ref_frames
    b.bit(0);
    b.ue(c.width_mbs - 1);
    b.ue(c.height_map_units - 1);
    b.bit(c.frame_mbs_only);
    if (!c.frame_mbs_only) b.bit(1);
    b.bit(1);
    const bool crop = c.crop_left | c.crop_right | c.crop_top | c.crop_bottom;
    b.bit(crop);
    if (crop) {
        b.ue(c.crop_left);
        b.ue(c.crop_right);
        b.ue(c.crop_top);
        b.ue(c.crop_bottom);
    }
    b.bit(0);  // no VUI
    b.bit(1);  // rbsp stop bit
    Bytes sps = {0x67, c.profile, 0, 31};
    sps.insert(sps.end(), b.bytes.begin(), b.bytes.end());
    return sps;
}

class SpsSize : public ::testing::TestWithParam<SpsCase> {};

TEST_P(SpsSize, CropUsesTheUnitsOfChromaFormatAndFieldCoding) {
    const SpsCase& c = GetParam();
    auto size = read_sps_picture_size(make_sps(c));
    ASSERT_TRUE(size.has_value());
    EXPECT_EQ(size->width, c.width);
    EXPECT_EQ(size->height, c.height);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SpsSize,
    ::testing::Values(
        SpsCase{"progressive_1080", 100, 1, 120, 68, true, 0, 0, 0, 4, 1920, 1080},
        // Field-coded 1080 lines: 34 map units of 32 lines, crop unit 4.
        SpsCase{"interlaced_1080", 100, 1, 120, 34, false, 0, 0, 0, 2, 1920, 1080},
        SpsCase{"interlaced_uncropped", 77, 1, 20, 34, false, 0, 0, 0, 0, 320, 1088},
        SpsCase{"baseline_cropped_sides", 66, 1, 20, 15, true, 2, 2, 0, 0, 312, 240},
        // 4:2:2: SubHeightC is 1, so a bottom crop of 8 removes 8 lines.
        SpsCase{"chroma_422", 100, 2, 120, 68, true, 0, 0, 0, 8, 1920, 1080},
        // 4:4:4: both units 1.
        SpsCase{"chroma_444", 244, 3, 120, 68, true, 1, 1, 0, 8, 1918, 1080},
        // Monochrome: unit 1 horizontally, 2 - frame_mbs_only vertically.
        SpsCase{"monochrome_field", 100, 0, 20, 8, false, 4, 0, 0, 8, 316, 240}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SpsSize, TooShortOrTruncatedGivesNothing) {
    EXPECT_FALSE(read_sps_picture_size(Bytes{0x67, 100, 0}).has_value());
    Bytes sps = make_sps(SpsCase{"", 100, 1, 120, 68, true, 0, 0, 0, 4, 0, 0});
    sps.resize(6);
    EXPECT_FALSE(read_sps_picture_size(sps).has_value());
}

TEST(Unwrap, CrossesThe33BitWrapBothWays) {
    const int64_t wrap = int64_t(1) << 33;
    EXPECT_EQ(unwrap_timestamp(100, wrap - 50), wrap + 100);
    EXPECT_EQ(unwrap_timestamp(uint64_t(wrap - 50), 100), -50);
    EXPECT_EQ(unwrap_timestamp(9000, 3000), 9000);
    EXPECT_EQ(unwrap_timestamp(uint64_t(wrap) + 7, 0), 7);  // only 33 bits count
}

TEST(Adts, FalseSyncIsSteppedOver) {
    // A sync word with frame_length 2, then a real 20-byte frame.
    Bytes d = {0xFF, 0xF1, 0x50, 0x80, 0x00, 0x40, 0x00, 0x00};
    Bytes frame = {0xFF, 0xF1, 0x50, 0x80, 0x02, 0x9F, 0xFC};  // frame_length 20
    frame.resize(20, 0xAB);
    d.insert(d.end(), frame.begin(), frame.end());
    AacCut cut = extract_aac_frames(d);
    ASSERT_EQ(cut.frames.size(), 1u);
    EXPECT_EQ(cut.frames[0].size(), 13u);
    EXPECT_EQ(cut.consumed, d.size());
    ASSERT_TRUE(cut.first.has_value());
    EXPECT_EQ(cut.first->profile, 1);
    EXPECT_EQ(cut.first->sampling_frequency_index, 4);
    EXPECT_EQ(cut.first->channel_configuration, 2);
}

Bytes annex_b(std::initializer_list<std::vector<uint8_t>> nals) {
    Bytes out;
    for (const auto& n : nals) {
        out.insert(out.end(), {0, 0, 0, 1});
        out.insert(out.end(), n.begin(), n.end());
    }
    return out;
}

TEST(AccessUnits, BoundariesWithAndWithoutDelimiters) {
    // Slices: header byte, then first_mb_in_slice (0x80 = ue 0, 0x40 = ue 1).
    const std::vector<uint8_t> aud = {0x09, 0xF0}, sps = {0x67, 0x42, 0, 0x1E}, pps = {0x68, 0xCE};
    const std::vector<uint8_t> idr0 = {0x65, 0x88, 1}, idr1 = {0x65, 0x40, 1}, p0 = {0x41, 0x9A, 1};
    const std::vector<uint8_t> sei = {0x06, 0x05, 1};

    VideoSamples with_aud = cut_video_samples(annex_b({aud, sps, pps, idr0, idr1, aud, p0, aud, p0}));
    EXPECT_EQ(with_aud.count(), 3u);
    EXPECT_EQ(with_aud.sync, (std::vector<uint8_t>{1, 0, 0}));

    VideoSamples without = cut_video_samples(annex_b({sps, pps, idr0, idr1, sei, p0, p0, sps, pps, idr0}));
    EXPECT_EQ(without.count(), 4u);
    EXPECT_EQ(without.sync, (std::vector<uint8_t>{1, 0, 0, 1}));
    // The first sample holds both IDR slices, length-prefixed, no SPS/PPS.
    EXPECT_EQ(without.sizes[0], 2u * (4 + 3));
}

TEST(AccessUnits, ZeroBytesBeforeAStartCodeStayInThePrecedingUnit) {
    Bytes d = {0, 0, 1, 0x65, 0x88, 0x11, 0, 0, 0, 0, 1, 0x41, 0x9A, 0x22};
    VideoSamples s = cut_video_samples(d);
    ASSERT_EQ(s.nals.size(), 2u);
    EXPECT_EQ(s.nals[0].size, 4u);  // 65 88 11 00
    EXPECT_EQ(s.nals[1].offset, 11u);
}

TEST(Layout, SixtyFourBitFormOnlyPastFourGiB) {
    const uint64_t max32 = 0xFFFFFFFFull;
    EXPECT_FALSE(needs_64bit_layout(1000, 1u << 20, 1u << 19));
    // The mdat size field holds payload + 8.
    EXPECT_FALSE(needs_64bit_layout(1000, max32 - 8 - 2000, 0));
    EXPECT_TRUE(needs_64bit_layout(1000, max32 - 7, 0));
    // The payload fits, but the last chunk starts past 2^32 - 1.
    EXPECT_TRUE(needs_64bit_layout(1000, max32 - 100, max32 - 1000 - 8 + 1));
    EXPECT_FALSE(needs_64bit_layout(1000, max32 - 100, max32 - 1000 - 8));
}

TEST(Layout, LargeMoovHasCo64OfTheSameShape) {
    MediaData media;
    media.audio_frames = {Bytes(10, 1), Bytes(12, 2)};
    VideoSamples samples;
    samples.sizes = {100, 50};
    samples.sync = {1, 0};
    samples.unit_start = {0, 100};
    ProgramTiming timing;
    MoovBox small = build_moov(media, samples, timing, false);
    MoovBox large = build_moov(media, samples, timing, true);
    // One 4-byte offset grows to 8 bytes in each of the two tracks.
    EXPECT_EQ(large.data.size(), small.data.size() + 8);
    auto contains = [](const Bytes& b, const char* t) {
        return std::search(b.begin(), b.end(), t, t + 4) != b.end();
    };
    EXPECT_TRUE(contains(large.data, "co64"));
    EXPECT_FALSE(contains(large.data, "stco"));
    EXPECT_TRUE(contains(small.data, "stco"));
    ASSERT_TRUE(large.audio_chunk_offset_at.has_value());
    EXPECT_EQ(std::string(large.data.begin() + long(large.video_chunk_offset_at) - 12,
                          large.data.begin() + long(large.video_chunk_offset_at) - 8),
              "co64");

    Bytes header;
    ByteWriter w{header};
    write_mdat_header(w, uint64_t(5) << 30, true);
    EXPECT_EQ(header, (Bytes{0, 0, 0, 1, 'm', 'd', 'a', 't', 0, 0, 0, 1, 0x40, 0, 0, 0x10}));
}

}  // namespace
}  // namespace morvex
