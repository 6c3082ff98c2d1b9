// MPEG-2 transport stream demultiplexer (ITU-T H.222.0): packets, the PAT
// and PMT of the first programme, and the PES of its first H.264 or HEVC
// video stream and of its first audio stream that holds AAC (ADTS), MPEG
// audio, AC-3 or E-AC-3.
#pragma once

#include <string>

#include "common/bytes.h"
#include "common/error.h"
#include "ts/program.h"

namespace morvex {

// Whether a PMT stream type is video the module carries: H.264 (0x1B),
// HEVC (0x24), and MPEG-2 video (0x02), whose stream is read as H.264.
bool is_carried_video(uint8_t stream_type);

// Demultiplexes a whole transport stream; fails only without any sync byte.
Result<TsProgram> demux_ts(ByteSpan data);

// Cuts the frames (ADTS, MPEG audio, or AC-3 / E-AC-3 syncframes) of the
// audio elementary stream in one pass: a header that fails its fixed
// fields, or a frame that runs past the end of the stream, is stepped over
// byte by byte.
void cut_adts_frames(TsProgram& program);

// "Unsupported video stream type 0x33 (VVC)" and the like.
std::string unsupported_video_message(uint8_t stream_type);

}  // namespace morvex
