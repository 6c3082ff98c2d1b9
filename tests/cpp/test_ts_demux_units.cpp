// Core units of the transport stream path that the Python surface cannot
// observe directly: picture size arithmetic, VUI timing, timestamp
// unwrapping, ADTS framing and NAL boundaries.
#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>
#include <string>
#include <vector>

#include "codecs/h264.h"
#include "codecs/h264_sps.h"
#include "media/source_pieces.h"
#include "ts/access_units.h"
#include "ts/audio_frames.h"
#include "ts/nal_scanner.h"
#include "ts/timestamps.h"

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
    bool vui = false;
    uint32_t num_units_in_tick = 0, time_scale = 0;
};

// Emulation prevention (H.264 7.4.1): 00 00 0x becomes 00 00 03 0x.
Bytes escaped(const std::vector<uint8_t>& rbsp) {
    Bytes out;
    unsigned zeros = 0;
    for (uint8_t b : rbsp) {
        if (zeros >= 2 && b <= 3) {
            out.push_back(3);
            zeros = 0;
        }
        out.push_back(b);
        zeros = b == 0 ? zeros + 1 : 0;
    }
    return out;
}

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
    b.bit(c.vui);
    if (c.vui) {
        b.bits(0, 4);  // no aspect ratio, overscan, signal type, chroma location
        b.bit(1);      // timing_info_present_flag
        b.bits(c.num_units_in_tick, 32);
        b.bits(c.time_scale, 32);
        b.bit(1);      // fixed_frame_rate_flag
    }
    b.bit(1);  // rbsp stop bit
    Bytes sps = {0x67, c.profile, 0, 31};
    const Bytes body = escaped(b.bytes);
    sps.insert(sps.end(), body.begin(), body.end());
    return sps;
}

class SpsSize : public ::testing::TestWithParam<SpsCase> {};

TEST_P(SpsSize, CropUsesTheUnitsOfChromaFormatAndFieldCoding) {
    const SpsCase& c = GetParam();
    auto size = h264::parse_sps(make_sps(c));
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
    EXPECT_FALSE(h264::parse_sps(Bytes{0x67, 100, 0}).has_value());
    Bytes sps = make_sps(SpsCase{"", 100, 1, 120, 68, true, 0, 0, 0, 4, 0, 0});
    sps.resize(6);
    EXPECT_FALSE(h264::parse_sps(sps).has_value());
}

TEST(SpsTiming, FrameDurationFromTheVuiThroughEmulationPrevention) {
    // num_units_in_tick 1001 and time_scale 60000 (29.97 frames a second):
    // the 32-bit fields hold runs of zero bytes that need escaping.
    SpsCase c{"", 100, 1, 20, 15, true, 0, 0, 0, 0, 320, 240, true, 1001, 60000};
    const Bytes sps = make_sps(c);
    auto parsed = h264::parse_sps(sps);
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ(parsed->width, 320);
    EXPECT_EQ(parsed->frame_duration_90k(), 3003u);
    c.num_units_in_tick = 1;
    c.time_scale = 50;
    EXPECT_EQ(h264::parse_sps(make_sps(c))->frame_duration_90k(), 3600u);
    c.vui = false;
    EXPECT_FALSE(h264::parse_sps(make_sps(c))->frame_duration_90k().has_value());
}

TEST(Unwrap, CrossesThe33BitWrapBothWays) {
    const int64_t wrap = int64_t(1) << 33;
    EXPECT_EQ(unwrap_timestamp(100, wrap - 50), wrap + 100);
    EXPECT_EQ(unwrap_timestamp(uint64_t(wrap - 50), 100), -50);
    EXPECT_EQ(unwrap_timestamp(9000, 3000), 9000);
    EXPECT_EQ(unwrap_timestamp(uint64_t(wrap) + 7, 0), 7);  // only 33 bits count
}

// The frames an audio cutter finds in a whole stream whose PES begin at
// `pes` (ES positions).
struct CutFrames {
    std::vector<AudioFrame> frames;
    AudioConfigs configs;
};

CutFrames cut_frames(AudioCodec codec, const Bytes& d, std::initializer_list<uint64_t> pes) {
    AudioStream s;
    s.data = d;
    for (uint64_t at : pes) s.pes.push_back(PesMark{at, {}, false, 0, std::nullopt});
    AudioCutter c;
    c.codec = codec;
    CutFrames out;
    cut_audio_frames(c, s, true, [&](const AudioFrame& f) { out.frames.push_back(f); });
    out.configs = c.configs;
    return out;
}

TEST(Adts, FalseSyncIsSteppedOver) {
    // A sync word with frame_length 2, then a real 20-byte frame.
    Bytes d = {0xFF, 0xF1, 0x50, 0x80, 0x00, 0x40, 0x00, 0x00};
    Bytes frame = {0xFF, 0xF1, 0x50, 0x80, 0x02, 0x9F, 0xFC};  // frame_length 20
    frame.resize(20, 0xAB);
    d.insert(d.end(), frame.begin(), frame.end());
    // A frame cut off at the end is left out.
    d.insert(d.end(), frame.begin(), frame.begin() + 10);
    const CutFrames p = cut_frames(AudioCodec::Aac, d, {0});
    ASSERT_EQ(p.frames.size(), 1u);
    EXPECT_EQ(p.frames[0].offset, 8u + 7u);
    EXPECT_EQ(p.frames[0].size, 13u);
    ASSERT_TRUE(p.configs.aac.has_value());
    EXPECT_EQ(p.configs.aac->profile, 1);
    EXPECT_EQ(p.configs.aac->sampling_frequency_index, 4);
    EXPECT_EQ(p.configs.aac->channel_configuration, 2);
}

