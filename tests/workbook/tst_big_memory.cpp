// The editor's large buffers: mapped in whole huge pages from a huge-page boundary, zeroed,
// and given back whole when freed, however often a container grows and is dropped; the
// contents survive every growth across the size from which buffers are mapped.

#include "support/resident.h"
#include "workbook/big_memory.h"

#include <QTest>

#include <cstdint>
#include <vector>

using namespace workbook::detail;

class TestBigMemory : public QObject {
    Q_OBJECT
private slots:
    void mappedWholeAndZeroed();
    void containersGiveTheirMemoryBack();
};

void TestBigMemory::mappedWholeAndZeroed() {
    for (const std::size_t bytes :
         {std::size_t{1} << 20, std::size_t{3} << 20, std::size_t{5000001}}) {
        for (const bool fill : {false, true}) {
            auto* p = static_cast<std::uint8_t*>(mapBig(bytes, fill));
            QCOMPARE(reinterpret_cast<std::uintptr_t>(p) % (std::uintptr_t{2} << 20), 0u);
            QCOMPARE(p[0] + p[bytes / 2] + p[bytes - 1], 0);
            p[0] = p[bytes - 1] = 7; // the whole length is writable
            unmapBig(p, bytes);
        }
    }
}

void TestBigMemory::containersGiveTheirMemoryBack() {
    const long before = support::statusKb("VmSize:");
    for (int round = 0; round < 60; ++round) {
        // Grown by doubling from the heap into mappings of 1, 2, 4 and 8 MB, then dropped.
        std::vector<std::uint64_t, BigAllocator<std::uint64_t>> v;
        const std::uint64_t n = 700000 + static_cast<std::uint64_t>(round) * 1000;
        for (std::uint64_t i = 0; i < n; ++i)
            v.push_back(i * 2654435761u);
        for (std::uint64_t i = 0; i < n; i += 997)
            QCOMPARE(v[i], i * 2654435761u);
        std::vector<std::uint64_t, BigAllocator<std::uint64_t>> copy(v.begin(), v.end());
        QCOMPARE(copy.back(), v.back());
    }
    // Nothing is left mapped: 60 rounds that each left a few MB behind would add 100s of MB.
    // (Under AddressSanitizer the buffers come from its heap, which holds freed memory back.)
    if (BigFrom == static_cast<std::size_t>(-1))
        return;
    const long after = support::statusKb("VmSize:");
    QVERIFY2(before > 0 && after - before < 16 * 1024,
             qPrintable(
                 QStringLiteral("address space %1 kB before, %2 kB after").arg(before).arg(after)));
}

QTEST_GUILESS_MAIN(TestBigMemory)
#include "tst_big_memory.moc"
