// The compound file of our own against libgsf as an independent reader and writer: files we
// make open in libgsf with their stream whole; files libgsf makes (512- and 4096-byte
// sectors, a FAT long enough to need DIFAT sectors) open in ours with every stream kept, and
// our save of such a file edited still opens in libgsf with every other stream as it was. A
// sector held by two owners is damage.

#include "support/compound_tree.h"
#include "workbook/aftercare.h"
#include "workbook/biff_writer.h"
#include "workbook/byte_runs.h"
#include "workbook/compound_file.h"
#include "workbook/editor.h"
#include "workbook/file_io.h"
#include "workbook/readers.h"
#include "workbook/reasons.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <functional>

using namespace workbook;
using Bytes = std::vector<std::uint8_t>;
using State = detail::CompoundFile::State;

namespace {

// Our workbook stream of `rows` rows of one text each.
Bytes ownStream(int rows) {
    Book book;
    Sheet& sheet = book.addSheet(QStringLiteral("sheet1"));
    for (int r = 1; r <= rows; ++r)
        sheet.setText(r, 1, QString::fromUtf8("粤B%1").arg(r));
    return biff::workbookStream(book);
}

Bytes pattern(std::size_t size, unsigned seed) {
    Bytes b(size);
    for (std::size_t i = 0; i < size; ++i)
        b[i] = static_cast<std::uint8_t>((i * 131 + seed * 17 + i / 509) & 0xFF);
    return b;
}

wbtest::CompoundEntry stream(const char* name, Bytes data) {
    wbtest::CompoundEntry e;
    e.name = name;
    e.data = std::move(data);
    return e;
}

// A file as an office program leaves it: the workbook, two small property streams (in the
// mini stream), a storage with a class id and a stream of its own, and `big` more bytes in
// a stream of their own.
wbtest::CompoundEntry officeTree(std::size_t big) {
    wbtest::CompoundEntry root;
    root.storage = true;
    root.classId = {0x20, 0x08, 0x02, 0, 0, 0, 0, 0, 0xC0, 0, 0, 0, 0, 0, 0, 0x46};
    root.children.push_back(stream("Workbook", ownStream(400)));
    root.children.push_back(stream("\x05SummaryInformation", pattern(300, 1)));
    root.children.push_back(stream("\x05"
                                   "DocumentSummaryInformation",
                                   pattern(200, 2)));
    wbtest::CompoundEntry storage;
    storage.name = "_VBA_PROJECT_CUR";
    storage.storage = true;
    storage.classId = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    storage.children.push_back(stream("PROJECT", pattern(5000, 3)));
    root.children.push_back(std::move(storage));
    if (big > 0)
        root.children.push_back(stream("Big", pattern(big, 4)));
    return root;
}

// Where two trees differ, by name path; empty when every name, class id and byte agrees.
QString treeDifference(const wbtest::CompoundEntry& a, const wbtest::CompoundEntry& b,
                       const std::string& skip = {}) {
    if (a.name != b.name || a.storage != b.storage)
        return QString::fromStdString(a.name + " / " + b.name);
    if (!skip.empty() && a.name == skip)
        return {};
    if (a.data != b.data || (a.storage && a.classId != b.classId))
        return QString::fromStdString(a.name);
    if (a.children.size() != b.children.size())
        return QString::fromStdString(a.name + ": children");
    // Each reader lists a storage's children in an order of its own.
    auto sorted = [](std::vector<wbtest::CompoundEntry> c) {
        std::ranges::sort(c, {}, &wbtest::CompoundEntry::name);
        return c;
    };
    const auto x = sorted(a.children);
    const auto y = sorted(b.children);
    for (std::size_t i = 0; i < x.size(); ++i)
        if (QString d = treeDifference(x[i], y[i], skip); !d.isEmpty())
            return d;
    return {};
}

// The FAT and DIFAT sectors the header and the DIFAT list that the FAT does not cover or
// mark as such; empty when there are none.
QString unmarkedTables(const Bytes& file) {
    const auto at = [&](std::size_t offset) { return qFromLittleEndian<quint32>(&file[offset]); };
    const std::size_t size = std::size_t(1) << qFromLittleEndian<quint16>(&file[30]);
    const auto sector = [&](quint32 s) { return size * (std::size_t(s) + 1); };
    const quint32 fats = at(44), per = quint32(size / 4);
    std::vector<quint32> fatIds, difatIds;
    for (quint32 i = 0; i < std::min<quint32>(fats, 109); ++i)
        fatIds.push_back(at(76 + 4 * i));
    for (quint32 next = at(68); fatIds.size() < fats; next = at(sector(next) + size - 4)) {
        difatIds.push_back(next);
        for (quint32 i = 0; i + 1 < per && fatIds.size() < fats; ++i)
            fatIds.push_back(at(sector(next) + 4 * i));
    }
    const auto entry = [&](quint32 s) {
        return s < fats * per ? at(sector(fatIds[s / per]) + 4 * (s % per)) : 0;
    };
    for (const quint32 s : fatIds)
        if (entry(s) != 0xFFFFFFFD)
            return QStringLiteral("FAT sector %1").arg(s);
    for (const quint32 s : difatIds)
        if (entry(s) != 0xFFFFFFFC)
            return QStringLiteral("DIFAT sector %1").arg(s);
    return {};
}

Bytes fileBytes(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    const QByteArray all = f.readAll();
    return {all.begin(), all.end()};
}

void writeBytes(const QString& path, const Bytes& bytes) {
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        f.write(reinterpret_cast<const char*>(bytes.data()), qsizetype(bytes.size())) !=
            qsizetype(bytes.size()))
        qFatal("cannot write %s", qPrintable(path));
}

