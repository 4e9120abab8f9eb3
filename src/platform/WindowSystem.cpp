#include "platform/WindowSystem.h"

#include <QDir>
#include <QGuiApplication>
#include <QLibraryInfo>
#include <QString>

namespace zul {

namespace {

// Qt's Wayland platform is a package of its own (qt6-wayland).
bool HaveWaylandPlatform() {
  const QDir platforms(QLibraryInfo::path(QLibraryInfo::PluginsPath) +
                       QStringLiteral("/platforms"));
  return !platforms.entryList({QStringLiteral("libqwayland*")}, QDir::Files).isEmpty();
}

}  // namespace

std::string PreferX11() {
  if (!qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) return {};
  const bool wayland = qEnvironmentVariable("XDG_SESSION_TYPE") == QStringLiteral("wayland") ||
                       !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
  if (!wayland) return {};
  if (!qEnvironmentVariableIsEmpty("DISPLAY")) {
    qputenv("QT_QPA_PLATFORM", "xcb");
    return {};
  }
  if (HaveWaylandPlatform()) {
    qputenv("QT_QPA_PLATFORM", "wayland");
    return {};
  }
  return "This Wayland session has no XWayland (DISPLAY is not set) and Qt's Wayland support is "
         "not installed, so ZUL cannot open its windows. Install XWayland (Debian package "
         "xwayland) to run ZUL as on X11, or qt6-wayland to run it as a Wayland program.";
}

std::string WaylandLimits() {
  if (!QGuiApplication::platformName().startsWith(QStringLiteral("wayland"))) return {};
  return "This Wayland session has no XWayland, so ZUL runs as a Wayland program and loses what "
         "Wayland does not let a program do: the compositor places the graph windows (their "
         "places are neither restored nor stacked by \"&All Windows\"), \"Always on top\" and "
         "\"Semi-transparent window\" have no effect, and a window without a title bar cannot be "
         "dragged. Install XWayland (Debian package xwayland) and start ZUL again to have them.";
}

bool WindowOpacitySupported() {
  const QString platform = QGuiApplication::platformName();
  return platform == QStringLiteral("xcb") || platform == QStringLiteral("windows") ||
         platform == QStringLiteral("cocoa");
}

}  // namespace zul
