// Record capture: a reading becomes a row in memory, and the save action hands the rows to
// the day's workbook.

#include "app/form1.h"

namespace app {

void Form1::Command1_Click() {}

void Form1::Command4_Click() {}

} // namespace app