// The descriptors open in this process, once a replaced file's (closed on the helper thread)
// is.
auto openFiles() {
    workbook::settle();
    return QDir(QStringLiteral("/proc/self/fd")).count();
}

// A libgsf file of 512-byte sectors, read at the level of its sectors.
struct Sectors {
    Bytes& f;
    std::uint32_t at(std::size_t offset) const { return qFromLittleEndian<quint32>(&f[offset]); }
    void put(std::size_t offset, std::uint32_t v) { qToLittleEndian<quint32>(v, &f[offset]); }
    std::size_t sector(std::uint32_t s) const { return (std::size_t(s) + 1) * 512; }
    std::size_t fatEntry(std::uint32_t s) const { return sector(at(76)) + 4 * s; }
    std::uint32_t next(std::uint32_t s) const { return at(fatEntry(s)); }
    // The offset of the directory entry named `name` (ASCII), following the directory chain.
    std::size_t entry(const char* name) const {
        for (std::uint32_t s = at(48); s != 0xFFFFFFFE; s = next(s))
            for (std::size_t e = sector(s); e < sector(s) + 512; e += 128) {
                std::size_t i = 0;
                while (name[i] != 0 && f[e + 2 * i] == std::uint8_t(name[i]) &&
                       f[e + 2 * i + 1] == 0)
                    ++i;
                if (name[i] == 0 && qFromLittleEndian<quint16>(&f[e + 64]) == 2 * (i + 1))
                    return e;
            }
        qFatal("no entry %s", name);
    }
    std::uint32_t start(const char* name) const { return at(entry(name) + 116); }
    std::uint32_t last(const char* name) const {
        std::uint32_t s = start(name);
        while (next(s) != 0xFFFFFFFE)
            s = next(s);
        return s;
    }
};

} // namespace

// What a save writes, tallied by way of the calls that write it: the run written ahead goes
// down positioned (on the helper thread), the rest gathered. Positioned writes fail with EIO
// while `failPositioned` is set.
namespace {
struct WriteTally {
    std::atomic<std::uint64_t> positioned{0}, gathered{0};
    std::atomic<bool> failPositioned{false};
    void reset() {
        positioned = 0;
        gathered = 0;
    }
} tally;

ssize_t positionedWrite(int fd, const void* buf, size_t n, off_t at) {
    if (tally.failPositioned) {
        errno = EIO;
        return -1;
    }
    const auto done = static_cast<ssize_t>(::syscall(SYS_pwrite64, fd, buf, n, at));
    if (done > 0)
        tally.positioned += static_cast<std::uint64_t>(done);
    return done;
}
} // namespace

extern "C" ssize_t pwrite(int fd, const void* buf, size_t n, off_t at) {
    return positionedWrite(fd, buf, n, at);
}
extern "C" ssize_t pwrite64(int fd, const void* buf, size_t n, off_t at) {
    return positionedWrite(fd, buf, n, at);
}
// Positioned reads into [readFault.from, readFault.to) of a file fail with EIO, find its end,
// or come slowly, as `readFault.kind` says.
namespace {
struct ReadFault {
    std::atomic<off_t> from{-1}, to{-1};
    enum Kind { Error, Ends, Slow };
    std::atomic<Kind> kind{Error};
} readFault;

ssize_t positionedRead(int fd, void* buf, size_t n, off_t at) {
    if (at + off_t(n) > readFault.from && at < readFault.to) {
        if (readFault.kind == ReadFault::Ends)
            return 0;
        if (readFault.kind == ReadFault::Error) {
            errno = EIO;
            return -1;
        }
        ::usleep(20000);
    }
    return static_cast<ssize_t>(::syscall(SYS_pread64, fd, buf, n, at));
}
} // namespace

