#pragma once
// The fast reader for plain workbooks: the ones this program writes and those of other
// writers that use only plain cells (shared-string and inline texts, numbers, booleans) in
// General-like formats. Anything else, including every damaged or unusual stream, is left to
// FreeXL: the reader then answers nothing rather than guessing.

#include "platform/workbook/book.h"

#include <cstdint>
#include <optional>
#include <span>

namespace workbook::biff {

// The book held by a BIFF8 "Workbook" stream, or nothing when the stream holds anything this
// reader does not read in full (formulas, date formats, encryption, charts, BIFF5, damage).
std::optional<Book> readPlainStream(std::span<const std::uint8_t> stream);

} // namespace workbook::biff
