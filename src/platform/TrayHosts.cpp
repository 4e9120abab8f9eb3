#include "platform/TrayHosts.h"

#include <xcb/xcb.h>

#include <QByteArray>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusInterface>
#include <QDBusReply>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QGuiApplication>
#include <QVariant>
#include <cstdlib>
#include <memory>

namespace zul {

namespace {
constexpr const char* kWatcherService = "org.kde.StatusNotifierWatcher";
constexpr const char* kWatcherPath = "/StatusNotifierWatcher";
}  // namespace

bool StatusNotifierHostPresent() {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected() || bus.interface() == nullptr) return false;
  const QString service = QString::fromLatin1(kWatcherService);
  if (!bus.interface()->isServiceRegistered(service)) return false;
  // A watcher alone shows nothing; a host (the panel's tray) must have registered with it.
  QDBusInterface props(service, QString::fromLatin1(kWatcherPath),
                       QStringLiteral("org.freedesktop.DBus.Properties"), bus);
  const QDBusReply<QDBusVariant> reply =
      props.call(QStringLiteral("Get"), service, QStringLiteral("IsStatusNotifierHostRegistered"));
  return reply.isValid() && reply.value().variant().toBool();
}

void WatchStatusNotifierHosts(QObject* context, std::function<void()> onChange) {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) return;
  const QString service = QString::fromLatin1(kWatcherService);
  auto* watcher =
      new QDBusServiceWatcher(service, bus, QDBusServiceWatcher::WatchForRegistration, context);
  QObject::connect(watcher, &QDBusServiceWatcher::serviceRegistered, context,
                   [onChange](const QString&) { onChange(); });
  // A host that registers later with a watcher already there.
  auto* relay = new TSignalRelay(context, std::move(onChange));
  bus.connect(service, QString::fromLatin1(kWatcherPath), service,
              QStringLiteral("StatusNotifierHostRegistered"), relay, SLOT(Fire()));
}

bool XEmbedTrayPresent() {
  auto* x11 =
      qGuiApp != nullptr ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
  xcb_connection_t* c = x11 != nullptr ? x11->connection() : nullptr;
  if (c == nullptr) return false;
  // The default screen's number comes from the display name ("host:0.1" is screen 1).
  int screen = 0;
  const QByteArray display = qgetenv("DISPLAY");
  if (const qsizetype dot = display.lastIndexOf('.'); dot > display.lastIndexOf(':'))
    screen = std::atoi(display.constData() + dot + 1);
  const QByteArray name = "_NET_SYSTEM_TRAY_S" + QByteArray::number(screen);
  const auto atomCookie = xcb_intern_atom(c, 1, static_cast<uint16_t>(name.size()), name.data());
  const std::unique_ptr<xcb_intern_atom_reply_t, decltype(&std::free)> atom(
      xcb_intern_atom_reply(c, atomCookie, nullptr), &std::free);
  if (!atom || atom->atom == XCB_ATOM_NONE) return false;
  const std::unique_ptr<xcb_get_selection_owner_reply_t, decltype(&std::free)> owner(
      xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, atom->atom), nullptr),
      &std::free);
  return owner && owner->owner != XCB_WINDOW_NONE;
}

}  // namespace zul