extern "C" ssize_t pread(int fd, void* buf, size_t n, off_t at) {
    return positionedRead(fd, buf, n, at);
}
extern "C" ssize_t pread64(int fd, void* buf, size_t n, off_t at) {
    return positionedRead(fd, buf, n, at);
}
// Writes of changed sectors in place: tallied; those past the header fail while `failPatch`,
// the record of the headers beside the file while `failRecord`, the flush after a header's
// write (512 bytes at the start, alone) while `failHeaderFlush`; the program is cut off (a
// power cut) at a header's write while `cutAtHeader`.
namespace {
std::atomic<std::uint64_t> patched{0};
std::atomic<bool> failPatch{false}, failRecord{false}, failHeaderFlush{false}, cutAtHeader{false};
std::atomic<int> headerWritten{-1};
struct CutOff {};

bool isRecord(int fd) {
    return QFileInfo(QStringLiteral("/proc/self/fd/%1").arg(fd))
        .symLinkTarget()
        .endsWith(QStringLiteral(".weighbridge-saved-header"));
}
} // namespace
extern "C" ssize_t pwritev(int fd, const iovec* iov, int count, off_t at) {
    const bool header = at == 0 && count == 1 && iov[0].iov_len == 512;
    if (cutAtHeader && header)
        throw CutOff{};
    if ((failPatch && at > 0) || (failRecord && isRecord(fd))) {
        errno = ENOSPC;
        return -1;
    }
    if (header)
        headerWritten = fd;
    const auto done = static_cast<ssize_t>(::syscall(SYS_pwritev, fd, iov, count, at, 0));
    if (done > 0)
        patched += static_cast<std::uint64_t>(done);
    return done;
}
extern "C" int fdatasync(int fd) {
    if (failHeaderFlush && headerWritten.exchange(-1) == fd) {
        errno = EIO;
        return -1;
    }
    return static_cast<int>(::syscall(SYS_fdatasync, fd));
}
extern "C" ssize_t writev(int fd, const iovec* iov, int count) {
    const auto done = static_cast<ssize_t>(::syscall(SYS_writev, fd, iov, count));
    if (done > 0)
        tally.gathered += static_cast<std::uint64_t>(done);
    return done;
}

class TestCompoundFile : public QObject {
    Q_OBJECT

private slots:
    void ourFilesOpenInGsf_data();
    void ourFilesOpenInGsf();
    void gsfFilesKeptWhole_data();
    void gsfFilesKeptWhole();
    void sectorsHeldTwice_data();
    void sectorsHeldTwice();
    void runWrittenAhead_data();
    void runWrittenAhead();
    void saveInPlaceKeepsSectors_data();
    void saveInPlaceKeepsSectors();
    void cutHeaderWrittenAgain_data();
    void cutHeaderWrittenAgain();
    void savedAfterTheFirstDirectorySector_data();
    void savedAfterTheFirstDirectorySector();
    void storeWritesWhatChanged_data();
    void storeWritesWhatChanged();
    void workbookReadBehind_data();
    void workbookReadBehind();

private:
    QTemporaryDir m_dir;
};

void TestCompoundFile::ourFilesOpenInGsf_data() {
    QTest::addColumn<int>("rows");
    QTest::addColumn<QString>("streamName");
    QTest::newRow("a workbook in the mini stream") << 3 << QStringLiteral("Workbook");
    QTest::newRow("a workbook in sectors of its own") << 2000 << QStringLiteral("Workbook");
    QTest::newRow("a workbook whose FAT needs DIFAT sectors")
        << 65536 << QStringLiteral("Workbook");
    QTest::newRow("an older Book stream") << 20 << QStringLiteral("Book");
    QTest::newRow("no workbook") << 20 << QStringLiteral("WordDocument");
}

// What we write opens in libgsf, its one stream whole, and libgsf and ours judge its kind alike.
void TestCompoundFile::ourFilesOpenInGsf() {
    QFETCH(int, rows);
    QFETCH(QString, streamName);
    Bytes s = ownStream(std::min(rows, 2000));
    if (rows > 2000) // beyond 14 MB: more than 109 FAT sectors
        s = pattern(15'000'000, 9);
    const QString path = m_dir.filePath(QStringLiteral("ours.xls"));
    detail::writeStreamFile(s, path, streamName.toLatin1().constData());
    const wbtest::CompoundTree tree = wbtest::readCompoundTree(path);
    QCOMPARE(tree.root.children.size(), std::size_t(1));
    QCOMPARE(QString::fromStdString(tree.root.children[0].name), streamName);
    QVERIFY(tree.root.children[0].data == s);
    const detail::CompoundImage ours = detail::CompoundImage::read(path);
    QCOMPARE(ours.state(), tree.state);
    if (rows > 2000)
        QVERIFY(qFromLittleEndian<quint32>(fileBytes(path).data() + 72) > 0); // DIFAT sectors
}

void TestCompoundFile::gsfFilesKeptWhole_data() {
    QTest::addColumn<unsigned>("sectorSize");
    QTest::addColumn<int>("bigBytes");
    QTest::newRow("512-byte sectors") << 512u << 0;
    // The mini stream's cutoff: 4095 bytes are the last in it, 4096 the first outside.
    QTest::newRow("a stream of 4095 bytes") << 512u << 4095;
    QTest::newRow("a stream of 4096 bytes") << 512u << 4096;
    QTest::newRow("4096-byte sectors (version 4)") << 4096u << 70000;
    QTest::newRow("a FAT past 109 sectors (DIFAT)") << 512u << 8'000'000;
}

