#pragma once
// The window for the line fuzz targets: one Form1 on a fed serial-port control, built once
// per process under the offscreen platform, message boxes answered at once.

#include "doubles/fake_comm_control.h"
#include "support/form_harness.h"

#include "link/readers.h"

#include <QApplication>
#include <QRegularExpression>

#include <cmath>
#include <cstddef>
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

// The big display holds "Load..." or a weight text ("-5318176kg", "2282.5744kg"), each with
// any number of "-" in front: a changed negative frame whose decimals byte shows no text puts
// one more "-" before whatever is shown. So one read may lengthen it by one character at most.
inline bool displayIsSound(const QString& now, const QString& before) {
    static const QRegularExpression shown(
        QStringLiteral("^-*(Load\\.\\.\\.|[0-9]{1,8}(\\.[0-9]{1,4})?kg)$"));
    if (!shown.match(now).hasMatch())
        return false;
    return now.size() <= 16 || now.size() <= before.size() + 1;
}

// What must hold after any read, whatever came down the line.
inline void checkAfterRead(support::FormHarness& h, const QString& displayBefore) {
    if (!std::isfinite(h->Weight_Value))
        std::abort();
    if (!displayIsSound(h.display(), displayBefore))
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
    if (h.display().size() > 64) // the signs a long run puts in front
        h->Label1[4]->setCaption(indicator::noReadingText());
}

// Feeds one fuzz input down the line: its first byte chooses how many bytes one read hands
// over (1 to `largest`, the port's input length), the rest arrive in such chunks, and
// `read` takes each one as a notification would.
template <typename Read>
void feedInChunks(const std::uint8_t* data, std::size_t size, int largest, Read read) {
    if (size == 0)
        return;
    support::FormHarness& h = rig();
    doubles::FakeCommControl& fed = line(h);
    const auto chunk = static_cast<std::int16_t>(1 + data[0] % largest);
    const char* bytes = reinterpret_cast<const char*>(data + 1);
    std::size_t left = size - 1;
    while (left > 0) {
        const std::size_t n = left < static_cast<std::size_t>(chunk) ? left : chunk;
        fed.received = QByteArray(bytes, static_cast<qsizetype>(n));
        fed.inputLen = chunk;
        const QString before = h.display();
        read(h);
        checkAfterRead(h, before);
        bytes += n;
        left -= n;
    }
    forgetRows(h);
}

} // namespace fuzz
