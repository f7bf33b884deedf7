#pragma once
// The window for the line fuzz targets: one Form1 on a fed serial-port control, built once
// per process under the offscreen platform, message boxes answered at once.

#include "doubles/fake_comm_control.h"
#include "support/form_harness.h"

#include <QApplication>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <memory>

namespace fuzz {

// Built on first use; the targets call it from LLVMFuzzerInitialize so that the one-time
// allocations of Qt and the window happen before the first input.
inline support::FormHarness& rig() {
    static QApplication* app = [] {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        static int argc = 1;
        static char name[] = "fuzz";
        static char* argv[] = {name, nullptr};
        return new QApplication(argc, argv);
    }();
    (void)app;
    static auto* fed = new doubles::FakeCommControl;
    static auto* h = new support::FormHarness(std::unique_ptr<platform::CommControl>(fed));
    return *h;
}

inline doubles::FakeCommControl& line(support::FormHarness& h) {
    return static_cast<doubles::FakeCommControl&>(*h->MSComm1);
}

// What must hold after any read, whatever came down the line.
inline void checkAfterRead(support::FormHarness& h) {
    if (!std::isfinite(h->Weight_Value))
        std::abort();
    if (h.display().size() > 16) // "Load..." or a signed reading of six digits and a point
        std::abort();
    if (h->Rec_Count < 0 || h->Rec_Count > 10000)
        std::abort();
}

// Keeps one process's state bounded over millions of inputs: the rows a run records are
// dropped before the store fills; the boxes shown and the port's call log are forgotten.
inline void forgetRows(support::FormHarness& h) {
    if (h->Rec_Count > 1000)
        h->Rec_Count = 0;
    h.messages->shown.clear();
    line(h).calls.clear();
    line(h).sent.clear();
}

} // namespace fuzz
