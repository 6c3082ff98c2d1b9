// libFuzzer target: the media data scanner of recovery and the AAC length
// parser it uses. The input is an avcC or hvcC record and media data
// (split at a word taken off the end), and three choice bytes at the very
// end: video on, HEVC, the NAL length size, audio on; the AAC sampling
// frequency index and channel configuration; its object type. Samples
// found lie inside the data, in order, without overlapping; an AAC frame
// is as long alone as with the bytes after it; composition offsets are
// not negative.
#include <vector>

#include "codecs/aac_raw_block.h"
#include "codecs/avc_config.h"
#include "codecs/hvcc.h"
#include "fuzz_input.h"
#include "recover/mdat_scanner.h"
#include "recover/picture_order.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace morvex;
    fuzz::Input in{{data, size}};
    const uint8_t what = in.take_byte(), rate = in.take_byte(), type = in.take_byte();
    const auto [record, media] = in.split();
    ScanSetup setup;
    if (what & 1) {
        const NalCodec codec = (what & 2) ? NalCodec::Hevc : NalCodec::Avc;
        const uint8_t lengths[4] = {4, 2, 1, 4};
        setup.video = VideoFormat{codec, lengths[(what >> 2) & 3]};
        if (codec == NalCodec::Avc) {
            if (auto c = parse_avc_config(record))
                for (const auto* list : {&c->sps, &c->pps})
                    for (ByteSpan s : *list) if (!s.empty()) setup.sets.add(codec, s);
        } else if (auto c = parse_hevc_config(record)) {
            for (const auto* list : {&c->vps, &c->sps, &c->pps})
                for (ByteSpan s : *list) if (s.size() >= 2) setup.sets.add(codec, s);
        }
    }
    const aac::RawBlockLayout layout{uint8_t(type % 4 + 1), uint8_t((rate & 15) % 13), uint8_t((rate >> 4) & 7)};
    if (what & 16) setup.audio = layout;
    setup.step_over_audio = (what & 32) != 0;

    // A frame's length does not depend on the bytes after it.
    const aac::FrameLength first = aac::raw_data_block_length(media, layout);
    if (first.end == aac::FrameEnd::Found) {
        if (first.size == 0 || first.size > media.size() || first.size > aac::kMaxFrameBytes) __builtin_trap();
        const aac::FrameLength alone = aac::raw_data_block_length(media.first(first.size), layout);
        if (alone.end != aac::FrameEnd::Found || alone.size != first.size) __builtin_trap();
    }

    const ScanResult scan = scan_media_data(media, 0, setup);
    if (!setup.audio && !scan.frames.empty()) __builtin_trap();
    // Pictures and frames, merged by offset, follow one another.
    size_t p = 0, f = 0;
    uint64_t end = 0;
    while (p < scan.pictures.size() || f < scan.frames.size()) {
        const bool picture = f == scan.frames.size() ||
                             (p < scan.pictures.size() && scan.pictures[p].offset < scan.frames[f].offset);
        const uint64_t at = picture ? scan.pictures[p].offset : scan.frames[f].offset;
        const uint32_t n = picture ? scan.pictures[p].size : scan.frames[f].size;
        if (at < end || n == 0 || at + n > media.size()) __builtin_trap();
        if (!picture) {
            const aac::FrameLength alone = aac::raw_data_block_length(media.subspan(size_t(at), n), layout);
            if (alone.end != aac::FrameEnd::Found || alone.size != n) __builtin_trap();
        }
        end = at + n;
        picture ? ++p : ++f;
    }
    std::vector<Sample> samples(scan.pictures.size());
    order_pictures(scan.pictures, 1000, samples);
    for (const auto& s : samples)
        if (s.composition_offset < 0) __builtin_trap();
    return 0;
}
