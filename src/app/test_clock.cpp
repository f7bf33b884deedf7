// The clock of the program's test build: the host's time moved by a number of seconds that a
// test writes into the file "test-clock-offset" in the program's folder and may change while
// the program runs (to cross an hour boundary at a chosen moment, or to jump over one).
// Only weighbridge_testport is built with it.

#include "app/program_clock.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace app {
namespace {

class OffsetClock final : public platform::LocaleClock {
public:
    explicit OffsetClock(const QString& folder)
        : LocaleClock(QLocale::system()),
          m_path(QDir(folder).filePath(QStringLiteral("test-clock-offset"))) {}

    QDateTime now() const override {
        const QFileInfo info(m_path);
        const QDateTime changed = info.exists() ? info.lastModified() : QDateTime();
        if (changed != m_changed || info.size() != m_size) {
            m_changed = changed;
            m_size = info.size();
            QFile f(m_path);
            m_offsetMs = f.open(QIODevice::ReadOnly)
                             ? static_cast<qint64>(f.readAll().trimmed().toDouble() * 1000)
                             : 0;
        }
        return QDateTime::currentDateTime().addMSecs(m_offsetMs);
    }

private:
    QString m_path;
    mutable QDateTime m_changed;
    mutable qint64 m_size = -1;
    mutable qint64 m_offsetMs = 0;
};

} // namespace

std::unique_ptr<platform::Clock> programClock(const QString& programFolder) {
    return std::make_unique<OffsetClock>(programFolder);
}

} // namespace app