// A file libgsf wrote opens in ours with every stream and storage kept byte for byte; our
// save of it unchanged and edited opens in libgsf with every other stream as it was.
void TestCompoundFile::gsfFilesKeptWhole() {
    QFETCH(unsigned, sectorSize);
    QFETCH(int, bigBytes);
    const wbtest::CompoundEntry made = officeTree(static_cast<std::size_t>(bigBytes));
    const QString path = m_dir.filePath(QStringLiteral("gsf.xls"));
    QVERIFY(wbtest::writeWithGsf(made, path, sectorSize));
    const Bytes file = fileBytes(path);
    QCOMPARE(qFromLittleEndian<quint16>(&file[26]), quint16(sectorSize == 4096 ? 4 : 3));
    if (bigBytes > 7'000'000)
        QVERIFY(qFromLittleEndian<quint32>(&file[72]) > 0);

    const detail::CompoundImage image = detail::CompoundImage::read(path);
    QCOMPARE(image.state(), State::Workbook);
    QVERIFY(std::ranges::equal(image.workbook(), made.children[0].data));
    const QString copy = m_dir.filePath(QStringLiteral("copy.xls"));
    image.save(copy, {image.workbook()});
    const wbtest::CompoundTree kept = wbtest::readCompoundTree(copy);
    QCOMPARE(kept.state, State::Workbook);
    QCOMPARE(treeDifference(made, kept.root), QString());
    QCOMPARE(qFromLittleEndian<quint16>(&fileBytes(copy)[26]), quint16(sectorSize == 4096 ? 4 : 3));

    {
        Editor editor(path);
        editor.setCell(0, 401, 1, QString::fromUtf8("京A1"));
        editor.setCell(0, 401, 2, QStringLiteral(" 15.25"));
        editor.save();
    }
    const wbtest::CompoundTree edited = wbtest::readCompoundTree(path);
    QCOMPARE(edited.state, State::Workbook);
    QCOMPARE(treeDifference(made, edited.root, "Workbook"), QString());
    QCOMPARE(treeDifference(made, edited.root), QStringLiteral("Workbook"));
    const Book book = readBook(path);
    QCOMPARE(book.sheet(0).cell(401, 1), Value::text(QString::fromUtf8("京A1")));
    QCOMPARE(book.sheet(0).cell(401, 2), Value::number(15.25));
    QCOMPARE(book.sheet(0).cell(400, 1), Value::text(QString::fromUtf8("粤B400")));
}

void TestCompoundFile::sectorsHeldTwice_data() {
    using Lie = std::function<void(Sectors&)>;
    QTest::addColumn<Lie>("lie");
    // The workbook's chain runs on into another owner's sectors.
    const auto into = [](std::function<std::uint32_t(Sectors&)> where) {
        return Lie([=](Sectors& s) { s.put(s.fatEntry(s.last("Workbook")), where(s)); });
    };
    QTest::newRow("two streams") << into([](Sectors& s) { return s.start("PROJECT"); });
    QTest::newRow("a stream and the directory") << into([](Sectors& s) { return s.at(48); });
    QTest::newRow("a stream and the mini FAT") << into([](Sectors& s) { return s.at(60); });
    QTest::newRow("a stream and the mini stream")
        << into([](Sectors& s) { return s.start("Root Entry"); });
    QTest::newRow("a stream and the FAT") << into([](Sectors& s) { return s.at(76); });
    QTest::newRow("a sector of a chain marked as FAT")
        << Lie([](Sectors& s) { s.put(s.fatEntry(s.next(s.start("Workbook"))), 0xFFFFFFFD); });
    QTest::newRow("a sector of a chain marked as DIFAT")
        << Lie([](Sectors& s) { s.put(s.fatEntry(s.next(s.start("Workbook"))), 0xFFFFFFFC); });
    QTest::newRow("a FAT sector listed twice") << Lie([](Sectors& s) {
        s.put(44, 2);
        s.put(80, s.at(76));
    });
    QTest::newRow("two small streams in one mini sector") << Lie([](Sectors& s) {
        s.put(s.entry("\x05"
                      "DocumentSummaryInformation") +
                  116,
              s.start("\x05SummaryInformation"));
    });
}

// A file whose sectors are held twice is damaged, with that reason, both through the file
// and its bytes; the editor refuses it and leaves it as it was.
void TestCompoundFile::sectorsHeldTwice() {
    using Lie = std::function<void(Sectors&)>;
    QFETCH(Lie, lie);
    const QString path = m_dir.filePath(QStringLiteral("shared.xls"));
    QVERIFY(wbtest::writeWithGsf(officeTree(0), path));
    Bytes bytes = fileBytes(path);
    (void)detail::CompoundImage::fromBytes(bytes, path); // whole before the lie
    Sectors sectors{bytes};
    lie(sectors);
    writeBytes(path, bytes);
    try {
        (void)detail::CompoundImage::read(path);
        QFAIL("a file with a sector held twice was read");
    } catch (const Error& e) {
        QCOMPARE(e.kind(), Error::Kind::Damaged);
        QCOMPARE(e.reason(), reasonText(Reason::SectorShared));
    }
    QVERIFY_THROWS_EXCEPTION(Error, readBook(path));
    QVERIFY_THROWS_EXCEPTION(Error, Editor{path});
    QVERIFY(fileBytes(path) == bytes);
}

