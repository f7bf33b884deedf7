#pragma once
// Memory for the editor's large buffers (the workbook stream, the record lists, the cell
// edits): a mapping of its own, given back to the system the moment it is freed, and asked
// for in huge pages where the system offers them (transparent huge pages, "madvise" or
// "always"). Each fresh 4 KB page costs a fault on its first touch; on a virtual machine one
// such fault was measured at 10 to 15 us, so a store that touches 17 MB in small pages spends
// some 50 ms in faults alone. In 2 MB pages the same memory costs a few faults.

#include <cstddef>
#include <new>

namespace workbook::detail {

// Buffers from this size up are mapped; smaller ones come from the heap. Under
// AddressSanitizer every buffer comes from the heap, where overruns are caught.
#if defined(__SANITIZE_ADDRESS__)
#define WB_BIG_FROM_HEAP 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define WB_BIG_FROM_HEAP 1
#endif
#endif
#ifdef WB_BIG_FROM_HEAP
constexpr std::size_t BigFrom = static_cast<std::size_t>(-1);
#else
constexpr std::size_t BigFrom = std::size_t{1} << 20;
#endif

// `bytes` of zeroed memory; with `fill`, every page is put in place at once (for a buffer
// that is written whole straight away). Throws std::bad_alloc.
void* mapBig(std::size_t bytes, bool fill);
void unmapBig(void* memory, std::size_t bytes) noexcept;

// An allocator for the standard containers: large blocks mapped as above, small ones from
// the heap. A container that grows by doubling maps its new block and gives back the old.
template <class T> struct BigAllocator {
    using value_type = T;
    BigAllocator() = default;
    template <class U> BigAllocator(const BigAllocator<U>&) noexcept {}
    T* allocate(std::size_t n) {
        if (n > static_cast<std::size_t>(-1) / sizeof(T))
            throw std::bad_alloc();
        const std::size_t bytes = n * sizeof(T);
        if (bytes >= BigFrom)
            return static_cast<T*>(mapBig(bytes, false));
        return static_cast<T*>(::operator new(bytes));
    }
    void deallocate(T* p, std::size_t n) noexcept {
        const std::size_t bytes = n * sizeof(T);
        if (bytes >= BigFrom)
            unmapBig(p, bytes);
        else
            ::operator delete(p);
    }
    template <class U> bool operator==(const BigAllocator<U>&) const noexcept { return true; }
};

} // namespace workbook::detail
