#pragma once
// A label that sizes itself to its text and announces every text it is given, positioned
// in twips (15 to a pixel) like the rest of the window.

#include <QLabel>

#include <cstdint>

namespace app {

// Window coordinates are kept in twips; the screen gets whole pixels.
inline constexpr float kTwipsPerPixel = 15.0f;
int twipsToPixels(float twips);

class VbLabel final : public QLabel {
    Q_OBJECT
public:
    explicit VbLabel(QWidget* parent = nullptr);

    // Sets the text, resizes the label to it, then emits Change — also when the text is the
    // one it already had, as the window's re-centring relies on.
    void setCaption(const QString& text);
    QString caption() const { return text(); }

    // The text colour as a 24-bit value with red in the low byte.
    void setForeColor(std::int32_t bgr);
    std::int32_t foreColor() const { return m_foreColor; }

    void setLeftTwips(float left);
    void setTopTwips(float top);
    float leftTwips() const { return m_left; }
    float topTwips() const { return m_top; }
    float widthTwips() const { return static_cast<float>(width()) * kTwipsPerPixel; }
    float heightTwips() const { return static_cast<float>(height()) * kTwipsPerPixel; }

    // A new font size in points; the label resizes to it.
    void setFontSize(double points);

signals:
    void Change();

private:
    float m_left = 0;
    float m_top = 0;
    std::int32_t m_foreColor = 0;
};

} // namespace app
