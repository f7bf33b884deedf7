#pragma once
// The clock and the regional text forms of a date and a time.

#include <QDateTime>
#include <QLocale>
#include <QString>

namespace platform {

class Clock {
public:
    virtual ~Clock() = default;
    virtual QDateTime now() const = 0;
    // The regional short date, e.g. 2026/12/7 for zh_CN.
    virtual QString dateText(const QDate& date) const = 0;
    // The regional time with hours, minutes and seconds and no time zone.
    virtual QString timeText(const QTime& time) const = 0;
};

// Text forms of a given locale; the clock itself is left to subclasses.
class LocaleClock : public Clock {
public:
    explicit LocaleClock(QLocale locale) : m_locale(std::move(locale)) {}
    QString dateText(const QDate& date) const override;
    QString timeText(const QTime& time) const override;

private:
    QLocale m_locale;
};

// The host's local time and its regional settings.
class SystemClock final : public LocaleClock {
public:
    SystemClock() : LocaleClock(QLocale::system()) {}
    QDateTime now() const override { return QDateTime::currentDateTime(); }
};

} // namespace platform