// E-AC-3 frames of 384 bytes (independent substream 0, 5.1) and 256 bytes
// (a dependent substream that adds Lrs/Rrs).
const Bytes kEac3Independent = {0x0B, 0x77, 0x00, 0xBF, 0x3F, 0x87, 0xC0, 0x00};
const Bytes kEac3Dependent = {0x0B, 0x77, 0x40, 0x7F, 0x3E, 0x87, 0xD0, 0x20, 0x00};

void add_frame(Bytes& d, const Bytes& header, size_t size) {
    d.insert(d.end(), header.begin(), header.end());
    d.resize(d.size() + size - header.size(), 0);
}

TEST(Eac3, SubstreamsOfOneInstantMakeOneFrame) {
    Bytes d;
    add_frame(d, kEac3Dependent, 256);  // its independent frame is cut off in front: dropped
    add_frame(d, kEac3Independent, 384);
    add_frame(d, kEac3Dependent, 256);
    d.push_back(0x0B);  // a byte of garbage
    add_frame(d, kEac3Independent, 384);
    add_frame(d, kEac3Dependent, 256);
    add_frame(d, kEac3Independent, 384);  // on its own: the last frame
    const CutFrames p = cut_frames(AudioCodec::Eac3, d, {0, 256 + 640 + 1});
    ASSERT_EQ(p.frames.size(), 3u);
    EXPECT_EQ(p.frames[0].offset, 256u);
    EXPECT_EQ(p.frames[0].size, 640u);
    EXPECT_EQ(p.frames[1].offset, 256u + 640 + 1);
    EXPECT_EQ(p.frames[1].size, 640u);
    EXPECT_EQ(p.frames[1].pes, 1u);
    EXPECT_EQ(p.frames[2].size, 384u);
    EXPECT_EQ(p.frames[2].index, 1u);
    ASSERT_TRUE(p.configs.ac3 && p.configs.eac3);
    EXPECT_EQ(p.configs.ac3->samples, 1536);
    EXPECT_EQ(p.configs.eac3->substreams.at(0).num_dep_sub, 1);
    EXPECT_EQ(p.configs.eac3->channel_count(), 8);
}

TEST(Eac3, Ac3StreamTakesNoEac3FramesAndKeepsWholeSyncframes) {
    Bytes d;
    // AC-3 at 48 kHz, 64 kbit/s (frmsizecod 8): 256 bytes a syncframe.
    const Bytes ac3 = {0x0B, 0x77, 0x00, 0x00, 0x08, 0x40, 0x40, 0x00};
    add_frame(d, ac3, 256);
    add_frame(d, kEac3Independent, 384);  // not of this stream: stepped over
    add_frame(d, ac3, 256);
    const CutFrames p = cut_frames(AudioCodec::Ac3, d, {0});
    ASSERT_EQ(p.frames.size(), 2u);
    EXPECT_EQ(p.frames[0].offset, 0u);
    EXPECT_EQ(p.frames[0].size, 256u);
    EXPECT_EQ(p.frames[1].offset, 256u + 384);
    ASSERT_TRUE(p.configs.ac3.has_value());
    EXPECT_FALSE(p.configs.ac3->enhanced);
    EXPECT_FALSE(p.configs.eac3.has_value());
}

Bytes annex_b(std::initializer_list<std::vector<uint8_t>> nals) {
    Bytes out;
    for (const auto& n : nals) {
        out.insert(out.end(), {0, 0, 0, 1});
        out.insert(out.end(), n.begin(), n.end());
    }
    return out;
}

// A whole stream through the access-unit cutter.
struct Cut {
    std::vector<AccessUnit> units;
    AccessUnitCutter cutter;
};

Cut cut(const Bytes& d) {
    SourcePieces es;
    es.window = d.data();
    es.add(ByteSpan(d));
    Cut out;
    finish_access_units(out.cutter, es, [&](const AccessUnit& u) { out.units.push_back(u); });
    return out;
}