void TestCompoundFile::runWrittenAhead_data() {
    QTest::addColumn<unsigned>("sectorSize");
    QTest::addColumn<std::size_t>("runSize");
    QTest::addColumn<qint64>("toldOff");  // from where the run lies
    QTest::addColumn<bool>("fails");      // the layout, once the run is told
    QTest::addColumn<bool>("writeFails"); // the run's own write
    const std::size_t long_ = std::size_t{3} << 20;
    QTest::newRow("told where it lies") << 512u << long_ << qint64(0) << false << false;
    QTest::newRow("4096-byte sectors") << 4096u << long_ << qint64(0) << false << false;
    QTest::newRow("too short to go ahead")
        << 512u << std::size_t{100000} << qint64(0) << false << false;
    QTest::newRow("told a sector off") << 512u << long_ << qint64(512) << false << false;
    QTest::newRow("told past the file's end")
        << 512u << long_ << qint64(9'000'000) << false << false;
    QTest::newRow("the layout fails after") << 512u << long_ << qint64(0) << true << false;
    QTest::newRow("the run's write fails") << 512u << long_ << qint64(0) << false << true;
    QTest::newRow("the run's write fails, told off")
        << 512u << long_ << qint64(512) << false << true;
}

// A run of the workbook stream told ahead of the rest (after other streams, one of them big
// enough for sectors of its own) is written once where it lies: the file comes out as a save
// of the whole writes it, wherever the run was told to lie. A layout that fails once the run
// is told, or the run's own write failing, leaves the file as it was and nothing beside it.
void TestCompoundFile::runWrittenAhead() {
    QFETCH(unsigned, sectorSize);
    QFETCH(std::size_t, runSize);
    QFETCH(qint64, toldOff);
    QFETCH(bool, fails);
    QFETCH(bool, writeFails);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("ahead.xls"));
    QVERIFY(wbtest::writeWithGsf(officeTree(70000), path, sectorSize));
    const Bytes before = fileBytes(path);
    const detail::CompoundImage image = detail::CompoundImage::read(path);
    const Bytes head = pattern(300, 5), run = pattern(runSize, 6), tail = pattern(5000, 7);
    const detail::CompoundImage::Pieces pieces{head, run, tail};
    const auto layOut = [&](const detail::CompoundImage::WriteAhead& ahead) {
        ahead(run, static_cast<std::uint64_t>(qint64(head.size()) + toldOff));
        if (fails)
            throw Error(Error::Kind::Unkeepable, {}, QStringLiteral("refused"));
        return pieces;
    };
    tally.reset();
    tally.failPositioned = writeFails;
    const auto save = [&] {
        image.save(path, layOut);
        tally.failPositioned = false;
    };
    if (fails || writeFails) {
        QVERIFY_THROWS_EXCEPTION(Error, save());
        tally.failPositioned = false;
        QVERIFY(fileBytes(path) == before);
        QCOMPARE(QDir(dir.path()).entryList({".copied.xls.*"}, QDir::Files | QDir::Hidden),
                 QStringList());
        return;
    }
    save();
    const Bytes file = fileBytes(path);
    QVERIFY(file == image.bytes(pieces));
    const bool ahead = runSize >= detail::AheadWrite::From;
    QCOMPARE(tally.positioned.load(), ahead ? runSize : 0);
    QCOMPARE(tally.gathered.load(), file.size() - (ahead && toldOff == 0 ? runSize : 0));
}

void TestCompoundFile::saveInPlaceKeepsSectors_data() {
    QTest::addColumn<unsigned>("sectorSize");
    QTest::addColumn<int>("workbookBytes");
    QTest::addColumn<int>("inserted"); // bytes inserted a third of the way in
    QTest::addColumn<bool>("keeps");   // most old sectors kept
    QTest::addColumn<int>("fault");    // 1 the changed sectors' write fails, 2 the record's
                                       // write, 3 the header's flush
    QTest::newRow("512, whole sectors inserted") << 512u << 300000 << 1024 << true << 0;
    QTest::newRow("512, bytes inserted that shift") << 512u << 300000 << 1000 << false << 0;
    QTest::newRow("4096, whole sectors inserted") << 4096u << 300000 << 8192 << true << 0;
    QTest::newRow("512, a FAT with DIFAT sectors") << 512u << 7300000 << 512 << true << 0;
    QTest::newRow("512, shrinking across the DIFAT") << 512u << 7300000 << -1048576 << true << 0;
    // New sectors past the end, the last of them a DIFAT sector the FAT must still cover.
    QTest::newRow("512, the FAT filled up to its DIFAT")
        << 512u << 7300000 << 447 * 512 << true << 0;
    QTest::newRow("512, shrunk into the mini stream") << 512u << 6000 << -3000 << false << 0;
    QTest::newRow("512, the disk full") << 512u << 300000 << 1024 << true << 1;
    QTest::newRow("512, the record of the headers refused") << 512u << 300000 << 1024 << true << 2;
    QTest::newRow("512, the header's flush failing") << 512u << 300000 << 1024 << true << 3;
}

