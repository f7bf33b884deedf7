#pragma once
// Modal message boxes: a text, a style value (buttons + icon) and a title in, the answer
// code out.

#include <QString>

class QWidget;

namespace platform {

namespace msgbox {
inline constexpr int vbOKOnly = 0;
inline constexpr int vbYesNo = 4;
inline constexpr int vbCritical = 16;
inline constexpr int vbQuestion = 32;
inline constexpr int vbExclamation = 48;
inline constexpr int vbInformation = 64;
inline constexpr int vbOK = 1;
inline constexpr int vbYes = 6;
inline constexpr int vbNo = 7;
} // namespace msgbox

// The caption of a box that has no title of its own.
inline const QString kApplicationTitle = QStringLiteral("地磅数据记录");

class MessageBoxes {
public:
    virtual ~MessageBoxes() = default;
    // Shows the box and waits for the answer. An empty title shows the application's title.
    virtual int MsgBox(const QString& prompt, int style = msgbox::vbOKOnly,
                       const QString& title = {}) = 0;
};

// Qt message boxes. A Yes/No box has no close button and ignores Escape, so it can only be
// answered with one of its buttons.
class QtMessageBoxes final : public MessageBoxes {
public:
    int MsgBox(const QString& prompt, int style, const QString& title) override;
};

} // namespace platform