TEST(AccessUnits, BoundariesWithAndWithoutDelimiters) {
    // Slices: header byte, then first_mb_in_slice (0x80 = ue 0, 0x40 = ue 1).
    const std::vector<uint8_t> aud = {0x09, 0xF0}, sps = {0x67, 0x42, 0, 0x1E}, pps = {0x68, 0xCE};
    const std::vector<uint8_t> idr0 = {0x65, 0x88, 1}, idr1 = {0x65, 0x40, 1}, p0 = {0x41, 0x9A, 1};
    const std::vector<uint8_t> sei = {0x06, 0x05, 1};

    auto sync = [](const Cut& a) {
        std::vector<bool> out;
        for (const auto& u : a.units) out.push_back(u.idr);
        return out;
    };
    const Cut with_aud = cut(annex_b({aud, sps, pps, idr0, idr1, aud, p0, aud, p0}));
    EXPECT_EQ(with_aud.units.size(), 3u);
    EXPECT_EQ(sync(with_aud), (std::vector<bool>{true, false, false}));

    const Cut without = cut(annex_b({sps, pps, idr0, idr1, sei, p0, p0, sps, pps, idr0}));
    EXPECT_EQ(without.units.size(), 4u);
    EXPECT_EQ(sync(without), (std::vector<bool>{true, false, false, true}));
    // The first sample holds both IDR slices, length-prefixed, and the
    // SPS/PPS, which a sample entry may take instead.
    EXPECT_EQ(without.units[0].bytes - without.units[0].parameter_set_bytes, 2u * (4 + 3));
    EXPECT_EQ(without.units[0].parameter_set_bytes, 4u + 4 + 4 + 2);
    ASSERT_FALSE(without.cutter.sets.sps.empty() || without.cutter.sets.pps.empty());
    EXPECT_EQ(without.cutter.sets.sps.front().size(), 4u);
}

TEST(AccessUnits, ZeroBytesBeforeAStartCodeStayInThePrecedingUnit) {
    Bytes d = {0, 0, 1, 0x65, 0x88, 0x11, 0, 0, 0, 0, 1, 0x41, 0x9A, 0x22};
    const Cut s = cut(d);
    const auto& nals = s.cutter.nals.ranges;
    ASSERT_EQ(nals.size(), 2u);
    EXPECT_EQ(nals[0].size, 4u);  // 65 88 11 00
    EXPECT_EQ(nals[1].offset, 11u);
}

TEST(NalUnits, AStartCodeEndsTheUnitEvenWithNothingAfterIt) {
    const Bytes d = {0, 0, 0, 1, 0x65, 0x88, 0x11, 0, 0, 1};
    auto nals = h264::split_nal_units(ByteSpan(d));
    ASSERT_EQ(nals.size(), 1u);
    EXPECT_EQ(nals[0].header, 4u);
    EXPECT_EQ(nals[0].end, 7u);
}

TEST(NalUnits, TheSameUnitsWhereverThePiecesAreCut) {
    // Start codes of both forms, zero bytes before one, a unit of one byte,
    // a start code with nothing after it.
    const Bytes d = {0, 0, 0, 1, 0x67, 0x42, 0, 0x1E, 0, 0, 1, 0x68, 0xCE, 0, 0, 0, 0, 1, 0x65,
                     0x88, 0, 0, 3, 0, 0, 1, 0x09, 0, 0, 1, 0x41, 0x9A, 0, 0, 1};
    const auto whole = h264::split_nal_units(ByteSpan(d));
    ASSERT_EQ(whole.size(), 5u);
    using Key = std::tuple<uint64_t, uint64_t, uint64_t, uint8_t, uint8_t>;
    std::vector<Key> expected;
    for (const auto& n : whole) expected.emplace_back(n.start, n.header, n.end, n.header_byte, n.second_byte);
    // The scanner fed the stream a piece at a time, as a live reader does.
    for (size_t piece = 1; piece <= 7; ++piece) {
        SourcePieces es;
        es.window = d.data();
        NalScanner scanner;
        std::vector<Key> got;
        auto on_nal = [&](const h264::Nal& n) { got.emplace_back(n.start, n.header, n.end, n.header_byte, n.second_byte); };
        for (size_t i = 0; i < d.size(); i += piece) {
            es.add(ByteSpan(d).subspan(i, std::min(piece, d.size() - i)));
            scan_nal_units(scanner, es, on_nal);
        }
        finish_nal_units(scanner, es, on_nal);
        EXPECT_EQ(got, expected) << "pieces of " << piece;
    }
}

TEST(NalUnits, ALoneZeroBeforeAOneAtTheFrontOfAGrowingPieceIsNoStartCode) {
    // Pieces of the input hold 255 bytes at the most: the 256th byte (a
    // zero) begins a new one, which the next push makes longer. The byte
    // before that zero is not one, so 00 01 there is no start code.
    Bytes d = {0, 0, 0, 1, 0x65};
    d.resize(254, 0x88);
    for (uint8_t b : {0x3A, 0x00, 0x01, 0x2F, 0x00, 0x00, 0x01, 0x09}) d.push_back(b);
    SourcePieces es;
    es.window = d.data();
    NalScanner scanner;
    std::vector<uint64_t> headers;
    auto on_nal = [&](const h264::Nal& n) { headers.push_back(n.header); };
    for (size_t i = 0; i < d.size(); i += 32) {
        es.add(ByteSpan(d).subspan(i, std::min<size_t>(32, d.size() - i)));
        scan_nal_units(scanner, es, on_nal);
    }
    finish_nal_units(scanner, es, on_nal);
    EXPECT_EQ(headers, (std::vector<uint64_t>{4, 261}));
}

}  // namespace
}  // namespace morvex
