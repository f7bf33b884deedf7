#pragma once
// The desktop's close request (the title bar's close button, Alt+F4) for a window that an
// application-modal box blocks: Qt drops it before the window sees it. This watches the X11
// connection for it, so that the window can take the close up once the box is answered.
// Elsewhere (another platform plugin, no display) it does nothing.

#include <functional>

class QWidget;

namespace platform {

// Calls `closeAsked` whenever the desktop asks `window` to close while a modal box blocks
// it. Lives as long as `window`.
void watchBlockedClose(QWidget* window, std::function<void()> closeAsked);

} // namespace platform
