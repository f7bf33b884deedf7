#include "app/vb_label.h"

#include <cmath>

namespace app {

int twipsToPixels(float twips) {
    return static_cast<int>(std::lround(twips / kTwipsPerPixel));
}

VbLabel::VbLabel(QWidget* parent) : QLabel(parent) {
    setTextFormat(Qt::PlainText);
}

void VbLabel::setCaption(const QString& text) {
    setText(text);
    adjustSize();
    emit Change();
}

void VbLabel::setForeColor(std::int32_t bgr) {
    m_foreColor = bgr;
    QPalette p = palette();
    p.setColor(QPalette::WindowText, QColor(bgr & 0xFF, (bgr >> 8) & 0xFF, (bgr >> 16) & 0xFF));
    setPalette(p);
}

void VbLabel::setLeftTwips(float left) {
    m_left = left;
    move(twipsToPixels(m_left), twipsToPixels(m_top));
}

void VbLabel::setTopTwips(float top) {
    m_top = top;
    move(twipsToPixels(m_left), twipsToPixels(m_top));
}

void VbLabel::setFontSize(double points) {
    QFont f = font();
    f.setPointSizeF(points);
    setFont(f);
    adjustSize();
}

} // namespace app
