// The H.265 and AC-3 / E-AC-3 codec units on bytes FFmpeg made: the
// parameter sets and frames of 2 s, 320x240 encodes (named below as
// hevc_aac.ts, hevc_frag.mp4, h264_ac3.ts and h264_eac3.ts: HEVC beside AAC,
// the same as hvc1 fMP4, H.264 beside AC-3 stereo and beside E-AC-3 5.1;
// the committed fixtures are smaller re-encodes, AC-3 being ac3_audio.ts)
// and of a few short encodes with less common options, and the hvcC, dac3
// and dec3 boxes FFmpeg's MP4 muxer wrote for the same streams.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "codecs/ac3.h"
#include "codecs/hevc.h"
#include "codecs/hevc_sps.h"
#include "codecs/hvcc.h"
#include "mp4/sample_entries.h"

namespace morvex {
namespace {

using V = std::vector<uint8_t>;

// hevc_aac.ts (x265, 320x240 Main 4:2:0, level 2, 25 fps); hevc_frag.mp4
// carries the same three units in its hvcC.
const V kVps = {0x40, 0x01, 0x0C, 0x01, 0xFF, 0xFF, 0x01, 0x60, 0x00, 0x00, 0x03, 0x00,
                0x90, 0x00, 0x00, 0x03, 0x00, 0x00, 0x03, 0x00, 0x3C, 0x95, 0x94, 0x09};
const V kSps = {0x42, 0x01, 0x01, 0x01, 0x60, 0x00, 0x00, 0x03, 0x00, 0x90, 0x00, 0x00, 0x03, 0x00,
                0x00, 0x03, 0x00, 0x3C, 0xA0, 0x0A, 0x08, 0x0F, 0x16, 0x59, 0x59, 0x52, 0x93, 0x0B,
                0xC0, 0x5A, 0x02, 0x00, 0x00, 0x03, 0x00, 0x02, 0x00, 0x00, 0x03, 0x00, 0x32, 0x10};
const V kPps = {0x44, 0x01, 0xC0, 0x73, 0xC1, 0x89};
// 318x238 with x265's temporal-layers=1: two sub-layers, so the
// profile_tier_level carries sub-layer flags, and a conformance window of
// one chroma sample right and bottom.
const V kSpsCropTwoLayers = {0x42, 0x01, 0x02, 0x01, 0x60, 0x00, 0x00, 0x03, 0x00, 0x90, 0x00, 0x00,
                             0x03, 0x00, 0x00, 0x03, 0x00, 0x3C, 0x00, 0x00, 0xA0, 0x0A, 0x08, 0x0F,
                             0x1D, 0x56, 0x59, 0x59, 0x4A, 0xCA, 0x94, 0x98, 0x5E, 0x02, 0xD0, 0x10,
                             0x00, 0x00, 0x03, 0x00, 0x10, 0x00, 0x00, 0x03, 0x01, 0x90, 0x80};
const V kVpsCropTwoLayers = {0x40, 0x01, 0x0C, 0x02, 0xFF, 0xFF, 0x01, 0x60, 0x00, 0x00, 0x03, 0x00, 0x90, 0x00,
                             0x00, 0x03, 0x00, 0x00, 0x03, 0x00, 0x3C, 0x00, 0x00, 0x95, 0x94, 0xAC, 0xA0, 0x48};
// 320x236 4:2:2 10-bit (format range extensions profile) at 30000/1001:
// 240 coded lines, the window's 4 bottom offsets count single lines.
const V kSps422 = {0x42, 0x01, 0x01, 0x04, 0x08, 0x00, 0x00, 0x03, 0x00, 0x9D, 0x08, 0x00, 0x00, 0x03,
                   0x00, 0x00, 0x3C, 0xB0, 0x0A, 0x08, 0x0F, 0x1F, 0x2B, 0x65, 0x95, 0x95, 0x29, 0x30,
                   0xBC, 0x05, 0xA0, 0x20, 0x00, 0x00, 0x7D, 0x20, 0x00, 0x0E, 0xA6, 0x01};

struct SpsCase {
    const char* name;
    const V* sps;
    uint16_t width, height;
    uint32_t coded_height;
    uint8_t profile_idc, level_idc, chroma, depth, sub_layers;
    bool nesting;
    uint32_t duration_90k;
};

class HevcSps : public ::testing::TestWithParam<SpsCase> {};

TEST_P(HevcSps, FieldsOfRealParameterSets) {
    const SpsCase& c = GetParam();
    auto s = hevc::parse_sps(*c.sps);
    ASSERT_TRUE(s.has_value());
    EXPECT_EQ(s->width, c.width);
    EXPECT_EQ(s->height, c.height);
    EXPECT_EQ(s->coded_height, c.coded_height);
    EXPECT_EQ(s->ptl.profile_idc, c.profile_idc);
    EXPECT_EQ(s->ptl.level_idc, c.level_idc);
    EXPECT_EQ(s->chroma_format_idc, c.chroma);
    EXPECT_EQ(s->bit_depth_luma, c.depth);
    EXPECT_EQ(s->bit_depth_chroma, c.depth);
    EXPECT_EQ(s->max_sub_layers, c.sub_layers);
    EXPECT_EQ(s->temporal_id_nesting, c.nesting);
    // The timing lies behind the reference picture sets and the VUI fields
    // before it: a wrong skip anywhere on the way loses it.
    EXPECT_EQ(s->frame_duration_90k(), c.duration_90k);
}

INSTANTIATE_TEST_SUITE_P(
    X265, HevcSps,
    ::testing::Values(SpsCase{"fixture_320x240", &kSps, 320, 240, 240, 1, 60, 1, 8, 1, true, 3600},
                      SpsCase{"cropped_two_sub_layers", &kSpsCropTwoLayers, 318, 238, 240, 1, 60, 1, 8, 2, false, 3600},
                      SpsCase{"rext_422_10bit", &kSps422, 320, 236, 240, 4, 60, 2, 10, 1, true, 3003}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(HevcSps, ProfileTierLevelBitsAndTheVps) {
    auto s = hevc::parse_sps(kSps);
    ASSERT_TRUE(s.has_value());
    EXPECT_EQ(s->ptl.compatibility_flags, 0x60000000u);  // Main and Main 10
    // progressive_source_flag and frame_only_constraint_flag.
    EXPECT_EQ(s->ptl.constraint_flags, 0x900000000000u);
    EXPECT_FALSE(s->ptl.tier);
    for (const V* vps : {&kVps, &kVpsCropTwoLayers}) {
        auto v = hevc::parse_vps(*vps);
        ASSERT_TRUE(v.has_value());
        EXPECT_EQ(v->ptl.profile_idc, 1);
        EXPECT_EQ(v->ptl.level_idc, 60);
    }
    EXPECT_EQ(hevc::parse_vps(kVpsCropTwoLayers)->max_sub_layers, 2);
}

TEST(HevcSps, WrongTypeOrCutShortGivesNothing) {
    EXPECT_FALSE(hevc::parse_sps(kVps).has_value());
    EXPECT_FALSE(hevc::parse_vps(kSps).has_value());
    // Cut inside profile_tier_level, and inside the picture size.
    EXPECT_FALSE(hevc::parse_sps(V(kSps.begin(), kSps.begin() + 10)).has_value());
    EXPECT_FALSE(hevc::parse_sps(V(kSps.begin(), kSps.begin() + 19)).has_value());
    // Cut after the bit depths: size kept, timing lost.
    auto cut = hevc::parse_sps(V(kSps.begin(), kSps.begin() + 24));
    ASSERT_TRUE(cut.has_value());
    EXPECT_EQ(cut->width, 320);
    EXPECT_FALSE(cut->frame_duration_90k().has_value());
}

// The hvcC FFmpeg wrote into hevc_frag.mp4, without its fourth array (the
// x265 information SEI that FFmpeg keeps from the encoder's headers), so
// numOfArrays reads 3. FFmpeg derives min_spatial_segmentation_idc and
// parallelismType from the VUI and PPS; for these x265 units both are 0, so
// the records agree byte for byte.
const V kFfmpegHvccPayload = [] {
    V r = {0x01, 0x01, 0x60, 0x00, 0x00, 0x00, 0x90, 0x00, 0x00, 0x00, 0x00, 0x00,
           0x3C, 0xF0, 0x00, 0xFC, 0xFD, 0xF8, 0xF8, 0x00, 0x00, 0x0F, 0x03};
    for (auto [type, unit] : {std::pair{0xA0, &kVps}, std::pair{0xA1, &kSps}, std::pair{0xA2, &kPps}}) {
        r.insert(r.end(), {uint8_t(type), 0x00, 0x01, 0x00, uint8_t(unit->size())});
        r.insert(r.end(), unit->begin(), unit->end());
    }
    return r;
}();

TEST(Hvcc, WrittenRecordEqualsFfmpegs) {
    Bytes out;
    ByteWriter w{out};
    write_hvcc_box(w, kVps, kSps, kPps);
    ASSERT_EQ(out.size(), 8 + kFfmpegHvccPayload.size());
    EXPECT_EQ(V(out.begin() + 8, out.end()), kFfmpegHvccPayload);

    // Two sub-layers, no temporal id nesting: numTemporalLayers 2,
    // temporalIdNested 0 in the byte before numOfArrays.
    out.clear();
    write_hvcc_box(w, kVpsCropTwoLayers, kSpsCropTwoLayers, kPps);
    EXPECT_EQ(out[8 + 21], 0x13);
    // 4:2:2 at 10 bits.
    out.clear();
    write_hvcc_box(w, kVps, kSps422, kPps, /*complete=*/false);
    EXPECT_EQ(out[8 + 16], 0xFE);
    EXPECT_EQ(out[8 + 17], 0xFA);
    EXPECT_EQ(out[8 + 18], 0xFA);
    EXPECT_EQ(out[8 + 23] & 0x80, 0);  // array_completeness 0
}

TEST(Hvcc, ParseFindsTheSetsAndLengthSize) {
    V record = kFfmpegHvccPayload;
    // An SEI array of one short unit, and 2-byte lengths.
    record[22] = 4;
    record.insert(record.end(), {0x27, 0x00, 0x01, 0x00, 0x03, 0x4E, 0x01, 0x80});
    record[21] = (record[21] & 0xFC) | 0x01;
    auto c = parse_hevc_config(record);
    ASSERT_TRUE(c.has_value());
    EXPECT_EQ(c->length_size, 2);
    ASSERT_EQ(c->vps.size(), 1u);
    ASSERT_EQ(c->sps.size(), 1u);
    ASSERT_EQ(c->pps.size(), 1u);
    ASSERT_EQ(c->sei.size(), 1u);
    EXPECT_EQ(V(c->sps[0].begin(), c->sps[0].end()), kSps);
    EXPECT_EQ(V(c->pps[0].begin(), c->pps[0].end()), kPps);
    // Every cut of the record inside its arrays fails.
    for (size_t n : {size_t(0), size_t(22), size_t(24), size_t(30), record.size() - 1}) {
        auto cut = parse_hevc_config(V(record.begin(), record.begin() + long(n)));
        EXPECT_FALSE(cut.has_value()) << n;
    }
}

TEST(Hvc1Entry, VisualFieldsAsFfmpegWritesThemAndTheHvcc) {
    // hevc_frag.mp4's hvc1 fields, compressorname aside (FFmpeg names its
    // encoder there, we leave it empty).
    V ffmpeg_fields(78, 0);
    ffmpeg_fields[7] = 1;                                         // data_reference_index
    ffmpeg_fields[24] = 0x01, ffmpeg_fields[25] = 0x40;          // 320
    ffmpeg_fields[26] = 0x00, ffmpeg_fields[27] = 0xF0;          // 240
    ffmpeg_fields[28] = 0x00, ffmpeg_fields[29] = 0x48;          // 72 dpi
    ffmpeg_fields[32] = 0x00, ffmpeg_fields[33] = 0x48;
    ffmpeg_fields[41] = 0x01;                                    // frame_count
    ffmpeg_fields[74] = 0x00, ffmpeg_fields[75] = 0x18;          // depth
    ffmpeg_fields[76] = 0xFF, ffmpeg_fields[77] = 0xFF;
    for (bool hev1 : {false, true}) {
        Bytes out;
        ByteWriter w{out};
        write_hvc1_entry(w, 320, 240, kVps, kSps, kPps, hev1);
        ASSERT_EQ(out.size(), 8 + 78 + 8 + kFfmpegHvccPayload.size());
        EXPECT_EQ(std::string(out.begin() + 4, out.begin() + 8), hev1 ? "hev1" : "hvc1");
        EXPECT_EQ(V(out.begin() + 8, out.begin() + 86), ffmpeg_fields);
        EXPECT_EQ(std::string(out.begin() + 90, out.begin() + 94), "hvcC");
    }
}

// NAL units as three header bytes: the two of the header and the first
// slice segment byte (its top bit is first_slice_segment_in_pic_flag).
struct AuCase {
    const char* name;
    std::vector<V> nals;
    std::vector<size_t> starts;  // indexes of the units that begin access units
};

class HevcAccessUnits : public ::testing::TestWithParam<AuCase> {};

TEST_P(HevcAccessUnits, NewAccessUnitsBeginWhereTheRuleSays) {
    const AuCase& c = GetParam();
    std::vector<size_t> starts = {0};
    bool after_vcl = false;
    for (size_t i = 0; i < c.nals.size(); ++i) {
        const ByteSpan unit(c.nals[i]);
        if (hevc::starts_access_unit(unit, after_vcl)) {
            starts.push_back(i);
            after_vcl = false;
        }
        auto h = hevc::parse_nal_header(unit);
        ASSERT_TRUE(h.has_value());
        if (hevc::is_vcl(h->type)) after_vcl = true;
    }
    EXPECT_EQ(starts, c.starts);
}

const V kAud = {0x46, 0x01, 0x50}, kVpsH = {0x40, 0x01, 0x0C}, kSpsH = {0x42, 0x01, 0x01}, kPpsH = {0x44, 0x01, 0xC0};
const V kSei = {0x4E, 0x01, 0x05}, kSuffixSei = {0x50, 0x01, 0x05}, kIdr = {0x28, 0x01, 0xAC};
const V kTrailR = {0x02, 0x01, 0xD0}, kTrailN = {0x00, 0x01, 0xE0}, kSecondSegment = {0x02, 0x01, 0x40};
const V kEos = {0x48, 0x01}, kCra = {0x2A, 0x01, 0xAC}, kLayer1Slice = {0x02, 0x09, 0x80};

INSTANTIATE_TEST_SUITE_P(
    Cases, HevcAccessUnits,
    ::testing::Values(
        // The first PES packets of hevc_aac.ts, one access unit each.
        AuCase{"fixture_with_delimiters",
               {kAud, kVpsH, kSpsH, kPpsH, kSei, kIdr, kAud, kTrailR, kAud, kTrailR, kAud, kTrailN},
               {0, 6, 8, 10}},
        AuCase{"no_delimiters",
               {kVpsH, kSpsH, kPpsH, kSei, kIdr, kTrailR, kTrailN, kSei, kTrailN},
               {0, 5, 6, 7}},
        // Later slice segments and suffix SEI stay in their picture; an end
        // of sequence closes it and the next IRAP opens a new one.
        AuCase{"segments_suffix_sei_eos",
               {kIdr, kSecondSegment, kSuffixSei, kTrailR, kSecondSegment, kEos, kCra, kSuffixSei},
               {0, 3, 6}},
        // A picture of layer 1 belongs to its base-layer access unit.
        AuCase{"enhancement_layer", {kIdr, kLayer1Slice, kTrailR, kLayer1Slice}, {0, 2}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(HevcNalHeader, FieldsAndInvalidHeaders) {
    auto h = hevc::parse_nal_header(V{0x42, 0x01});
    ASSERT_TRUE(h.has_value());
    EXPECT_EQ(h->type, hevc::kSps);
    EXPECT_EQ(h->layer_id, 0);
    EXPECT_EQ(h->temporal_id_plus1, 1);
    h = hevc::parse_nal_header(kLayer1Slice);
    EXPECT_EQ(h->layer_id, 1);
    EXPECT_EQ(hevc::parse_nal_header(V{0x02, 0x0B})->temporal_id_plus1, 3);
    EXPECT_FALSE(hevc::parse_nal_header(V{0x42}).has_value());
    EXPECT_FALSE(hevc::parse_nal_header(V{0xC2, 0x01}).has_value());  // forbidden_zero_bit
    EXPECT_FALSE(hevc::parse_nal_header(V{0x42, 0x00}).has_value());  // temporal_id_plus1 0
    EXPECT_TRUE(hevc::is_irap(hevc::nal_type_of(kIdr[0])));
    EXPECT_TRUE(hevc::is_irap(hevc::nal_type_of(kCra[0])));
    EXPECT_FALSE(hevc::is_irap(hevc::nal_type_of(kTrailR[0])));
}

// Syncframe headers: the first of h264_ac3.ts (stereo, 48 kHz, 96 kbit/s),
// the first two of a 44.1 kHz mono AC-3 with -audio_service_type co (their
// frmsizecod alternates 8 and 9 to keep the average rate), the first of
// h264_eac3.ts (5.1 at 96 kbit/s) and of a 32 kHz 2/1 E-AC-3 with
// -audio_service_type vi, whose informational metadata carries bsmod 2.
struct FrameCase {
    const char* name;
    V header;
    bool enhanced;
    uint8_t bsid, fscod, bsmod, acmod;
    bool lfeon;
    uint32_t sample_rate, frame_size;
    uint16_t channels;
    uint32_t bit_rate;  // bits a second
};

class Ac3Frames : public ::testing::TestWithParam<FrameCase> {};

TEST_P(Ac3Frames, HeaderFields) {
    const FrameCase& c = GetParam();
    auto h = ac3::parse_frame_header(c.header);
    ASSERT_TRUE(h.has_value());
    EXPECT_EQ(h->enhanced, c.enhanced);
    EXPECT_EQ(h->bsid, c.bsid);
    EXPECT_EQ(h->fscod, c.fscod);
    EXPECT_EQ(h->bsmod, c.bsmod);
    EXPECT_EQ(h->acmod, c.acmod);
    EXPECT_EQ(h->lfeon, c.lfeon);
    EXPECT_EQ(h->sample_rate, c.sample_rate);
    EXPECT_EQ(h->frame_size, c.frame_size);
    EXPECT_EQ(h->samples, ac3::kSamplesPerFrame);
    EXPECT_EQ(ac3::channel_count(h->acmod, h->lfeon), c.channels);
    EXPECT_EQ(h->bit_rate(), c.bit_rate);  // of this frame: 44.1 kHz frames differ by a word
}

INSTANTIATE_TEST_SUITE_P(
    Ffmpeg, Ac3Frames,
    ::testing::Values(
        FrameCase{"ac3_stereo_48k", {0x0B, 0x77, 0x38, 0x90, 0x0C, 0x40, 0x43, 0xE1, 0x06, 0xF0},
                  false, 8, 0, 0, 2, false, 48000, 384, 2, 96000},
        FrameCase{"ac3_mono_44k_even", {0x0B, 0x77, 0x06, 0x71, 0x48, 0x45, 0x2F, 0x84, 0x2B, 0x51},
                  false, 8, 1, 5, 1, false, 44100, 278, 1, 63853},
        FrameCase{"ac3_mono_44k_odd", {0x0B, 0x77, 0x0B, 0x52, 0x49, 0x45, 0x2F, 0x84, 0x29, 0x52},
                  false, 8, 1, 5, 1, false, 44100, 280, 1, 64312},
        FrameCase{"eac3_51_48k", {0x0B, 0x77, 0x00, 0xBF, 0x3F, 0x87, 0xC0, 0x00, 0x20, 0xF8, 0x20, 0x00},
                  true, 16, 0, 0, 7, true, 48000, 384, 6, 96000},
        FrameCase{"eac3_21_32k_visually_impaired",
                  {0x0B, 0x77, 0x00, 0xBF, 0xB8, 0x87, 0xCA, 0x74, 0x80, 0x00, 0x01, 0x08},
                  true, 16, 2, 2, 4, false, 32000, 384, 3, 64000}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Ac3Frames, RejectsWhatIsNoFrame) {
    const V good = {0x0B, 0x77, 0x38, 0x90, 0x0C, 0x40, 0x43, 0xE1};
    auto with = [&](size_t i, uint8_t v) {
        V b = good;
        b[i] = v;
        return b;
    };
    EXPECT_FALSE(ac3::parse_frame_header(with(1, 0x78)).has_value());  // sync word
    EXPECT_FALSE(ac3::parse_frame_header(with(4, 0xCC)).has_value());  // fscod 3
    EXPECT_FALSE(ac3::parse_frame_header(with(4, 0x26)).has_value());  // frmsizecod 38
    EXPECT_FALSE(ac3::parse_frame_header(with(5, 0x48)).has_value());  // bsid 9
    EXPECT_FALSE(ac3::parse_frame_header(with(5, 0x88)).has_value());  // bsid 17
    EXPECT_FALSE(ac3::parse_frame_header(V(good.begin(), good.begin() + 7)).has_value());
    // E-AC-3 with fscod 3 and fscod2 3, and strmtyp 3.
    EXPECT_FALSE(ac3::parse_frame_header(V{0x0B, 0x77, 0x00, 0xBF, 0xFF, 0x87}).has_value());
    EXPECT_FALSE(ac3::parse_frame_header(V{0x0B, 0x77, 0xC0, 0xBF, 0x3F, 0x87}).has_value());
}

TEST(Ac3Frames, FrameAtNeedsTheWholeFrame) {
    V stream(384 * 2, 0);
    const V header = {0x0B, 0x77, 0x38, 0x90, 0x0C, 0x40, 0x43, 0xE1};
    std::copy(header.begin(), header.end(), stream.begin());
    std::copy(header.begin(), header.end(), stream.begin() + 384);
    EXPECT_EQ(ac3::frame_at(stream, 0), 384u);
    EXPECT_EQ(ac3::frame_at(stream, 384), 384u);
    EXPECT_FALSE(ac3::frame_at(stream, 1).has_value());
    EXPECT_FALSE(ac3::frame_at(ByteSpan(stream).first(384 + 383), 384).has_value());
    EXPECT_FALSE(ac3::frame_at(stream, stream.size()).has_value());
    // Half rates of E-AC-3: fscod 3, fscod2 1 (22.05 kHz), six blocks.
    auto half = ac3::parse_frame_header(V{0x0B, 0x77, 0x00, 0xBF, 0xDE, 0x87, 0xC0, 0x00});
    ASSERT_TRUE(half.has_value());
    EXPECT_EQ(half->sample_rate, 22050u);
    EXPECT_EQ(half->samples, 1536);
    // numblkscod 0: one block of 256 samples.
    EXPECT_EQ(ac3::parse_frame_header(V{0x0B, 0x77, 0x00, 0xBF, 0x0E, 0x87, 0xC0, 0x00})->samples, 256);
}

// The ac-3 and ec-3 entries FFmpeg wrote for h264_ac3.ts and h264_eac3.ts
// (ffmpeg -i x.ts -c copy x.mp4), up to the end of the dac3 / dec3 box
// (FFmpeg adds a btrt box after it).
const V kFfmpegAc3Entry = {0x00, 0x00, 0x00, 0x43, 0x61, 0x63, 0x2D, 0x33, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                           0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x10,
                           0x00, 0x00, 0x00, 0x00, 0xBB, 0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x0B, 0x64, 0x61,
                           0x63, 0x33, 0x10, 0x10, 0xC0};
const V kFfmpegEc3Entry = {0x00, 0x00, 0x00, 0x45, 0x65, 0x63, 0x2D, 0x33, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                           0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x10,
                           0x00, 0x00, 0x00, 0x00, 0xBB, 0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x0D, 0x64, 0x65,
                           0x63, 0x33, 0x03, 0x00, 0x20, 0x0F, 0x00};

V box_of(void (*write)(ByteWriter&)) {
    Bytes out;
    ByteWriter w{out};
    write(w);
    return V(out.begin(), out.end());
}

TEST(Ac3Config, Dac3AsFfmpegWritesIt) {
    // Stereo 96 kbit/s: the whole dac3 equals FFmpeg's.
    static ac3::FrameHeader stereo = *ac3::parse_frame_header(V{0x0B, 0x77, 0x38, 0x90, 0x0C, 0x40, 0x43, 0xE1});
    EXPECT_EQ(box_of([](ByteWriter& w) { ac3::write_dac3_box(w, stereo); }),
              V(kFfmpegAc3Entry.end() - 11, kFfmpegAc3Entry.end()));
    // 44.1 kHz mono commentary (bsmod 5), bit_rate_code 4: FFmpeg's dac3 51 48 80.
    static ac3::FrameHeader mono = *ac3::parse_frame_header(V{0x0B, 0x77, 0x06, 0x71, 0x48, 0x45, 0x2F, 0x84});
    EXPECT_EQ(box_of([](ByteWriter& w) { ac3::write_dac3_box(w, mono); }),
              (V{0, 0, 0, 11, 'd', 'a', 'c', '3', 0x51, 0x48, 0x80}));
    // The whole entry (its size without FFmpeg's btrt); FFmpeg's
    // channelcount is 2 here too.
    V expected = kFfmpegAc3Entry;
    expected[3] = uint8_t(expected.size());
    EXPECT_EQ(box_of([](ByteWriter& w) { write_ac3_entry(w, stereo); }), expected);
}

TEST(Ac3Config, Dec3FromTheFramesAsFfmpegWritesIt) {
    // Three frames of independent substream 0 (h264_eac3.ts): one audio
    // frame each, so the configuration comes from the first alone.
    V frames(384 * 3, 0);
    const V header = {0x0B, 0x77, 0x00, 0xBF, 0x3F, 0x87, 0xC0, 0x00, 0x20, 0xF8, 0x20, 0x00};
    for (size_t i = 0; i < 3; ++i) std::copy(header.begin(), header.end(), frames.begin() + long(i * 384));
    static ac3::Eac3Config config;
    auto c = ac3::eac3_config(frames);
    ASSERT_TRUE(c.has_value());
    config = *c;
    EXPECT_EQ(config.data_rate, 96);
    ASSERT_EQ(config.substreams.size(), 1u);
    EXPECT_EQ(config.channel_count(), 6);
    EXPECT_EQ(config.sample_rate(), 48000u);
    EXPECT_EQ(box_of([](ByteWriter& w) { ac3::write_dec3_box(w, config); }),
              V(kFfmpegEc3Entry.end() - 13, kFfmpegEc3Entry.end()));
    // The entry differs from FFmpeg's in channelcount only: FFmpeg writes 2
    // whatever the layout, we the 6 channels of 3/2 with LFE.
    V expected = kFfmpegEc3Entry;
    expected[3] = uint8_t(expected.size());
    expected[25] = 6;
    EXPECT_EQ(box_of([](ByteWriter& w) { write_ec3_entry(w, config); }), expected);

    // 32 kHz 2/1 at 64 kbit/s with bsmod 2. FFmpeg's dec3 is 02 00 A0 08 00:
    // the same fields but bsmod, which its muxer leaves 0 for E-AC-3 (it
    // does not read the informational metadata); ours carries the 2.
    V vi(384, 0);
    const V vi_header = {0x0B, 0x77, 0x00, 0xBF, 0xB8, 0x87, 0xCA, 0x74, 0x80, 0x00, 0x01, 0x08};
    std::copy(vi_header.begin(), vi_header.end(), vi.begin());
    c = ac3::eac3_config(vi);
    ASSERT_TRUE(c.has_value());
    config = *c;
    EXPECT_EQ(box_of([](ByteWriter& w) { ac3::write_dec3_box(w, config); }),
              (V{0, 0, 0, 13, 'd', 'e', 'c', '3', 0x02, 0x00, 0xA0, 0x28, 0x00}));

    // No configuration without a whole frame of independent substream 0.
    EXPECT_FALSE(ac3::eac3_config(ByteSpan(frames).first(383)).has_value());
    V dependent = frames;
    dependent[2] = 0x40;  // strmtyp 1
    EXPECT_FALSE(ac3::eac3_config(dependent).has_value());
}

TEST(Ac3Config, DependentSubstreamsAddChannels) {
    // Independent substream 0 in 3/2 with LFE, then a dependent substream
    // whose chanmap names Lrs/Rrs (bit 6 from the top): a 7.1 stream.
    V frames(384 + 256, 0);
    const V independent = {0x0B, 0x77, 0x00, 0xBF, 0x3F, 0x87, 0xC0, 0x00};
    // strmtyp 1, substreamid 0, frmsiz 127; fscod 0, six blocks, acmod 7,
    // lfeon 0, bsid 16, dialnorm 31, compre 0, chanmape 1, chanmap 0x0200.
    const V dependent = {0x0B, 0x77, 0x40, 0x7F, 0x3E, 0x87, 0xD0, 0x20, 0x00};
    std::copy(independent.begin(), independent.end(), frames.begin());
    std::copy(dependent.begin(), dependent.end(), frames.begin() + 384);
    auto c = ac3::eac3_config(frames);
    ASSERT_TRUE(c.has_value());
    ASSERT_EQ(c->substreams.size(), 1u);
    EXPECT_EQ(c->substreams[0].num_dep_sub, 1);
    EXPECT_EQ(c->substreams[0].chan_loc, 0x080);
    EXPECT_EQ(c->channel_count(), 8);
    EXPECT_EQ(c->data_rate, 96 + 64);
}

}  // namespace
}  // namespace morvex
