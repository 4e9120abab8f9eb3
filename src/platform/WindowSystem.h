// What the window system under the program can do. Qt Gui.
#pragma once

#include <string>

namespace zul {

// Before the application object exists: picks the window system. On a Wayland session with
// XWayland it asks for X11, since Wayland lets no program place its windows or keep them on top;
// without XWayland it asks for Wayland. An explicit QT_QPA_PLATFORM wins. Returns why the
// program cannot open a window at all (a Wayland session with neither XWayland nor Qt's Wayland
// support), else an empty text.
std::string PreferX11();

// Needs the application object: what the program loses because it runs as a Wayland program,
// for the user; empty on X11.
std::string WaylandLimits();

// Whether windows of this platform show a constant opacity (X11 with a compositing manager).
// Needs the application object.
bool WindowOpacitySupported();

}  // namespace zul