// A save into the file it was read from, ForSaving: the file is what a whole save would
// write (as libgsf reads it, every other stream kept), and where the new workbook stream
// holds old bytes at their place within a sector, their sectors are kept, not written. A
// failed save leaves the old workbook there (and the file's old size, until its header was
// written).
void TestCompoundFile::saveInPlaceKeepsSectors() {
    QFETCH(unsigned, sectorSize);
    QFETCH(int, workbookBytes);
    QFETCH(int, inserted);
    QFETCH(bool, keeps);
    QFETCH(int, fault);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("copied.xls"));
    wbtest::CompoundEntry made = officeTree(70000);
    made.children[0].data = pattern(static_cast<std::size_t>(workbookBytes), 8);
    QVERIFY(wbtest::writeWithGsf(made, path, sectorSize));
    const auto filesBefore = openFiles();
    const auto image = detail::CompoundImage::read(path, detail::CompoundImage::Reading::ForSaving);
    QCOMPARE(image.keptSectorSize(), std::size_t(sectorSize));
    image.waitFor(SIZE_MAX);
    const std::span<const std::uint8_t> old = image.workbook();
    const std::size_t third = old.size() / 3 / sectorSize * sectorSize;
    const Bytes middle = pattern(static_cast<std::size_t>(std::max(inserted, 0)), 9);
    const Bytes tail = pattern(777, 10);
    const std::size_t cut = inserted < 0 ? static_cast<std::size_t>(-inserted) : 0;
    const detail::CompoundImage::Pieces pieces{old.first(third), middle, old.subspan(third + cut),
                                               tail};
    Bytes expected;
    for (const auto piece : pieces)
        expected.insert(expected.end(), piece.begin(), piece.end());
    patched = 0;
    tally.reset();
    if (fault != 0) {
        const qint64 before = QFileInfo(path).size();
        std::atomic<bool>& failing = fault == 1   ? failPatch
                                     : fault == 2 ? failRecord
                                                  : failHeaderFlush;
        headerWritten = -1; // a header written before (another file, the same descriptor)
        failing = true;
        QVERIFY_THROWS_EXCEPTION(Error, image.save(path, pieces));
        failing = false;
        QCOMPARE(treeDifference(made, wbtest::readCompoundTree(path).root), QString());
        if (fault != 3)
            QCOMPARE(QFileInfo(path).size(), before);
        QCOMPARE(QDir(dir.path()).entryList({".copied.xls.*"}, QDir::Files | QDir::Hidden),
                 QStringList());
        QCOMPARE(openFiles(), filesBefore);
        return;
    }
    image.save(path, pieces);
    QCOMPARE(openFiles(), filesBefore); // the image lives on: its descriptors do not
    const wbtest::CompoundTree after = wbtest::readCompoundTree(path);
    QCOMPARE(after.state, State::Workbook);
    QCOMPARE(treeDifference(made, after.root, "Workbook"), QString());
    const auto workbook = std::find_if(after.root.children.begin(), after.root.children.end(),
                                       [](const auto& e) { return e.name == "Workbook"; });
    QVERIFY(workbook != after.root.children.end() && workbook->data == expected);
    if (expected.size() >= 4096) { // else written whole
        QCOMPARE(tally.gathered.load(), std::uint64_t(0));
        QCOMPARE(patched.load() < expected.size() / 4, keeps);
    }
    QCOMPARE(unmarkedTables(fileBytes(path)), QString());
    QCOMPARE(QDir(dir.path()).entryList({".copied.xls.*"}, QDir::Files | QDir::Hidden),
             QStringList());
}

void TestCompoundFile::cutHeaderWrittenAgain_data() {
    QTest::addColumn<int>("kept");  // bytes of the new header that reached the disk
    QTest::addColumn<int>("since"); // 1 the file grew since, 2 a copy of it took its place, 3
                                    // the record was damaged
    QTest::newRow("none of it") << 0 << 0;
    QTest::newRow("up to the first directory sector") << 52 << 0;
    QTest::newRow("up to the first FAT sector") << 80 << 0;
    QTest::newRow("all of it") << 512 << 0;
    QTest::newRow("up to the first FAT sector, the file grown since") << 80 << 1;
    QTest::newRow("up to the first FAT sector, a copy in its place") << 80 << 2;
    QTest::newRow("up to the first FAT sector, the record damaged") << 80 << 3;
}

