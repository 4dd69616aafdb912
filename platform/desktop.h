// The desktop's browser, for GUI mode.
#pragma once
#include <string>

namespace kestrel::platform {

// Whether a graphical session is there to show a page (DISPLAY or WAYLAND_DISPLAY set).
bool desktopPresent();

// Asks xdg-open to show url and does not wait for the browser. False when
// xdg-open is not on PATH or could not be started; nothing is printed then.
bool openInBrowser(const std::string& url);

}  // namespace kestrel::platform
