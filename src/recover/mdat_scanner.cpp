#include "recover/mdat_scanner.h"

#include <algorithm>
#include <limits>

#include "codecs/h264_slice.h"
#include "codecs/hevc_slice.h"

namespace morvex {
namespace {

// Layouts tried when none is known: AAC LC in one or two channels at the
// usual rates (48 and 44.1 kHz share one scalefactor band table, 24 and
// 22.05 kHz another, 16 to 11.025 kHz a third, and 32 kHz has its own).
constexpr uint8_t kGuessedRates[] = {3, 5, 6, 8};
constexpr uint8_t kGuessedChannels[] = {2, 1};

struct AudioFound {
    aac::FrameLength length;
    std::optional<aac::RawBlockLayout> layout;  // the one it parses under
};

struct Scanner {
    ByteSpan data;
    const ScanSetup& setup;
    ScanResult out;
    h264::PocState avc_order;
    hevc::PocState hevc_order;
    uint32_t period = 0;

    VideoSample video_at(uint64_t p, const PendingSets* extra = nullptr) const {
        if (!setup.video) return {};
        return parse_video_sample(data, p, *setup.video, out.sets, extra);
    }

    std::optional<aac::RawBlockLayout> layout;  // known, or guessed from a frame taken

    AudioFound audio_at(uint64_t p) const {
        const ByteSpan rest = data.subspan(size_t(p));
        if (layout) return AudioFound{aac::raw_data_block_length(rest, *layout), layout};
        if (!setup.step_over_audio) return {};
        AudioFound best;
        for (uint8_t rate : kGuessedRates)
            for (uint8_t channels : kGuessedChannels) {
                const aac::RawBlockLayout guess{2, rate, channels};
                const aac::FrameLength f = aac::raw_data_block_length(rest, guess);
                if (f.end == aac::FrameEnd::Found) return AudioFound{f, guess};
                if (f.end == aac::FrameEnd::Cut) best = AudioFound{f, guess};
            }
        return best;
    }

    // Whether `depth` elements follow from q, each where the one before
    // ends, or fewer and then the end of the data; with `cut`, also an
    // element that the end of the data cuts (which noise near the end
    // often looks like, so it does not count after noise).
    // `extra`: the parameter sets of the sample before q.
    bool elements_follow(uint64_t q, const PendingSets* extra, int depth, bool cut) const {
        if (depth == 0 || q >= data.size()) return true;
        const VideoSample v = video_at(q, extra);
        if ((cut && v.found == Found::Cut) ||
            (v.found == Found::Sample && elements_follow(v.end, &v.sets, depth - 1, cut)))
            return true;
        const aac::FrameLength a = audio_at(q).length;
        return (cut && a.end == aac::FrameEnd::Cut) ||
               (a.end == aac::FrameEnd::Found && elements_follow(q + a.size, nullptr, depth - 1, cut));
    }

    void take_picture(const VideoSample& v, uint64_t at) {
        const NalCodec codec = setup.video->codec;
        commit_sets(out.sets, codec, v.sets);
        int64_t order = 0;
        bool resets = false;
        if (codec == NalCodec::Avc) {
            resets = v.avc.idr;
            if (const auto& sps = out.sets.avc_sps[v.sps_id]) order = h264::picture_order_count(avc_order, v.avc, *sps);
        } else {
            resets = hevc::resets_order_count(hevc_order, v.hevc.nal_type);
            if (const auto& sps = out.sets.hevc_sps[v.sps_id])
                order = hevc::picture_order_count(hevc_order, v.hevc, *sps);
        }
        if (resets && !out.pictures.empty()) ++period;
        constexpr int64_t lo = std::numeric_limits<int32_t>::min(), hi = std::numeric_limits<int32_t>::max();
        out.pictures.push_back(
            ScannedPicture{at, uint32_t(v.end - at), int32_t(std::clamp(order, lo, hi)), period, v.key});
    }

    void run(uint64_t begin) {
        enum class Kind { None, Video, Audio };
        // How many elements after one must parse for it to be taken: none
        // while each begins where the last ended and is of the same kind;
        // one for the first, and where the kind changes (a chunk of another
        // track begins); two after bytes that were stepped over.
        bool stepped_over = false;
        Kind last = Kind::None;
        auto needed = [&](Kind k) { return stepped_over ? 2 : last != k ? 1 : 0; };
        uint64_t p = begin;
        while (p < data.size()) {
            const VideoSample v = video_at(p);
            const AudioFound found = audio_at(p);
            const aac::FrameLength& a = found.length;
            const bool cut = !stepped_over;
            bool video = v.found == Found::Sample && elements_follow(v.end, &v.sets, needed(Kind::Video), cut);
            const bool audio =
                a.end == aac::FrameEnd::Found && elements_follow(p + a.size, nullptr, needed(Kind::Audio), cut);
            // Both readings hold: the one that goes on parsing further wins,
            // the video on a tie.
            if (video && audio && !elements_follow(v.end, &v.sets, 2, cut) &&
                elements_follow(p + a.size, nullptr, 2, cut))
                video = false;
            if (!video && !audio) {
                stepped_over = true;
                ++p;
                continue;
            }
            if (video) {
                take_picture(v, p);
                p = v.end;
                last = Kind::Video;
            } else {
                if (setup.audio) out.frames.push_back(ScannedFrame{p, uint32_t(a.size)});
                layout = found.layout;
                p += a.size;
                last = Kind::Audio;
            }
            stepped_over = false;
        }
    }
};

}  // namespace

ScanResult scan_media_data(ByteSpan data, uint64_t begin, const ScanSetup& setup) {
    Scanner s{data, setup, ScanResult{{}, {}, setup.sets}, {}, {}, 0, setup.audio};
    s.run(begin);
    return std::move(s.out);
}

}  // namespace morvex
