// Which notification areas the desktop offers right now, asked without the toolkit's tray, which
// decides once per run between them: the program asks these first and makes its icon only when
// one is there, so that a panel started after the program is still used. Qt Gui and D-Bus.
#pragma once

namespace zul {

// A StatusNotifierItem host on the session bus: a watcher that has a host registered. False
// without a session bus.
bool StatusNotifierHostPresent();

// An X11 notification area: a manager owns the system tray selection of the default screen. False
// on other platforms. Needs the application object.
bool XEmbedTrayPresent();

}  // namespace zul
