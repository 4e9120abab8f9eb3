// What the window system under the program can do. Qt Gui.
#pragma once

namespace zul {

// Before the application object exists: on a Wayland session with XWayland, asks for X11, since
// Wayland lets no program place its windows or keep them on top. An explicit QT_QPA_PLATFORM wins.
void PreferX11();

// Whether windows of this platform show a constant opacity (X11 with a compositing manager).
// Needs the application object.
bool WindowOpacitySupported();

}  // namespace zul
