#include "platform/clock.h"

#include <QRegularExpression>

namespace platform {

QString LocaleClock::dateText(const QDate& date) const {
    return m_locale.toString(date, QLocale::ShortFormat).trimmed();
}

QString LocaleClock::timeText(const QTime& time) const {
    // The long format has the seconds; some locales (zh_CN among them) also put the time
    // zone ("t") in it, which a row's time must not carry.
    QString format = m_locale.timeFormat(QLocale::LongFormat);
    static const QRegularExpression zone(QStringLiteral("\\s*t+\\s*"));
    format.replace(zone, QStringLiteral(" "));
    format = format.trimmed();
    if (!format.contains(QLatin1Char('s')))
        format += QStringLiteral(":ss");
    return m_locale.toString(time, format);
}

} // namespace platform
