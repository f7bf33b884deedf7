#include "workbook/big_memory.h"

#include <cstdint>
#include <sys/mman.h>
#include <unistd.h>

namespace workbook::detail {

namespace {

constexpr std::size_t HugePage = std::size_t{2} << 20;

std::size_t pageSize() {
    static const auto size = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    return size;
}

std::size_t roundUp(std::size_t n, std::size_t to) {
    return (n + to - 1) / to * to;
}

// The length mapped for `bytes`: whole huge pages, so that the last part of a buffer is not
// left to small pages (at most one huge page more is resident than the buffer's size).
std::size_t mappedLength(std::size_t bytes) {
    return roundUp(bytes, HugePage);
}

} // namespace

void* mapBig(std::size_t bytes, bool fill) {
    if (bytes > static_cast<std::size_t>(-1) / 2) // no room to round it up
        throw std::bad_alloc();
    const std::size_t length = mappedLength(bytes);
    // Mapped a huge page longer, then cut to start on a huge-page boundary: only whole
    // aligned 2 MB ranges can be served by huge pages.
    const std::size_t reach = length + HugePage;
    void* mapped =
        ::mmap(nullptr, reach, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED)
        throw std::bad_alloc();
    const auto at = reinterpret_cast<std::uintptr_t>(mapped);
    const std::uintptr_t start = roundUp(at, HugePage);
    if (start > at)
        ::munmap(mapped, start - at);
    if (const std::size_t after = at + reach - (start + length); after > 0)
        ::munmap(reinterpret_cast<void*>(start + length), after);
    void* memory = reinterpret_cast<void*>(start);
    // Both requests are advice: a system without huge pages or without filling in advance
    // serves the pages one fault at a time, as for any other memory.
    ::madvise(memory, length, MADV_HUGEPAGE);
#ifdef MADV_POPULATE_WRITE
    if (fill)
        ::madvise(memory, roundUp(bytes, pageSize()), MADV_POPULATE_WRITE);
#else
    (void)fill;
#endif
    return memory;
}

void unmapBig(void* memory, std::size_t bytes) noexcept {
    ::munmap(memory, mappedLength(bytes));
}

} // namespace workbook::detail
