// The indicator's continuous mode: the port set up for streamed frames, and one chunk's
// first frame taken over into the weight, the display, the record button and the net box.
// Nothing in the window switches to this mode; the receive event stays with command mode.

#include "app/form1.h"
#include "platform/failure.h"

#include <QPushButton>

#include <cmath>

namespace app {

void Form1::YH_LianXv() {
    try {
        MSComm1->setInputMode(1);
        Frame_Len = indicator::kContinuousFrameLen;
        MSComm1->setInputLen(Frame_Len);
        MSComm1->setRThreshold(Frame_Len);
        MSComm1->setInBufferCount(0);
        MSComm1->setOutBufferCount(0);
    } catch (const platform::Failure&) {
        showNoReading();
        Command1->setEnabled(false);
    }
}

void Form1::YH_LianXv_Read() {
    QByteArray chunk;
    try {
        chunk = MSComm1->input();
    } catch (const platform::Failure&) {
        return; // nothing read: the stored frame, the weight and the display stay
    }
    Label3->setCaption(QString());
    const indicator::ContinuousScan scan = indicator::scanContinuousChunk(Recv_Buf, chunk);
    Change_Flag = scan.changed;
    // The raw-frame line grows byte by byte, re-centring with every byte.
    QString raw;
    for (const char c : scan.stored) {
        raw += QLatin1Char(' ') + QString::number(static_cast<std::uint8_t>(c));
        Label3->setCaption(raw);
    }
    if (Change_Flag) {
        if (const std::optional<indicator::ContinuousReading> r =
                indicator::continuousReading(Recv_Buf)) {
            Weight_Value = r->counts / std::pow(10.0, r->decimals);
            // A decimal-places digit outside 0 to 4 leaves the display's text as it was.
            if (const std::optional<QString> text = indicator::weightText(Weight_Value, r->decimals))
                Label1[4]->setCaption(r->negative ? QStringLiteral("-") + *text : *text);
            Command1->setEnabled(true);
            Text1_Change(0);
        } else {
            // Not a reading: the weight and everything shown from it stay as they were.
            Change_Flag = false;
        }
    }
    Label1[4]->setForeColor(kColorGreen);
}

} // namespace app
