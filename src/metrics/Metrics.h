// The metrics endpoint: GET /metrics on 127.0.0.1 and ::1, with the user's bearer token, answers
// the program's counters in the Prometheus text format. Off unless a port is given. Main thread
// only; no request blocks it.
#pragma once

#include <QObject>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "metrics/MetricsText.h"

class QTcpServer;
class QTcpSocket;

namespace zul {

class TMetricsServer : public QObject {
 public:
  // `body` makes the text of one scrape; `token` is what a request must carry as
  // "Authorization: Bearer TOKEN" to get it.
  TMetricsServer(std::function<std::string()> body, std::string token, QObject* parent = nullptr);
  ~TMetricsServer() override;

  // Listens on the loopback addresses alone, IPv4 and IPv6 (the latter where the machine has
  // it). Port 0 takes a free one, the same on both. Returns false with a plain reason in `error`
  // when the port cannot be had on either: another program on ::1 would be handed the token by
  // any client that asks for "localhost".
  bool Listen(uint16_t port, std::string& error);
  void Close();
  uint16_t Port() const;
  bool IsListening() const;

  // Bounds on what clients can take; a connection past them is closed at once. Connections are
  // counted per local user, so that another user holding them cannot starve the owner's scrapes.
  int MaxConnectionsPerUser = 4;
  int MaxConnections = 64;
  int MaxRequestBytes = 8192;
  std::chrono::milliseconds Timeout{2000};  // to send the request and take the answer
  // An answer is built at most this often; scrapes in between get the last one from memory.
  std::chrono::milliseconds MinBuildInterval{1000};

  int OpenConnections() const { return FOpen; }

 private:
  void TakeConnections(QTcpServer* server);
  void Serve(QTcpSocket* socket);
  QByteArray Answer(const QByteArray& head);
  const std::string& Body();

  std::function<std::string()> FBody;
  std::string FToken;
  std::vector<QTcpServer*> FServers;
  int FOpen = 0;
  std::map<uint32_t, int> FOpenPerUser;
  std::string FLastBody;
  std::optional<std::chrono::steady_clock::time_point> FLastBuilt;
};

// The token's file in the data folder.
inline constexpr const char* kMetricsTokenFile = "metrics.token";

// The endpoint's token, kept in `path` (the user's alone, 0600): the file's when it holds one, else
// a new random one written there. Throws std::runtime_error when the file cannot be read or made.
std::string MetricsToken(const std::string& path);

class TAppHours;
class TAppMetrics;
class TSampler;
class TTrafficLog;

// The program's endpoint values at this moment, from its counters, captures, `log` and `sampler`,
// and the applications' counters from `apps` through `appMetrics` (which keeps them from going
// down between scrapes) when both are given.
TMetricsSnapshot ProgramMetrics(TTrafficLog& log, const TSampler& sampler,
                                const TAppHours* apps = nullptr, TAppMetrics* appMetrics = nullptr);

// The port in force: --metrics-port, else the MetricsPort key of `iniPath`, else 0 (off). A
// value that is no port is reported in `error` and leaves the endpoint off.
uint16_t MetricsPortSetting(const std::string& iniPath, std::string& error);

// Start-up: the endpoint on the port in force, owned by `owner` (which also owns `log` and
// `sampler`), with the token of metrics.token in the data folder. A port that cannot be had is
// reported to the user, and the program goes on without it. `apps`, when given, outlives `owner`.
void StartMetrics(QObject* owner, TTrafficLog& log, const TSampler& sampler,
                  const TAppHours* apps = nullptr);

}  // namespace zul
