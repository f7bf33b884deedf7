#pragma once
// A clock the test sets, with the text forms of a chosen locale (zh_CN unless told).

#include "platform/clock.h"

namespace doubles {

class FakeClock final : public platform::LocaleClock {
public:
    explicit FakeClock(QDateTime t = QDateTime(QDate(2010, 8, 4), QTime(9, 5, 3)),
                       QLocale locale = QLocale(QLocale::Chinese, QLocale::China))
        : LocaleClock(std::move(locale)), time(std::move(t)) {}
    QDateTime now() const override { return time; }
    QDateTime time;
};

} // namespace doubles
