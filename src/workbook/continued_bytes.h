#pragma once
// Little-endian values read across a record and the CONTINUE records after it, for the
// reader's and the editor's walks over the shared strings. `Parts` supplies the records:
// settle() moves on to the next record while the current one is used up (or gives up, as
// its reader does), take() the next byte, left() the bytes still in the current record and
// advance(n) steps over n of them.

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace workbook::biff {

template <typename Parts> class ContinuedBytes {
public:
    std::uint8_t u8() {
        parts().settle();
        return parts().take();
    }
    std::uint16_t u16() {
        const std::uint8_t lo = u8();
        return static_cast<std::uint16_t>(lo | (u8() << 8));
    }
    std::uint32_t u32() {
        const std::uint32_t lo = u16();
        return lo | (static_cast<std::uint32_t>(u16()) << 16);
    }
    void skip(std::size_t n) {
        while (n > 0) {
            parts().settle();
            const std::size_t step = std::min(n, parts().left());
            parts().advance(step);
            n -= step;
        }
    }

private:
    Parts& parts() { return static_cast<Parts&>(*this); }
};

} // namespace workbook::biff
