#pragma once
// Message boxes answered by the test: each box is recorded and answered from a script.

#include "platform/message_box.h"

#include <QList>
#include <functional>

namespace doubles {

struct ShownBox {
    QString prompt;
    int style = 0;
    QString title;
};

class ScriptedMessages final : public platform::MessageBoxes {
public:
    QList<ShownBox> shown;
    QList<int> answers;               // answered in order; OK (or Yes for a Yes/No box) when empty
    std::function<void()> whileShown; // runs while a box is "open", e.g. to feed the port

    int MsgBox(const QString& prompt, int style, const QString& title) override {
        shown.append({prompt, style, title});
        if (whileShown)
            whileShown();
        if (!answers.isEmpty())
            return answers.takeFirst();
        return (style & 0x0F) == platform::msgbox::vbYesNo ? platform::msgbox::vbYes
                                                           : platform::msgbox::vbOK;
    }
};

} // namespace doubles
