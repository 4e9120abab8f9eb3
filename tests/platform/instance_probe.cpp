// A stand-in program for the single-instance tests: claims the instance like the real program,
// then reports on standard output what it did and every message it received.
#include <QCoreApplication>
#include <QTimer>
#include <cstdio>
#include <cstdlib>

#include "platform/SingleInstance.h"

int main(int argc, char** argv) {
  if (argc < 3) return 64;
  const std::string dir = argv[1];
  const int lifeMs = std::atoi(argv[2]);
  const zul::TInstanceClaim claim = zul::ClaimInstance(dir, "TFBFigure", 1124, 3000);
  if (claim.Role == zul::TInstanceRole::Handed) {
    std::printf("handed\n");
    return 0;
  }
  if (claim.Role == zul::TInstanceRole::Unresponsive) {
    std::printf("unresponsive\n");
    return 1;
  }
  QCoreApplication app(argc, argv);
  zul::TInstanceServer server;
  if (!server.Listen(dir, "TFBFigure")) return 2;
  std::printf("primary\n");
  std::fflush(stdout);
  QObject::connect(&server, &zul::TInstanceServer::MessageReceived, [](int id) {
    std::printf("message %d\n", id);
    std::fflush(stdout);
  });
  QTimer::singleShot(lifeMs, &app, &QCoreApplication::quit);
  return QCoreApplication::exec();
}
