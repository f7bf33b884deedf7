// What the platform layer shows or picks on this host: the toolkit's own texts in the
// desktop's language, every reason and system error in Chinese, and the device of port 1.

#include "doubles/fake_clock.h"
#include "platform/com1_device.h"
#include "platform/translations.h"
#include "support/test_classes.h"
#include "workbook/reasons.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTranslator>

#include <cerrno>

namespace {

// The Latin words of a text, except those an operator may meet: file name extensions and
// the unit. A word is a run of two or more ASCII letters.
QStringList latinWords(const QString& text) {
    static const QStringList allowed{QStringLiteral("xls"), QStringLiteral("xlsx"),
                                     QStringLiteral("kg")};
    QStringList words;
    QString word;
    for (const QChar c : text + u' ') {
        if (c.unicode() < 0x80 && c.isLetter()) {
            word += c;
            continue;
        }
        if (word.size() >= 2 && !allowed.contains(word))
            words << word;
        word.clear();
    }
    return words;
}

// A reason's text with its particulars filled in as an operator would see them.
QString filled(QString text) {
    for (int n = 1; n <= 9; ++n)
        text.replace(QStringLiteral("%%1").arg(n), QStringLiteral("二"));
    return text;
}

} // namespace

class TestPlatformTexts : public QObject {
    Q_OBJECT

private slots:
    // Every reason of the table and every system error, for reads and writes: Chinese,
    // without Latin words.
    void reasonsAreChinese() {
        QSet<QString> seen;
        for (const workbook::ReasonEntry& entry : workbook::reasonTable()) {
            const QString text = workbook::reasonText(entry.reason);
            QVERIFY2(!text.isEmpty(), "a reason without a text");
            QVERIFY2(latinWords(filled(text)).isEmpty(), qPrintable(text));
        }
        for (int error = 1; error < 134; ++error) {
            for (const bool writing : {true, false}) {
                const QString text = workbook::systemErrorText(error, writing);
                QVERIFY2(!text.isEmpty() && latinWords(text).isEmpty(),
                         qPrintable(QStringLiteral("%1: %2").arg(error).arg(text)));
                seen.insert(text);
            }
        }
        // Distinct causes stay distinct for the operator; an unknown one keeps its number.
        QVERIFY(seen.size() > 100);
        QVERIFY(workbook::systemErrorText(4242).contains(u"4242"));
    }

    void systemErrors_data() {
        QTest::addColumn<int>("error");
        QTest::addColumn<bool>("writing");
        QTest::addColumn<QString>("text");
        QTest::newRow("disk full") << ENOSPC << true << QStringLiteral("磁盘空间已满");
        QTest::newRow("no write permission") << EACCES << true << QStringLiteral("没有写入权限");
        QTest::newRow("no read permission") << EACCES << false << QStringLiteral("没有读取权限");
        QTest::newRow("read-only") << EROFS << true << QStringLiteral("文件系统是只读的");
        QTest::newRow("too large") << EFBIG << true << QStringLiteral("文件太大，超出了允许的大小");
    }
    void systemErrors() {
        QFETCH(int, error);
        QFETCH(bool, writing);
        QFETCH(QString, text);
        QCOMPARE(workbook::systemErrorText(error, writing), text);
    }

