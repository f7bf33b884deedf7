#pragma once
// Faults the test build of the program (weighbridge_testport) makes on purpose, to show what
// they cannot reach; the program that is installed makes none.

#include <QString>

namespace app {

// A viewer that fails on a workbook: the test build's viewing process crashes (SIGSEGV) a
// second after it has shown a workbook whose first sheet is named "viewer-crash" (long enough
// for a test to see its window). The recorder that started the viewing goes on.
void viewerFault(const QString& firstSheet);

} // namespace app
