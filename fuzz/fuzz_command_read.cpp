// Any bytes down the line in command mode, in chunks whose size the first byte chooses; each
// chunk goes through the receive notification: the read, emptying the buffers and the record
// action. Anything but a reading shown, "Load..." in red, or a row recorded is a finding.

#include "line_rig.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::rig()->start(); // the window loaded and shown, as at start-up
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::feedInChunks(data, size, 32, [](support::FormHarness& h) { fuzz::line(h).raise(); });
    return 0;
}
