// Box header forms and the 32/64-bit layout decision, with sizes passed in
// rather than gigabytes of media.
#include <gtest/gtest.h>

#include "common/byte_reader.h"
#include "common/byte_writer.h"
#include "mp4_parser/box.h"
#include "mp4_parser/layout.h"
#include "mp4_parser/movie_header.h"
#include "mp4_parser/regular_track.h"

using namespace morvex;

namespace {

constexpr uint32_t kMdat = fourcc_value("mdat");

struct HeaderCase {
    uint64_t payload_len;
    bool large;
    uint64_t header_len;
    uint64_t total;
};

class WriteBoxHeader : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(WriteBoxHeader, PicksTheFormThatHoldsTheSize) {
    const HeaderCase c = GetParam();
    Bytes out;
    write_box_header(out, kMdat, c.payload_len, c.large);
    ASSERT_EQ(out.size(), c.header_len);
    EXPECT_EQ(load_be32(out.data() + 4), kMdat);
    if (c.header_len == 8) {
        EXPECT_EQ(load_be32(out.data()), c.total);
    } else {
        EXPECT_EQ(load_be32(out.data()), 1u);
        EXPECT_EQ(load_be64(out.data() + 8), c.total);
    }
    if (!c.large) {
        EXPECT_EQ(box_header_size(c.payload_len), c.header_len);
    }
}

INSTANTIATE_TEST_SUITE_P(Forms, WriteBoxHeader,
                         ::testing::Values(HeaderCase{0, false, 8, 8},
                                           HeaderCase{0xFFFFFFF7, false, 8, 0xFFFFFFFF},
                                           HeaderCase{0xFFFFFFF8, false, 16, 0x100000008},
                                           HeaderCase{5'000'000'000, false, 16, 5'000'000'016},
                                           // a box read with largesize keeps it
                                           HeaderCase{100, true, 16, 116}));

TEST(WriteBox, LargeFormRoundTripsThroughTheWalker) {
    const Bytes payload{1, 2, 3};
    Bytes out;
    write_box_as(out, fourcc_value("free"), payload, true);
    write_box(out, fourcc_value("skip"), payload);
    auto boxes = parse_container_box(out);
    ASSERT_TRUE(boxes);
    ASSERT_EQ(boxes->size(), 2u);
    EXPECT_EQ((*boxes)[0].header_size, 16);
    EXPECT_EQ((*boxes)[0].data, payload);
    EXPECT_EQ((*boxes)[1].header_size, 8);
    EXPECT_EQ((*boxes)[1].offset, 19u);
}

struct LayoutCase {
    uint64_t moov_len;
    uint64_t media_len;
    bool co64;
    uint64_t media_start;
};

class Layout : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(Layout, SwitchesToSixtyFourBitsOnlyWhenAnOffsetCouldOverflow) {
    const LayoutCase c = GetParam();
    EXPECT_EQ(needs_co64(c.moov_len, c.media_len), c.co64);
    EXPECT_EQ(plan_layout(c.moov_len, c.media_len).media_start, c.media_start);
}

// ftyp 32 + moov header 8 + moov + mdat header (8 or 16).
INSTANTIATE_TEST_SUITE_P(Sizes, Layout,
                         ::testing::Values(LayoutCase{1000, 1'000'000, false, 1048},
                                           // the file ends exactly at 2^32 - 1
                                           LayoutCase{1000, 0xFFFFFFFFull - 1048, false, 1048},
                                           LayoutCase{1000, 0x100000000ull - 1048, true, 1048},
                                           // a payload of 2^32 - 8 or more needs the 16-byte mdat header
                                           LayoutCase{1000, 0xFFFFFFF8ull, true, 1056},
                                           LayoutCase{4'000'000'000, 500'000'000, true, 4'000'000'048}));

TEST(Layout, BlocksFollowOneAnother) {
    const uint64_t sizes[] = {10, 0, 4'294'967'296, 7};
    EXPECT_EQ(block_offsets(100, sizes), (std::vector<uint64_t>{100, 110, 110, 4'294'967'406}));
}

// Entries of the chunk offset box of a rebuilt trak.
std::vector<uint64_t> chunk_offsets_of(const Bytes& trak, bool co64) {
    const uint32_t type = fourcc_value(co64 ? "co64" : "stco");
    for (size_t i = 0; i + 8 <= trak.size(); ++i) {
        if (load_be32(trak.data() + i + 4) != type) continue;
        ByteReader r{ByteSpan(trak).subspan(i + 12)};
        std::vector<uint64_t> out(*r.u32());
        for (auto& v : out) v = co64 ? *r.u64() : *r.u32();
        return out;
    }
    return {};
}

Bytes minimal_trak() {
    Bytes stbl, minf, mdia, trak;
    write_box(minf, fourcc_value("stbl"), stbl);
    write_box(mdia, fourcc_value("minf"), minf);
    write_box(trak, fourcc_value("mdia"), mdia);
    return trak;
}

TEST(RegularTrak, ChunkOffsetsBeyondFourGigabytesUseCo64) {
    TrackFragments t;
    t.samples = {{1, 500, 0, 0}, {1, 500, 0, 0}};
    const uint64_t start = 4'294'967'000;
    auto wide = build_regular_trak(minimal_trak(), t, start, {1000, true});
    ASSERT_TRUE(wide);
    EXPECT_EQ(chunk_offsets_of(*wide, true), (std::vector<uint64_t>{start, start + 500}));
    EXPECT_TRUE(chunk_offsets_of(*wide, false).empty());
    // The measuring pass and the final one have the same length.
    auto measured = build_regular_trak(minimal_trak(), t, 0, {1000, true});
    ASSERT_TRUE(measured);
    EXPECT_EQ(measured->size(), wide->size());
}

TEST(TimeHeader, DurationBeyondThirtyTwoBitsMovesToVersionOne) {
    // mdhd version 0: creation, modification, timescale, duration, language.
    Bytes mdhd(24, 0);
    ByteWriter{mdhd}.patch_u32(12, 90000);
    ByteWriter{mdhd}.patch_u32(20, 0x55C40000);
    auto h = read_time_header(TimeBox::Mdhd, mdhd);
    ASSERT_TRUE(h && *h);
    const Bytes wide = rebuild_time_header(**h, mdhd, 5'000'000'000);
    ASSERT_EQ(wide.size(), 36u);
    EXPECT_EQ(wide[0], 1);
    EXPECT_EQ(load_be32(wide.data() + 20), 90000u);
    EXPECT_EQ(load_be64(wide.data() + 24), 5'000'000'000u);
    EXPECT_EQ(load_be32(wide.data() + 32), 0x55C40000u);
    // and back to version 0 when it fits
    auto hw = read_time_header(TimeBox::Mdhd, wide);
    ASSERT_TRUE(hw && *hw);
    EXPECT_EQ(rebuild_time_header(**hw, wide, 7), Bytes({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0x5F, 0x90, 0, 0, 0,
                                                         7, 0x55, 0xC4, 0, 0}));
}

TEST(ScaleDuration, DoesNotWrapOnLargeProducts) {
    EXPECT_EQ(scale_duration(1ull << 62, 1, 1000), UINT64_MAX);
    EXPECT_EQ(scale_duration(1ull << 40, 90000, 1000), (1ull << 40) * 1000 / 90000);
    EXPECT_EQ(scale_duration(123, 0, 1000), 123u);
}

}  // namespace
