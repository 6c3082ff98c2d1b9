// The frames of an audio elementary stream, cut as its bytes arrive: AAC in
// ADTS framing (ISO/IEC 13818-7 6.2) or in LATM/LOAS (ISO/IEC 14496-3 1.7),
// MPEG-1/2 audio (ISO/IEC 11172-3 2.4.2.3), and AC-3 / E-AC-3 syncframes
// (ETSI TS 102 366 4.3, E.1.2). A header that fails its fixed fields, or a
// frame that runs past the end of the stream, is stepped over byte by byte;
// a frame whose end has not arrived yet is waited for. A frame that runs
// across a break in the stream (bytes lost at a continuity gap) is dropped,
// and the cut goes on after the break. Fed the same stream in any pieces,
// the cutter finds the same frames.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>

#include "codecs/aac.h"
#include "codecs/ac3.h"
#include "codecs/latm.h"
#include "codecs/mpeg_audio.h"
#include "common/bytes.h"
#include "ts/program.h"

namespace morvex {

// An audio elementary stream: its bytes from position `base` on (those
// before were written and dropped), and the PES that began in it.
struct AudioStream {
    Bytes data;
    uint64_t base = 0;
    std::deque<PesMark> pes;
    uint64_t pes_base = 0;  // the number of pes.front()
    std::deque<uint64_t> breaks;  // positions where bytes were lost
    std::optional<uint64_t> pes_end;  // where the PES being read ends, when its length is given

    uint64_t end() const { return base + data.size(); }
    ByteSpan from(uint64_t pos) const { return ByteSpan(data).subspan(size_t(pos - base)); }
    const PesMark* mark(uint64_t number) const {
        return number != kNoPes && number >= pes_base && number - pes_base < pes.size() ? &pes[size_t(number - pes_base)]
                                                                                        : nullptr;
    }
    // Drops the bytes before `pos` and the PES before number `first_pes`;
    // the storage is given back once half of it is dropped.
    void drop_before(uint64_t pos, uint64_t first_pes);
};

struct AudioConfigs {
    std::optional<aac::AdtsHeader> aac;          // of the first ADTS frame
    std::optional<mpeg_audio::FrameHeader> mpeg;  // of the first MPEG audio frame
    std::optional<ac3::FrameHeader> ac3;          // of the first AC-3 / E-AC-3 syncframe
    std::optional<ac3::Eac3Config> eac3;          // of the first E-AC-3 audio frame
    std::optional<latm::AudioConfig> latm;        // of the first LATM StreamMuxConfig read
};

struct AudioCutter {
    AudioCodec codec = AudioCodec::Aac;
    uint64_t pos = 0;  // the next byte to look at
    uint64_t mark = kNoPes;  // the PES in which `pos` lies
    uint32_t index = 0;      // frames of that PES so far
    std::optional<AudioFrame> held;  // E-AC-3: a frame whose substreams may still follow
    AudioConfigs configs;
    latm::MuxState latm;  // the StreamMuxConfig in force
    uint64_t dropped = 0;  // frames that ran across a break
};

// Cuts the frames the stream's bytes complete; `on_frame(frame)` gets each.
// `final`: the stream ends here. (LATM frames are made byte-aligned in the
// stream's own bytes.)
template <typename F>
void cut_audio_frames(AudioCutter& c, AudioStream& s, bool final, F&& on_frame);

// Whether the first 64 KB of a stream hold frames of `codec`s kind: a frame
// followed by another (or by the stream's end when it is final). Empty
// while the bytes that arrived cannot tell yet.
struct AudioRecogniser {
    uint64_t pos = 0;
    bool dolby = false;  // the PMT names AC-3 / E-AC-3
    bool latm = false;   // the PMT names LATM (stream type 0x11)
};
enum class Recognised { No, Yes, NotYet };
Recognised recognise_audio(AudioRecogniser& r, const AudioStream& s, bool final, AudioCodec* codec);

// ---------------------------------------------------------------------------

// One step of the cutter: Frame (a frame in `*frame`), Skip (one byte
// stepped over), Wait (more bytes are needed) or Done.
enum class CutStep { Frame, Skip, Wait, Done };
CutStep cut_one(AudioCutter& c, AudioStream& s, bool final, AudioFrame* frame);

template <typename F>
void cut_audio_frames(AudioCutter& c, AudioStream& s, bool final, F&& on_frame) {
    for (;;) {
        AudioFrame frame;
        const CutStep step = cut_one(c, s, final, &frame);
        if (step == CutStep::Frame) {
            on_frame(frame);
        } else if (step != CutStep::Skip) {
            break;
        }
    }
    if (final && c.held) {
        if (!c.configs.eac3) c.configs.eac3 = ac3::eac3_config(s.from(c.held->offset));
        on_frame(*c.held);
        c.held.reset();
    }
}

}  // namespace morvex