    // The toolkit's buttons and the file dialog follow the language whose translation is
    // installed; without one they stay in the toolkit's own English.
    void toolkitTexts_data() {
        QTest::addColumn<QString>("language");
        QTest::addColumn<bool>("installed");
        QTest::addColumn<QString>("yes");
        QTest::addColumn<QString>("ok");
        QTest::newRow("Chinese") << "zh_CN" << true << "是"
                                 << "确定";
        QTest::newRow("German") << "de_DE" << true << "Ja"
                                << "OK";
        QTest::newRow("English") << "en_US" << false << "Yes"
                                 << "OK";
    }
    void toolkitTexts() {
        QFETCH(QString, language);
        QFETCH(bool, installed);
        QFETCH(QString, yes);
        QFETCH(QString, ok);
        QTranslator* translator =
            platform::installToolkitTranslation(*QApplication::instance(), QLocale(language));
        QCOMPARE(translator != nullptr, installed);

        QMessageBox box(QMessageBox::Question, "", "",
                        QMessageBox::Yes | QMessageBox::No | QMessageBox::Ok);
        const auto shown = [&](QMessageBox::StandardButton b) {
            return box.button(b)->text().remove(u'&').remove(QStringLiteral("(Y)"));
        };
        QCOMPARE(shown(QMessageBox::Yes), yes);
        QCOMPARE(shown(QMessageBox::Ok), ok);

        QFileDialog dialog;
        dialog.setOption(QFileDialog::DontUseNativeDialog);
        QStringList captions;
        for (const QLabel* label : dialog.findChildren<QLabel*>())
            if (!label->text().isEmpty())
                captions << label->text();
        QVERIFY(!captions.isEmpty());
        const bool english = captions.contains(QStringLiteral("Look in:"));
        QVERIFY2(english == !installed, qPrintable(captions.join(u'|')));
        if (language == QStringLiteral("zh_CN"))
            for (const QString& caption : captions)
                QVERIFY2(latinWords(caption).isEmpty(), qPrintable(caption));
        if (translator != nullptr) {
            QCoreApplication::removeTranslator(translator);
            delete translator;
        }
    }

    // Port 1 is the stable link whenever it is there, dangling or not, else the build's
    // device; an empty link is never taken.
    void com1Device_data() {
        QTest::addColumn<QString>("link"); // what the link path holds
        QTest::addColumn<bool>("linkTaken");
        QTest::newRow("link to a device") << "link" << true;
        QTest::newRow("device node itself") << "file" << true;
        QTest::newRow("absent") << "absent" << false;
        QTest::newRow("dangling link") << "dangling" << true;
        QTest::newRow("no link configured") << "unset" << false;
    }
    void com1Device() {
        QFETCH(QString, link);
        QFETCH(bool, linkTaken);
        QTemporaryDir dir;
        const QString device = dir.filePath("ttyUSB0");
        const QString path = dir.filePath("weighbridge-com1");
        QFile f(device);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.close();
        if (link == "link")
            QVERIFY(QFile::link(device, path));
        else if (link == "file")
            QVERIFY(QFile::copy(device, path));
        else if (link == "dangling")
            QVERIFY(QFile::link(dir.filePath("ttyUSB1"), path));
        const QString configured = link == "unset" ? QString() : path;
        QCOMPARE(platform::com1Device(configured, "/dev/ttyS0"),
                 linkTaken ? path : QStringLiteral("/dev/ttyS0"));
    }

    // Regional forms: zh_CN has a "/" in its short date and a zone in its long time format.
    void regionalTexts_data() {
        QTest::addColumn<QLocale>("locale");
        QTest::addColumn<QString>("date");
        QTest::addColumn<QString>("time");
        QTest::newRow("zh_CN") << QLocale(QLocale::Chinese, QLocale::China) << "2026/12/7"
                               << "08:04:07";
        QTest::newRow("en_US") << QLocale(QLocale::English, QLocale::UnitedStates) << "12/7/26"
                               << "8:04:07 AM";
        QTest::newRow("de_DE") << QLocale(QLocale::German, QLocale::Germany) << "07.12.26"
                               << "08:04:07";
    }
    void regionalTexts() {
        QFETCH(QLocale, locale);
        QFETCH(QString, date);
        QFETCH(QString, time);
        const doubles::FakeClock clock({}, locale);
        QCOMPARE(clock.dateText(QDate(2026, 12, 7)), date);
        QCOMPARE(clock.timeText(QTime(8, 4, 7)), time);
    }
};

WB_TEST_CLASS(TestPlatformTexts, "tst_platform_texts")
#include "tst_platform_texts.moc"
