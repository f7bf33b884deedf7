// The entry boxes and the labels that keep centred: the net box follows the tare, and the
// weight display, the status line and the raw-frame line re-centre on every new text.

#include "app/form1.h"
#include "records/text_forms.h"

#include <QLineEdit>

namespace app {

void Form1::Text1_Change(std::int16_t index) {
    if (index != 0)
        return;
    const double tare = records::leadingNumber(Text1[0]->text());
    Text1[2]->setText(records::netText(Weight_Value - tare));
}

void Form1::Label1_Change(std::int16_t index) {
    if (index == 4)
        centre(Label1[4]);
}

void Form1::Label3_Change() {
    centre(Label3);
}

void Form1::Label4_Change() {
    centre(Label4);
}

} // namespace app
