#include "fmp4_processor/fmp4_processor.h"

namespace morvex {

Result<Bytes> process_segment(FragmentedMP4Processor&, ByteSpan) {
    return fail(ErrorKind::NotImplemented, "process_segment is not available yet");
}

}  // namespace morvex
