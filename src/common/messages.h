// Every message the core reports to its callers. The texts are part of the
// module's interface (callers match on them), so they live here, in one
// place, and are never reworded.
#pragma once

#include <cstdint>
#include <string>

namespace morvex::msg {

// Box structure (ISO/IEC 14496-12 4.2).
inline constexpr const char* kNotEnoughData = "Not enough data";
inline constexpr const char* kInvalidBoxSize = "Invalid box size";
inline constexpr const char* kFullBoxHeader = "Not enough data for FullBox header";
inline std::string box_exceeds_data(uint64_t size) {
    return "Box size " + std::to_string(size) + " exceeds available data";
}
inline std::string time_header_short(const char* box, unsigned version, size_t have, size_t need) {
    return std::string(box) + " version " + std::to_string(version) + " payload of " + std::to_string(have) +
           " bytes is shorter than its " + std::to_string(need) + " bytes of fields";
}
inline std::string box_not_found(const std::string& quoted_type) { return "Box " + quoted_type + " not found"; }
inline std::string box_not_found_in_container(const std::string& quoted_type) {
    return "Box " + quoted_type + " not found in container";
}

// MP4 rewriting.
inline constexpr const char* kMoovNotFound = "moov box not found";
inline constexpr const char* kNotFragmented = "Not a fragmented MP4";
inline constexpr const char* kNoTracksToMux = "합칠 트랙이 없음";
inline constexpr const char* kNoTrakInTemplate = "템플릿 moov 에 trak 이 없어 트랙을 배치할 수 없음";
inline std::string duplicate_track_id(uint32_t id) { return "track_id " + std::to_string(id) + " 가 중복됨"; }
inline std::string trun_count_too_large(uint64_t count, uint64_t file_size) {
    return "trun sample count " + std::to_string(count) + " exceeds what a file of " + std::to_string(file_size) +
           " bytes can hold";
}
inline std::string too_many_samples(uint64_t limit) {
    return "Sample count exceeds the " + std::to_string(limit) + " samples the file can describe";
}
inline std::string sample_bytes_exceed_file(uint64_t file_size) {
    return "Sample data exceeds the " + std::to_string(file_size) + " bytes of the file";
}
inline std::string no_trak_for_track(uint32_t id) { return "track_id " + std::to_string(id) + " 에 해당하는 trak 없음"; }
inline std::string no_sample_description(uint32_t track_id) {
    return "track_id " + std::to_string(track_id) + " has no sample description";
}
inline std::string encryption_not_carried(uint32_t track_id, const std::string& quoted_scheme) {
    return "track_id " + std::to_string(track_id) + " is encrypted with scheme " + quoted_scheme +
           " and its sample auxiliary information cannot be carried";
}
inline std::string no_samples_readable(uint32_t track_id) {
    return "track_id " + std::to_string(track_id) + " has no samples that can be read";
}

// Recovery of recordings cut short.
inline constexpr const char* kNothingToRecover = "No moov or mdat box found: nothing to recover";
inline constexpr const char* kNoSamplesRecovered = "No samples could be recovered from the media data";
inline constexpr const char* kReferenceNeeded =
    "The moov box is missing and the media data carries no parameter sets: a reference file from the same "
    "recorder is needed";
inline constexpr const char* kReferenceWithoutMoov = "The reference file has no moov box";
inline constexpr const char* kReferenceWithoutTracks = "The reference file has no H.264, HEVC or AAC track";

// Sample tables (ISO/IEC 14496-12 8.6, 8.7).
inline constexpr const char* kInvalidStsz = "Invalid stsz box";
inline constexpr const char* kNoSampleSizes = "Invalid stsz box - no sample sizes";
inline constexpr const char* kInvalidStz2 = "Invalid stz2 box";
inline constexpr const char* kInvalidStsc = "Invalid stsc box";
inline constexpr const char* kInvalidStss = "Invalid stss box";
inline constexpr const char* kNoSyncSample = "No sync sample in video track";
inline constexpr const char* kNoPictureInKeyFrame = "The key frame sample holds no coded picture";
inline std::string encrypted_key_frame(const std::string& quoted_scheme) {
    return "The video track is encrypted with scheme " + quoted_scheme + ": its key frame cannot be read";
}
inline constexpr const char* kNoChunkOffsetBox = "No chunk offset box (stco or co64) in video track";
inline constexpr const char* kSampleOutsideInput = "Sample offset lies outside the input";
inline constexpr const char* kSampleExceedsMdat = "Sample size exceeds mdat bounds";
inline constexpr const char* kInvalidMdat = "Invalid mdat box";
inline std::string sample_offset_outside(uint64_t offset) {
    return "Sample offset " + std::to_string(offset) + " lies outside the input";
}
inline std::string chunk_not_found(uint64_t chunk) {
    return "Chunk " + std::to_string(chunk) + " not found in chunk offset box";
}
inline std::string sample_not_in_stsc(uint64_t number) {
    return "Sample " + std::to_string(number) + " not found in stsc box";
}

// Codecs.
inline constexpr const char* kInvalidAvcC = "Invalid avcC box";
inline constexpr const char* kInvalidHvcC = "Invalid hvcC box";
inline constexpr const char* kNoVideoTrack = "No video track found";
inline constexpr const char* kNoIdr = "No I-frame found in video stream";

// Packaging for HLS and DASH.
inline constexpr const char* kNoMediaToPackage = "Nothing to package: no video or audio track";
inline constexpr const char* kSegmentDuration = "segment_duration must be a positive number of seconds";
inline std::string segments_not_indexed(uint32_t track_id, size_t segments) {
    return "track_id " + std::to_string(track_id) + ": its " + std::to_string(segments) +
           " segments cannot be indexed in one sidx (at most 65535, each under 2 GiB and 2^32 ticks); use a longer "
           "segment_duration or no byte ranges";
}

// Transport streams.
inline constexpr const char* kNoSync = "No valid TS sync byte found";
inline constexpr const char* kNoVideo = "No video data found";

}  // namespace morvex::msg
