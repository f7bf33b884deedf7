// Feeds arbitrary bytes to the workbook reader: once as a Workbook stream to our BIFF8 reader
// directly, once as a whole file through readBook() (libgsf, our reader, FreeXL).
// Anything but a book or a workbook::Error (a crash, a hang, a leak) is a finding.
//
//   ASAN_OPTIONS=fast_unwind_on_malloc=0 LSAN_OPTIONS=suppressions=fuzz/lsan.supp \
//       fuzz_read_book -max_len=20000 -timeout=10 -rss_limit_mb=1024 corpus/ seeds/

#include "platform/workbook/biff_reader.h"
#include "platform/workbook/file_io.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <cstdio>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    (void)workbook::biff::readStream({data, size});

    static const QString path =
        QStringLiteral("/tmp/fuzz_read_book.%1.xls").arg(QString::number(::getpid()));
    FILE* f = std::fopen(path.toLocal8Bit().constData(), "wb");
    if (f == nullptr)
        return 0;
    std::fwrite(data, 1, size, f);
    std::fclose(f);
    try {
        const workbook::Book book = workbook::readBook(path);
        (void)book.sheetCount();
    } catch (const workbook::Error&) {
    }
    return 0;
}
