#include "platform/WindowSystem.h"

#include <QGuiApplication>
#include <QString>

namespace zul {

void PreferX11() {
  if (!qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) return;
  const bool wayland = qEnvironmentVariable("XDG_SESSION_TYPE") == QStringLiteral("wayland") ||
                       !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
  if (wayland && !qEnvironmentVariableIsEmpty("DISPLAY")) qputenv("QT_QPA_PLATFORM", "xcb");
}

bool WindowOpacitySupported() {
  const QString platform = QGuiApplication::platformName();
  return platform == QStringLiteral("xcb") || platform == QStringLiteral("windows") ||
         platform == QStringLiteral("cocoa");
}

}  // namespace zul
