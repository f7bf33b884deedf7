#pragma once
// Work a save leaves behind that nobody has to wait for: the replaced file's blocks given
// back to the disk, the leftovers of writes cut off removed, the memory of a workbook held
// for a store released. It runs on one helper thread, in the order given, while the program
// goes on.

#include <functional>

namespace workbook {

// Hands `work` to the helper thread, behind the work handed to it before; done at once when
// no thread can be started. What `work` throws is dropped: none of it is needed by anyone.
void later(std::function<void()> work);

// The same for work that would hold up a sync of the folder (freeing a replaced file's
// blocks does): it is kept back until the next syncFolder() has returned, or settle().
void afterFolderSync(std::function<void()> work);

// Hands over the work kept back for a folder's sync; syncFolder() calls it.
void folderSynced();

// Waits until all the work handed to later(), or kept back, is done. A save waits for it
// before it starts (a leftover removed late must not be the save's own temporary file), and
// so does the end of the program.
void settle();

} // namespace workbook
