// The metrics endpoint: GET /metrics on 127.0.0.1 and ::1 answers the program's counters in the
// Prometheus text format. Off unless a port is given. Main thread only; no request blocks it.
#pragma once

#include <QObject>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "history/MetricsText.h"

class QTcpServer;
class QTcpSocket;

namespace zul {

class TMetricsServer : public QObject {
 public:
  // `body` makes the text of one scrape.
  explicit TMetricsServer(std::function<std::string()> body, QObject* parent = nullptr);
  ~TMetricsServer() override;

  // Listens on the loopback addresses alone, IPv4 and IPv6 (the latter where the machine has
  // it). Port 0 takes a free one, the same on both. Returns false with the reason in `error`
  // when nothing listens.
  bool Listen(uint16_t port, std::string& error);
  void Close();
  uint16_t Port() const;
  bool IsListening() const;

  // Bounds on what one client can take; a connection past them is closed.
  int MaxConnections = 8;
  int MaxRequestBytes = 8192;
  std::chrono::milliseconds Timeout{5000};  // to send the request and take the answer

  int OpenConnections() const { return FOpen; }

 private:
  void TakeConnections(QTcpServer* server);
  void Serve(QTcpSocket* socket);

  std::function<std::string()> FBody;
  std::vector<QTcpServer*> FServers;
  int FOpen = 0;
};

// The program's endpoint values at this moment.
TMetricsSnapshot ProgramMetrics();

// The port in force: --metrics-port, else the MetricsPort key of `iniPath`, else 0 (off). A
// value that is no port is reported in `error` and leaves the endpoint off.
uint16_t MetricsPortSetting(const std::string& iniPath, std::string& error);

// Start-up, from the hidden main form: the endpoint on the port in force, owned by `owner`. A
// port that cannot be had is reported to the user, and the program goes on without it.
void StartMetrics(QObject* owner);

}  // namespace zul
