// The indicator's command mode: one query at start-up, and every frame that arrives parsed
// as a 14-byte reply into the weight, the big display and the status line.

#include "app/form1.h"
#include "platform/failure.h"

#include <cmath>

namespace app {

void Form1::YH_ZhiLing() {
    try {
        MSComm1->setInputMode(1);
        Frame_Len = indicator::kCommandFrameLen;
        MSComm1->setInputLen(Frame_Len);
        MSComm1->setRThreshold(Frame_Len);
        MSComm1->setInBufferCount(0);
        MSComm1->setOutBufferCount(0);
    } catch (const platform::Failure&) {
        showNoReading();
    }
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
    try {
        const QByteArray chunk = MSComm1->input();
        Change_Flag = false;
        if (!indicator::scanCommandReply(Recv_Buf, chunk, Change_Flag))
            throw platform::Failure("reply frame longer than the receive buffer");
        if (!indicator::commandCheckPasses(Recv_Buf)) {
            showNoReading();
            return;
        }
        if (Change_Flag) {
            const std::optional<std::int32_t> n = indicator::commandDigits(Recv_Buf);
            if (!n)
                throw platform::Failure("weight digits out of range");
            const int decimals = Recv_Buf[10] - 48;
            Weight_Value = *n / std::pow(10.0, decimals);
            if (const std::optional<QString> text = indicator::weightText(Weight_Value, decimals))
                Label1[4]->setCaption(*text);
            if (Recv_Buf[3] == '-')
                Label1[4]->setCaption(QStringLiteral("-") + Label1[4]->caption());
            Label4->setCaption(QStringLiteral("数据接收正常！"));
        }
        Label1[4]->setForeColor(kColorGreen);
    } catch (const platform::Failure&) {
        showNoReading();
    }
}

} // namespace app