// A power cut while a save in place wrote its new header: a header cut off is put back to
// the old one when the file is next read for a save (the old workbook is whole); the old
// header or the whole new one is left. So is a file that changed since.
void TestCompoundFile::cutHeaderWrittenAgain() {
    QFETCH(int, kept);
    QFETCH(int, since);
    const bool changed = since != 0;
    QTemporaryDir dir, twinDir;
    const QString path = dir.filePath(QStringLiteral("day.xls"));
    const QString twin = twinDir.filePath(QStringLiteral("day.xls"));
    wbtest::CompoundEntry made = officeTree(70000);
    made.children[0].data = pattern(300000, 8);
    QVERIFY(wbtest::writeWithGsf(made, path, 512));
    QVERIFY(QFile::copy(path, twin));
    const auto edit = [](const QString& file) {
        const auto image =
            detail::CompoundImage::read(file, detail::CompoundImage::Reading::ForSaving);
        image.waitFor(SIZE_MAX);
        const std::span<const std::uint8_t> old = image.workbook();
        const Bytes added = pattern(1024, 9);
        image.save(file, {old.first(51200), added, old.subspan(51200)});
    };
    edit(twin); // the same save, ended
    cutAtHeader = true;
    QVERIFY_THROWS_EXCEPTION(CutOff, edit(path));
    cutAtHeader = false;
    const Bytes saved = fileBytes(twin), cutOff = fileBytes(path);
    QCOMPARE(cutOff.size(), saved.size());
    Bytes disk = cutOff;
    std::copy_n(saved.begin(), kept, disk.begin());
    if (since == 1)
        disk.push_back(0);
    const QString written = since == 2 ? dir.filePath(QStringLiteral("copy.xls")) : path;
    QFile out(written);
    QVERIFY(out.open(QIODevice::WriteOnly)); // the same file, emptied and written
    out.write(reinterpret_cast<const char*>(disk.data()), qint64(disk.size()));
    out.close();
    if (since == 2)
        QVERIFY(::rename(QFile::encodeName(written).constData(),
                         QFile::encodeName(path).constData()) == 0);
    if (since == 3) {
        QFile record(dir.filePath(QStringLiteral(".weighbridge-saved-header")));
        QVERIFY(record.open(QIODevice::ReadWrite) && record.seek(600));
        record.write("\xff", 1);
    }
    try {
        detail::CompoundImage::read(path, detail::CompoundImage::Reading::ForSaving);
    } catch (const Error&) {
        QVERIFY(changed);
    }
    QVERIFY(fileBytes(path) == (changed ? disk : kept == 512 ? saved : cutOff));
}

void TestCompoundFile::savedAfterTheFirstDirectorySector_data() {
    QTest::addColumn<bool>("elsewhere");
    QTest::newRow("in place") << false;
    QTest::newRow("under another name") << true;
}

// A workbook whose directory entry lies in the directory's second sector, saved in place (the
// directory's chain runs through that sector's new place) or under another name (the file
// read is left as it was, no descriptor of it kept).
void TestCompoundFile::savedAfterTheFirstDirectorySector() {
    QFETCH(bool, elsewhere);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("day.xls"));
    const QString target = elsewhere ? dir.filePath(QStringLiteral("other.xls")) : path;
    wbtest::CompoundEntry made = officeTree(70000);
    std::rotate(made.children.begin(), made.children.begin() + 1, made.children.end());
    made.children.back().data = pattern(300000, 8);
    QVERIFY(wbtest::writeWithGsf(made, path, 512));
    Bytes before = fileBytes(path);
    const Sectors file{before};
    QVERIFY(file.entry("Workbook") >= file.sector(file.at(48)) + 512);
    const auto filesBefore = openFiles();
    {
        const auto image =
            detail::CompoundImage::read(path, detail::CompoundImage::Reading::ForSaving);
        image.waitFor(SIZE_MAX);
        const std::span<const std::uint8_t> old = image.workbook();
        const Bytes added = pattern(1024, 9);
        image.save(target, {old.first(51200), added, old.subspan(51200)});
        QCOMPARE(openFiles(), filesBefore);
        made.children.back().data.insert(made.children.back().data.begin() + 51200, added.begin(),
                                         added.end());
    }
    QCOMPARE(treeDifference(made, wbtest::readCompoundTree(target).root), QString());
    if (elsewhere)
        QVERIFY(fileBytes(path) == before);
}

void TestCompoundFile::storeWritesWhatChanged_data() {
    QTest::addColumn<int>("bigSheet"); // of two; new rows go to both
    QTest::addColumn<int>("since");    // what happened to the file after it was read
    QTest::newRow("new rows below the big sheet's rows") << 0 << 0;
    QTest::newRow("new rows in a sheet before the big one") << 1 << 0;
    QTest::newRow("the file touched a minute back") << 0 << 1;
    QTest::newRow("the file touched a nanosecond on") << 0 << 2;
    QTest::newRow("a copy of the file put in its place") << 0 << 3;
}

