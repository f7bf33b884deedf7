// The indicator's command mode: one query at start-up, and every frame that arrives parsed
// as a 14-byte reply into the weight, the big display and the status line.

#include "app/form1.h"
#include "link/readers.h"
#include "platform/failure.h"

namespace app {

void Form1::YH_ZhiLing() {
    setUpPortForFrames(indicator::kCommandFrameLen);
}

void Form1::YH_ZhiLing_Send() {
    try {
        Send_Buf = indicator::commandQuery();
        MSComm1->output(QByteArray(reinterpret_cast<const char*>(Send_Buf.data()),
                                   static_cast<qsizetype>(Send_Buf.size())));
    } catch (const platform::Failure&) {
        // A failed send is silent; no later step sends the query again.
    }
}

void Form1::MSComm1_OnComm() {
    if (MSComm1->commEvent() == platform::CommControl::comEvReceive)
        YH_ZhiLing_Read();
    MSComm1->setInBufferCount(0);
    MSComm1->setOutBufferCount(0);
    Command1_Click();
}

void Form1::YH_ZhiLing_Read() {
    QByteArray chunk;
    try {
        chunk = MSComm1->input();
    } catch (const platform::Failure&) {
        showNoReading();
        return;
    }
    const indicator::ReadOutcome outcome =
        indicator::CommandReader(Recv_Buf).read(chunk, Label1[4]->caption());
    Change_Flag = outcome.changed;
    showReading(outcome);
}

bool Form1::setUpPortForFrames(std::int16_t frameLength) {
    try {
        MSComm1->setInputMode(1);
        Frame_Len = frameLength;
        MSComm1->setInputLen(Frame_Len);
        MSComm1->setRThreshold(Frame_Len);
        MSComm1->setInBufferCount(0);
        MSComm1->setOutBufferCount(0);
        return true;
    } catch (const platform::Failure&) {
        showNoReading();
        return false;
    }
}

void Form1::showReading(const indicator::ReadOutcome& outcome) {
    if (outcome.weight)
        Weight_Value = *outcome.weight;
    if (outcome.display)
        Label1[4]->setCaption(*outcome.display);
    if (outcome.status)
        Label4->setCaption(*outcome.status);
    Label1[4]->setForeColor(outcome.color);
}

} // namespace app
