#pragma once
// A request from the system to end the program (SIGTERM when the desktop session ends,
// SIGHUP when its terminal goes, SIGINT) closes the window the ordinary way, so unsaved
// rows are asked about as on any other close.

class QWidget;

namespace platform {

void closeOnTermination(QWidget* window);

} // namespace platform
