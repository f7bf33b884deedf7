// The serial port's lock file read after a failed open: its name for a device, and when it is
// a lock left by an ended program that this account may not remove.

#include "platform/port_lock.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// The number of a process that has ended.
qint64 endedPid() {
    const pid_t child = ::fork();
    if (child == 0)
        ::_exit(0);
    ::waitpid(child, nullptr, 0);
    return child;
}

QString nameOf(uid_t uid) {
    const struct passwd* pw = ::getpwuid(uid);
    return pw ? QString::fromUtf8(pw->pw_name) : QString::number(uid);
}

} // namespace

class TstPortLock : public QObject {
    Q_OBJECT
private slots:
    void lockFileName_data() {
        QTest::addColumn<QString>("device");
        QTest::addColumn<QString>("name");
        QTest::newRow("the package's link") << "/dev/weighbridge-com1"
                                            << "LCK..weighbridge-com1";
        QTest::newRow("a port") << "/dev/ttyS0"
                                << "LCK..ttyS0";
        QTest::newRow("below /dev") << "/dev/serial/by-id/usb-1a86"
                                    << "LCK..serial_by-id_usb-1a86";
        QTest::newRow("outside /dev") << "/tmp/build/test-com1"
                                      << "LCK.._tmp_build_test-com1";
    }
    void lockFileName() {
        QFETCH(QString, device);
        QFETCH(QString, name);
        QCOMPARE(platform::lockFileName(device), name);
    }

    void staleLock_data() {
        QTest::addColumn<QByteArray>("content"); // null: no lock file
        QTest::addColumn<bool>("sticky");
        QTest::addColumn<int>("self"); // 0: this account, 1: another one, 2: the administrator
        QTest::addColumn<bool>("stale");
        const QByteArray ended = QByteArray::number(endedPid());
        const QByteArray running = QByteArray::number(::getpid());
        const QByteArray lock = ended + "\nweighbridge\nhost\n";
        QTest::newRow("ended, another's, sticky folder") << lock << true << 1 << true;
        QTest::newRow("right-aligned number") << ended.rightJustified(10) + "\n"
                                              << true << 1 << true;
        QTest::newRow("no lock") << QByteArray() << true << 1 << false;
        QTest::newRow("its program runs") << running + "\nweighbridge\n" << true << 1 << false;
        QTest::newRow("the first process runs") << QByteArray("1\n") << true << 1 << false;
        QTest::newRow("no number") << QByteArray("weighbridge\n") << true << 1 << false;
        QTest::newRow("zero") << QByteArray("0\n") << true << 1 << false;
        QTest::newRow("negative") << QByteArray("-" + ended + "\n") << true << 1 << false;
        QTest::newRow("past any process number")
            << QByteArray("99999999999\n") << true << 1 << false;
        QTest::newRow("this account's own") << lock << true << 0 << false;
        QTest::newRow("folder without the sticky bit") << lock << false << 1 << false;
        QTest::newRow("the administrator") << lock << true << 2 << false;
    }
    void staleLock() {
        QFETCH(QByteArray, content);
        QFETCH(bool, sticky);
        QFETCH(int, self);
        QFETCH(bool, stale);
        QTemporaryDir dir;
        // The lock folder reached through a link, as /var/lock leads to /run/lock.
        const QString folder = dir.filePath("lock");
        QVERIFY(QDir().mkdir(folder));
        QVERIFY(QFile::link(folder, dir.filePath("var-lock")));
        QCOMPARE(::chmod(QFile::encodeName(folder).constData(), sticky ? 01777 : 0777), 0);
        const QString device = "/dev/weighbridge-com1";
        if (!content.isNull()) {
            QFile f(QDir(folder).filePath("LCK..weighbridge-com1"));
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(content);
        }
        const uid_t owner = ::getuid();
        const uid_t account = self == 0 ? owner : self == 1 ? owner + 1 : 0;
        const QStringList folders{dir.filePath("missing"), dir.filePath("var-lock"), folder};
        const std::optional<platform::StaleLock> found =
            platform::staleLock(device, folders, account);
        QCOMPARE(found.has_value(), stale);
        if (!stale)
            return;
        QCOMPARE(found->path, QDir(folder).canonicalPath() + "/LCK..weighbridge-com1");
        QCOMPARE(found->owner, nameOf(owner));
        QCOMPARE(found->pid, content.trimmed().split('\n')[0].trimmed().toLongLong());
    }
};

QTEST_GUILESS_MAIN(TstPortLock)
#include "tst_port_lock.moc"