// A store into a day of 30,000 rows writes in place only what changed: the rows that stay as
// they were keep their sectors when nothing before them grows but by whole sectors (the
// shared strings padded for it). A file changed or replaced since it was read is written whole.
void TestCompoundFile::storeWritesWhatChanged() {
    QFETCH(int, bigSheet);
    QFETCH(int, since);
    Book day;
    day.addSheet(QStringLiteral("sheet1")).setText(1, 1, QStringLiteral("x"));
    day.addSheet(QStringLiteral("sheet2")).setText(1, 1, QStringLiteral("y"));
    Sheet& sheet = day.sheet(bigSheet);
    for (int r = 1; r <= 30000; ++r) {
        sheet.setText(r, 1, QString::fromUtf8("粤B%1").arg(r));
        for (int c = 2; c <= 5; ++c)
            sheet.setNumber(r, c, r + c / 8.0);
    }
    const QString path = m_dir.filePath(QStringLiteral("big day.xls"));
    detail::writeStreamFile(biff::workbookStream(day), path, "Workbook");
    const auto filesBefore = openFiles();
    {
        Editor editor(path);
        for (int row = 30001; row <= 30003; ++row)
            editor.setCell(0, row, 1, QString::fromUtf8("粤B%1").arg(row));
        editor.setCell(1, 30001, 2, QStringLiteral(" 8.5"));
        struct stat st {};
        QCOMPARE(::stat(QFile::encodeName(path).constData(), &st), 0);
        timespec times[2] = {st.st_atim, st.st_mtim};
        times[1].tv_sec -= since == 1 ? 60 : 0;
        times[1].tv_nsec = since == 2 ? (st.st_mtim.tv_nsec + 1) % 1000000000 : st.st_mtim.tv_nsec;
        QCOMPARE(::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0), 0);
        if (since == 3) {
            const QString copy = m_dir.filePath(QStringLiteral("copy.xls"));
            QFile::remove(copy);
            QVERIFY(QFile::copy(path, copy) && ::rename(QFile::encodeName(copy).constData(),
                                                        QFile::encodeName(path).constData()) == 0);
        }
        tally.reset();
        patched = 0;
        editor.save();
    }
    QCOMPARE(openFiles(), filesBefore);
    const Bytes file = fileBytes(path);
    if (since != 0)
        QCOMPARE(tally.gathered.load(), std::uint64_t(file.size()));
    else
        QCOMPARE(patched.load() < file.size() / 10, bigSheet == 0);
    const Book book = readBook(path);
    QCOMPARE(book.sheet(0).cell(30003, 1), Value::text(QString::fromUtf8("粤B30003")));
    QCOMPARE(book.sheet(bigSheet).cell(20000, 5), Value::number(20000.625));
    QCOMPARE(book.sheet(1).cell(30001, 2), Value::number(8.5));
}

void TestCompoundFile::workbookReadBehind_data() {
    QTest::addColumn<qint64>("faultFrom"); // into the workbook stream; -1 for none
    QTest::addColumn<int>("kind");
    QTest::newRow("read whole") << qint64(-1) << int(ReadFault::Error);
    QTest::newRow("an error in its first part") << qint64(1000) << int(ReadFault::Error);
    QTest::newRow("an error in a later part") << qint64(600'000) << int(ReadFault::Error);
    QTest::newRow("the file ending in a later part") << qint64(600'000) << int(ReadFault::Ends);
    // The records then outrun the read: each waits for all the bytes it can take.
    QTest::newRow("a slow disk after the first part") << qint64(300'000) << int(ReadFault::Slow);
}

// The editor reads a workbook's records while the stream is still coming in behind them: it
// reads what the whole read gives, and a read that fails anywhere in the stream fails the
// opening with the read's error (never a refusal of bytes not yet read), and waits for the
// helper before it goes.
void TestCompoundFile::workbookReadBehind() {
    QFETCH(qint64, faultFrom);
    QFETCH(int, kind);
    const bool fails = faultFrom >= 0 && kind != ReadFault::Slow;
    Book day;
    Sheet& sheet = day.addSheet(QStringLiteral("sheet1"));
    for (int r = 1; r <= 20000; ++r) {
        sheet.setText(r, 1, QString::fromUtf8("粤B%1").arg(r));
        sheet.setNumber(r, 2, r + 0.5);
    }
    const Bytes stream = biff::workbookStream(day);
    QVERIFY(stream.size() > 3 * (std::size_t{256} << 10)); // several parts
    const QString path = m_dir.filePath(QStringLiteral("behind.xls"));
    detail::writeStreamFile(stream, path, "Workbook");
    // Our file: the stream in the sectors after the header, in order.
    if (faultFrom >= 0) {
        readFault.from = 512 + faultFrom;
        readFault.to = off_t(512 + stream.size());
    }
    readFault.kind = ReadFault::Kind(kind);
    std::optional<Error::Kind> failed;
    try {
        Editor editor(path);
        QCOMPARE(editor.cell(0, 20000, 2), Value::number(20000.5));
        QVERIFY(editor.editedStream() == stream);
    } catch (const Error& e) {
        failed = e.kind();
    }
    // The file read behind on its own: its bytes wait for the read, whose error every wait
    // tells.
    const auto image = detail::CompoundImage::read(path, detail::CompoundImage::Reading::Behind);
    if (!fails) {
        QVERIFY(image.bytes({image.workbook()}) == fileBytes(path));
    } else {
        QVERIFY_THROWS_EXCEPTION(Error, image.bytes({image.workbook()}));
        QVERIFY_THROWS_EXCEPTION(Error, image.waitFor(SIZE_MAX));
    }
    readFault.from = -1;
    readFault.to = -1;
    QCOMPARE(failed, fails ? std::optional(Error::Kind::Io) : std::nullopt);
}

QTEST_GUILESS_MAIN(TestCompoundFile)
#include "tst_compound_file.moc"
