// Video samples found by their own bytes, where no table says where they
// lie: an MP4 sample of H.264 or HEVC is a run of NAL units, each behind a
// big-endian length (ISO/IEC 14496-15 4.3.2), that make one picture (an
// access unit, H.264 7.4.1.2.3, H.265 7.4.2.4.4). A run is taken for a
// sample only when every length fits, every NAL unit header is one a
// stream may carry (forbidden bit 0, a known type, H.264's nal_ref_idc as
// 7.4.1 wants it, HEVC's base layer), and its first slice's header reads
// under the parameter sets it names.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "codecs/h264_slice.h"
#include "codecs/hevc_slice.h"
#include "common/bytes.h"

namespace morvex {

enum class NalCodec { Avc, Hevc };

struct VideoFormat {
    NalCodec codec = NalCodec::Avc;
    uint8_t length_size = 4;  // 1, 2 or 4 bytes (the avcC's or hvcC's lengthSizeMinusOne + 1)
};

// The parameter sets known so far, by id: from the reference's sample
// entry, and those the samples carry in-band.
struct ParameterSetTable {
    std::array<std::optional<h264::Sps>, 32> avc_sps;
    std::array<std::optional<h264::Pps>, 256> avc_pps;
    std::array<std::optional<hevc::Sps>, 16> hevc_sps;
    std::array<std::optional<hevc::Pps>, 64> hevc_pps;
    // The first of each kind met in the samples (positions in the scanned
    // data), for a sample entry made without a reference.
    std::optional<ByteSpan> first_vps, first_sps, first_pps;

    // Adds a VPS, SPS or PPS NAL unit; false when it does not parse.
    bool add(NalCodec codec, ByteSpan nal_unit);
};

// Parameter sets a sample carries, held until the sample is taken.
struct PendingSets {
    static constexpr size_t kMax = 8;
    std::array<ByteSpan, kMax> units;
    size_t count = 0;
};

enum class Found {
    Sample,   // a whole sample
    Cut,      // well formed up to the end of the data
    Invalid,  // not a sample
};

struct VideoSample {
    Found found = Found::Invalid;
    uint64_t end = 0;   // one past its last byte
    bool key = false;   // an IDR picture (HEVC: an IRAP picture)
    h264::SliceHeader avc;  // of its first slice
    hevc::SliceHeader hevc;
    uint32_t sps_id = 0;    // of the SPS its first slice names, through its PPS
    PendingSets sets;       // the parameter sets it carries
};

// The sample that begins at data[pos] under `known` (and parameter sets of
// the sample itself). `extra` are sets of a sample just before, not yet in
// `known`.
VideoSample parse_video_sample(ByteSpan data, uint64_t pos, const VideoFormat& format, const ParameterSetTable& known,
                               const PendingSets* extra = nullptr);

// The codec of the first sequence parameter set that lies in
// data[begin, end) behind a 4-byte length, as samples carry them in-band;
// empty when there is none.
std::optional<NalCodec> find_in_band_codec(ByteSpan data, uint64_t begin);

// Takes the sample's parameter sets into `known`.
void commit_sets(ParameterSetTable& known, NalCodec codec, const PendingSets& sets);

}  // namespace morvex
