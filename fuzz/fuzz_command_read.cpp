// Any bytes down the line in command mode. The first byte chooses how many bytes one
// notification hands over (the port's input length); the rest arrive in such chunks, each
// taken through the receive notification: the read, emptying the buffers and the record
// action. Anything but a reading shown, "Load..." in red, or a row recorded is a finding.

#include "line_rig.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::rig()->start(); // the window loaded and shown, as at start-up
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    support::FormHarness& h = fuzz::rig();
    doubles::FakeCommControl& fed = fuzz::line(h);
    const std::int16_t chunk = static_cast<std::int16_t>(1 + data[0] % 32);
    const char* bytes = reinterpret_cast<const char*>(data + 1);
    std::size_t left = size - 1;
    while (left > 0) {
        const std::size_t n = left < static_cast<std::size_t>(chunk) ? left : chunk;
        fed.received = QByteArray(bytes, static_cast<qsizetype>(n));
        fed.inputLen = chunk;
        fed.raise();
        fuzz::checkAfterRead(h);
        bytes += n;
        left -= n;
    }
    fuzz::forgetRows(h);
    return 0;
}
