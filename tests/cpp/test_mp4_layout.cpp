// The box rules, the 32/64-bit layout decision of the writer and the time
// header forms, with sizes passed in rather than gigabytes of media.
#include <gtest/gtest.h>

#include <string>

#include "common/byte_reader.h"
#include "common/byte_writer.h"
#include "isobmff/box.h"
#include "isobmff/fourcc.h"
#include "isobmff/time_headers.h"
#include "mp4/regular_writer.h"

using namespace morvex;

namespace {

Bytes be32(uint32_t v) { return Bytes{uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)}; }
Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}
Bytes text(const char* s) { return Bytes(s, s + 4); }

struct RuleCase {
    const char* name;
    Bytes file;
    const char* error;  // nullptr: the walk succeeds
    size_t boxes;
    size_t last_size;
};

class BoxRules_ : public ::testing::TestWithParam<RuleCase> {};

TEST_P(BoxRules_, TopLevelWalk) {
    const RuleCase& c = GetParam();
    auto boxes = top_level_boxes(c.file);
    if (c.error) {
        ASSERT_FALSE(boxes.has_value());
        EXPECT_EQ(boxes.error().message, c.error);
        return;
    }
    ASSERT_TRUE(boxes.has_value()) << boxes.error().message;
    ASSERT_EQ(boxes->size(), c.boxes);
    EXPECT_EQ(boxes->back().size(), c.last_size);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BoxRules_,
    ::testing::Values(
        RuleCase{"plain", cat({be32(12), text("free"), be32(0)}), nullptr, 1, 12},
        RuleCase{"size_zero_runs_to_the_end", cat({be32(8), text("ftyp"), be32(0), text("mdat"), Bytes(5)}), nullptr, 2, 13},
        RuleCase{"largesize", cat({be32(1), text("mdat"), be32(0), be32(20), be32(7)}), nullptr, 1, 20},
        RuleCase{"trailing_bytes", cat({be32(8), text("free"), Bytes(7)}), nullptr, 1, 8},
        RuleCase{"largesize_cut_short", cat({be32(1), text("mdat"), be32(0)}), "Not enough data", 0, 0},
        RuleCase{"below_the_header", cat({be32(5), text("free"), be32(0)}), "Invalid box size", 0, 0},
        RuleCase{"largesize_below_16", cat({be32(1), text("free"), be32(0), be32(9)}), "Invalid box size", 0, 0},
        RuleCase{"overrun", cat({be32(100), text("moov"), Bytes(4)}), "Box size 100 exceeds available data", 0, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(BoxRules_, AChildOverrunningItsParentEndsTheList) {
    const Bytes file = cat({be32(32), text("moov"), be32(8), text("mvhd"), be32(100), text("trak"), Bytes(8)});
    auto top = top_level_boxes(file);
    ASSERT_TRUE(top && top->size() == 1);
    auto children = child_boxes(top->front());
    ASSERT_TRUE(children.has_value());
    ASSERT_EQ(children->size(), 1u);
    EXPECT_EQ(children->front().type, box::mvhd);
    EXPECT_EQ(children->front().offset, 8u);
}

// A file of `count` samples of `size` bytes each, laid out without touching
// their bytes (the source is empty: only the layout is looked at).
Mp4Layout layout_of(uint32_t count, uint32_t size, Bytes& templates) {
    templates.clear();
    ByteWriter w{templates};
    size_t moov = w.begin_box("moov");
    size_t trak = w.begin_box("trak");
    w.end_box(trak);
    w.end_box(moov);
    const size_t trak_at = templates.size();
    size_t t = w.begin_box("trak");
    size_t mdia = w.begin_box("mdia");
    size_t minf = w.begin_box("minf");
    size_t stbl = w.begin_box("stbl");
    size_t stsd = w.begin_full_box("stsd", 0, 0);
    w.u32(0);
    w.end_box(stsd);
    w.end_box(stbl);
    w.end_box(minf);
    w.end_box(mdia);
    w.end_box(t);
    Movie movie;
    movie.ftyp = ByteSpan(kRebuiltFtyp);
    movie.moov = ByteSpan(templates).subspan(0, trak_at);
    Track track;
    track.track_id = 1;
    track.timescale = 1;
    track.trak = ByteSpan(templates).subspan(trak_at);
    for (uint32_t i = 0; i < count; ++i) track.samples.push_back(Sample{0, size, 1, 0, true, 0});
    movie.tracks.push_back(std::move(track));
    auto layout = lay_out_regular_mp4(movie);
    EXPECT_TRUE(layout.has_value());
    return std::move(*layout);
}

bool holds(const Bytes& b, const char* type) {
    return std::search(b.begin(), b.end(), type, type + 4) != b.end();
}

TEST(RegularWriter, SixtyFourBitFormsOnlyPastFourGiB) {
    Bytes templates;
    // Four chunks (one sample a chunk at timescale 1) of 1000 bytes.
    Mp4Layout small = layout_of(4, 1000, templates);
    EXPECT_TRUE(holds(small.head, "stco"));
    EXPECT_FALSE(holds(small.head, "co64"));
    EXPECT_EQ(load_be32(small.head.data() + small.head.size() - 8), 4008u);  // the mdat header
    EXPECT_EQ(small.size, small.head.size() + 4000);

    // Chunks of 1.5 GB: the third starts past 2^32, the mdat needs a largesize.
    Mp4Layout large = layout_of(4, 1'500'000'000, templates);
    EXPECT_TRUE(holds(large.head, "co64"));
    EXPECT_FALSE(holds(large.head, "stco"));
    const uint8_t* mdat = large.head.data() + large.head.size() - 16;
    EXPECT_EQ(load_be32(mdat), 1u);
    EXPECT_EQ(load_be64(mdat + 8), 6'000'000'016u);
    EXPECT_EQ(large.size, large.head.size() + 6'000'000'000u);
    // co64 adds four bytes to each of the four chunk offsets.
    EXPECT_EQ(large.head.size(), small.head.size() + 16 + 8);
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
