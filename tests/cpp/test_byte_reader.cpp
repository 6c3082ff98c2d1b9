// Bounds of the shared big-endian reader: reads that reach the end succeed,
// reads past it fail without moving the cursor, and counts near SIZE_MAX
// cannot wrap the position arithmetic.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

#include "common/byte_reader.h"

using namespace morvex;

namespace {

const std::vector<uint8_t> kData = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09};

TEST(ByteReader, ReadsBigEndianUpToTheLastByte) {
    ByteReader r{kData};
    EXPECT_EQ(r.u8(), 0x01);
    EXPECT_EQ(r.u64(), 0x0203040506070809u);
    EXPECT_EQ(r.remaining(), 0u);
    EXPECT_FALSE(r.u8());
    EXPECT_EQ(r.pos, kData.size());
}

struct ShortRead {
    size_t start;   // bytes skipped first
    int width;      // 1, 2, 3, 4 or 8
};

class ByteReaderShort : public ::testing::TestWithParam<ShortRead> {};

// Each read needs its whole width; one byte short fails and leaves the cursor.
TEST_P(ByteReaderShort, FailsWithoutMoving) {
    const ShortRead c = GetParam();
    ByteReader r{kData};
    ASSERT_TRUE(r.skip(c.start));
    bool ok = true;
    switch (c.width) {
        case 1: ok = r.u8().has_value(); break;
        case 2: ok = r.u16().has_value(); break;
        case 3: ok = r.u24().has_value(); break;
        case 4: ok = r.u32().has_value(); break;
        case 8: ok = r.u64().has_value(); break;
    }
    EXPECT_FALSE(ok);
    EXPECT_EQ(r.pos, c.start);
}

INSTANTIATE_TEST_SUITE_P(AtTheEnd, ByteReaderShort,
                         ::testing::Values(ShortRead{9, 1}, ShortRead{8, 2}, ShortRead{7, 3}, ShortRead{6, 4},
                                           ShortRead{2, 8}));

TEST(ByteReader, ExactFitSucceeds) {
    ByteReader r{kData};
    ASSERT_TRUE(r.skip(5));
    EXPECT_EQ(r.u32(), 0x06070809u);
    EXPECT_TRUE(r.skip(0));
    auto empty = r.bytes(0);
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->empty());
}

TEST(ByteReader, HugeCountsDoNotWrap) {
    constexpr size_t kMax = std::numeric_limits<size_t>::max();
    for (size_t start : {size_t(0), size_t(1), kData.size()}) {
        for (size_t n : {kMax, kMax - 1, kMax - start, kData.size() - start + 1}) {
            ByteReader r{kData};
            ASSERT_TRUE(r.skip(start));
            EXPECT_FALSE(r.can_read(n)) << start << " + " << n;
            EXPECT_FALSE(r.skip(n)) << start << " + " << n;
            EXPECT_FALSE(r.bytes(n)) << start << " + " << n;
            EXPECT_EQ(r.pos, start);
        }
    }
}

TEST(ByteReader, SubRangeIsAViewAtTheCursor) {
    ByteReader r{kData};
    ASSERT_TRUE(r.skip(3));
    auto s = r.bytes(4);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->data(), kData.data() + 3);
    EXPECT_EQ(s->size(), 4u);
    EXPECT_EQ(r.pos, 7u);
}

TEST(ByteReader, EmptyInput) {
    ByteReader r{ByteSpan{}};
    EXPECT_TRUE(r.can_read(0));
    EXPECT_FALSE(r.u8());
    EXPECT_FALSE(r.skip(1));
    EXPECT_EQ(r.remaining(), 0u);
}

}  // namespace
