// Any bytes down the line in continuous mode, in chunks whose size the first byte chooses
// (the mode's chunk is 24 bytes). Each chunk goes through the mode's read and, when the
// weight changed, the record action. Anything but a reading taken over or everything left
// as it was is a finding.

#include "line_rig.h"

#include <QPushButton>

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
    static const bool loaded = [&] {
        // The window never enters this mode by itself: its receive handler is taken off.
        QObject::disconnect(h->MSComm1, &platform::CommControl::OnComm, h.form.get(), nullptr);
        h->YH_LianXv();
        return true;
    }();
    (void)loaded;
    const std::int16_t chunk = static_cast<std::int16_t>(1 + data[0] % 48);
    const char* bytes = reinterpret_cast<const char*>(data + 1);
    std::size_t left = size - 1;
    while (left > 0) {
        const std::size_t n = left < static_cast<std::size_t>(chunk) ? left : chunk;
        fed.received = QByteArray(bytes, static_cast<qsizetype>(n));
        fed.inputLen = chunk;
        const double before = h->Weight_Value;
        h->YH_LianXv_Read();
        if (!h->Change_Flag && h->Weight_Value != before)
            std::abort(); // the weight moved although the frame was not taken over
        if (h->Change_Flag)
            h->Command1_Click();
        fuzz::checkAfterRead(h);
        bytes += n;
        left -= n;
    }
    fuzz::forgetRows(h);
    return 0;
}
