// MPEG-2 transport stream demultiplexer (ITU-T H.222.0): 188-byte packets,
// the PAT and PMT of the first programme, and the PES of its first video and
// first audio stream.
#pragma once

#include "common/bytes.h"
#include "common/error.h"
#include "ts/program.h"

namespace morvex {

// Demultiplexes a whole transport stream; fails only without any sync byte.
Result<TsProgram> demux_ts(ByteSpan data);

// Cuts the ADTS frames of an audio elementary stream in one pass: a header
// that fails its fixed fields, or a frame that runs past the end of the
// stream, is stepped over byte by byte.
void cut_adts_frames(TsProgram& program);

}  // namespace morvex
