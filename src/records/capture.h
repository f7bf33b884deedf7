#pragma once
// Whether a reading becomes a row: the record action's decision from plain values, so the
// rule is tested without a window. The record action reads them from its controls and
// state and carries the decision out.

#include <cstdint>

namespace records {

enum class Capture {
    Ignore,    // no new reading since the last one: nothing happens
    Negative,  // a negative reading: refused, with "数据为负，不保存！请查询！"
    Zero,      // the scale reads 0: nothing happens
    LinkDown,  // the display is red: "仪表连接失败！"
    SaveFirst, // every slot is in use: the held rows are saved first, then the row taken
    Record,    // the row is taken into the next free slot
};

struct CaptureInput {
    bool newReading = false; // the last frame differed from the one before
    bool negative = false;   // the last frame's sign is "-"
    double weight = 0;       // the magnitude of the last reading
    bool displayRed = false; // the big display shows no usable reading
    std::int32_t heldRows = 0;
    std::int32_t capacity = 0; // how many rows the store holds
};

// The checks in their order: a new reading, its sign, zero, the link, a free slot.
Capture decideCapture(const CaptureInput& in);

} // namespace records
