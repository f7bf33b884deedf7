// Any bytes down the line in continuous mode, in chunks whose size the first byte chooses
// (the mode's chunk is 24 bytes). Each chunk goes through the mode's read and, when the
// weight changed, the record action. Anything but a reading taken over or everything left
// as it was is a finding.

#include "line_rig.h"

#include <QPushButton>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    support::FormHarness& h = fuzz::rig();
    h->start();
    // The window never enters this mode by itself: its receive handler is taken off.
    QObject::disconnect(h->MSComm1, &platform::CommControl::OnComm, h.form.get(), nullptr);
    h->YH_LianXv();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::feedInChunks(data, size, 48, [](support::FormHarness& h) {
        const double before = h->Weight_Value;
        h->YH_LianXv_Read();
        if (!h->Change_Flag && h->Weight_Value != before)
            std::abort(); // the weight moved although the frame was not taken over
        if (h->Change_Flag)
            h->Command1_Click();
    });
    return 0;
}
