// Viewing a saved workbook (to be filled in).

#include "app/form1.h"

namespace app {

void Form1::Command3_Click() { File_Open(); }

void Form1::File_Open() {}

} // namespace app
