// The indicator's continuous mode: the port set up for streamed frames, and one chunk's
// first frame taken over into the weight, the display, the record button and the net box.
// Nothing in the window switches to this mode; the receive event stays with command mode.

#include "app/form1.h"
#include "link/readers.h"
#include "platform/failure.h"

#include <QPushButton>

namespace app {

void Form1::YH_LianXv() {
    if (!setUpPortForFrames(indicator::kContinuousFrameLen))
        Command1->setEnabled(false);
}

void Form1::YH_LianXv_Read() {
    QByteArray chunk;
    try {
        chunk = MSComm1->input();
    } catch (const platform::Failure&) {
        return; // nothing read: the stored frame, the weight and the display stay
    }
    Label3->setCaption(QString());
    const indicator::ContinuousOutcome outcome = indicator::ContinuousReader(Recv_Buf).read(chunk);
    Change_Flag = outcome.changed;
    // The raw-frame line grows byte by byte, re-centring with every byte.
    QString raw;
    for (const char c : outcome.stored) {
        raw += QLatin1Char(' ') + QString::number(static_cast<std::uint8_t>(c));
        Label3->setCaption(raw);
    }
    showReading(outcome);
    if (outcome.reading) {
        Command1->setEnabled(true);
        Text1_Change(0);
    }
}

} // namespace app
