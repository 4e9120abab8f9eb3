#include "history/Metrics.h"

#include <QByteArray>
#include <QFileInfo>
#include <QHostAddress>
#include <QSettings>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <exception>
#include <memory>

#include "capture/Sampler.h"
#include "capture/Traffic.h"
#include "capture/Watch.h"
#include "display/vcls.h"
#include "history/Period.h"
#include "platform/ErrorReport.h"
#include "vartype.h"

namespace zul {
namespace {
using namespace std::chrono;

const system_clock::time_point kProgramStart = system_clock::now();

double EpochSeconds(system_clock::time_point t) {
  return duration<double>(t.time_since_epoch()).count();
}

QByteArray Response(const char* status, const char* contentType, const std::string& body) {
  QByteArray r;
  r += "HTTP/1.1 ";
  r += status;
  r += "\r\nContent-Type: ";
  r += contentType;
  r += "\r\nContent-Length: ";
  r += QByteArray::number(static_cast<qulonglong>(body.size()));
  r += "\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n";
  r.append(body.data(), static_cast<qsizetype>(body.size()));
  return r;
}

// The end of the request's head, or -1 while it is still coming.
qsizetype HeadEnd(const QByteArray& buffer) {
  const qsizetype crlf = buffer.indexOf("\r\n\r\n");
  const qsizetype lf = buffer.indexOf("\n\n");
  if (crlf < 0) return lf;
  if (lf < 0) return crlf;
  return std::min(crlf, lf);
}

QByteArray Answer(const QByteArray& head, const std::function<std::string()>& body) {
  const qsizetype eol = head.indexOf('\n');
  const QList<QByteArray> parts = (eol < 0 ? head : head.left(eol)).trimmed().split(' ');
  if (parts.size() != 3 || !parts[2].startsWith("HTTP/"))
    return Response("400 Bad Request", "text/plain; charset=utf-8", "Bad request.\n");
  QByteArray path = parts[1];
  if (const qsizetype q = path.indexOf('?'); q >= 0) path.truncate(q);
  if (parts[0] != "GET" || path != "/metrics")
    return Response("404 Not Found", "text/plain; charset=utf-8",
                    "Not found. The metrics are at /metrics.\n");
  try {
    return Response("200 OK", kMetricsContentType, body());
  } catch (const std::exception& e) {
    return Response("500 Internal Server Error", "text/plain; charset=utf-8",
                    std::string(e.what()) + "\n");
  }
}

// Kilobytes as the log stores them, to whole bytes.
uint64_t LoggedBytes(double kb) {
  const double b = kb * 1024.0 + 0.5;
  return b > 0 && b < 1.8e19 ? static_cast<uint64_t>(b) : 0;
}

// The kernel's drop count of an open capture, once its reader has taken one.
std::optional<uint64_t> KernelDrops(const TRemoteSnoop& snoop) {
  if (const auto stats = snoop.CurrentStats()) return stats->Dropped;
  return std::nullopt;
}

// The logged amounts of one record per view, plus the running hour when it belongs to it.
std::optional<TViewAmounts> LoggedPlusHour(TTrafficLog& log, int grouping, TDate key,
                                           bool hourBelongs) {
  TViewAmounts a{};
  for (int v = 0; v < kViewCount; ++v) {
    const std::optional<std::string> sql = QueryText(v, grouping, TPeriod{pmOneDate, key, {}});
    if (!sql) return std::nullopt;
    auto& slot = a[static_cast<std::size_t>(v)];
    for (const TLogRecord& r : log.Select(*sql)) {
      slot[kDirDown] += LoggedBytes(r.Dn);
      slot[kDirUp] += LoggedBytes(r.Up);
    }
    if (hourBelongs) {
      const TCounterPair pair = kViewCounters[static_cast<std::size_t>(v)];
      slot[kDirDown] += Traffic.HourTotals[static_cast<std::size_t>(pair.Down)];
      slot[kDirUp] += Traffic.HourTotals[static_cast<std::size_t>(pair.Up)];
    }
  }
  return a;
}

}  // namespace

TMetricsServer::TMetricsServer(std::function<std::string()> body, QObject* parent)
    : QObject(parent), FBody(std::move(body)) {}

TMetricsServer::~TMetricsServer() {
  Close();
}

bool TMetricsServer::Listen(uint16_t port, std::string& error) {
  Close();
  auto* v4 = new QTcpServer(this);
  if (!v4->listen(QHostAddress::LocalHost, port)) {
    error = "Cannot serve metrics on 127.0.0.1 port " + std::to_string(port) + ": " +
            v4->errorString().toStdString() + ".";
    delete v4;
    return false;
  }
  FServers.push_back(v4);
  // A machine without IPv6 (or with ::1 taken) is still served on IPv4.
  auto* v6 = new QTcpServer(this);
  if (v6->listen(QHostAddress::LocalHostIPv6, v4->serverPort()))
    FServers.push_back(v6);
  else
    delete v6;
  for (QTcpServer* s : FServers)
    connect(s, &QTcpServer::newConnection, this, [this, s] { TakeConnections(s); });
  return true;
}

void TMetricsServer::Close() {
  for (QTcpServer* s : FServers) delete s;
  FServers.clear();
  for (QTcpSocket* socket : findChildren<QTcpSocket*>(Qt::FindDirectChildrenOnly)) {
    disconnect(socket, nullptr, this, nullptr);
    socket->abort();
    delete socket;
  }
  FOpen = 0;
}

uint16_t TMetricsServer::Port() const {
  return FServers.empty() ? 0 : FServers.front()->serverPort();
}

bool TMetricsServer::IsListening() const {
  return !FServers.empty();
}

void TMetricsServer::TakeConnections(QTcpServer* server) {
  while (QTcpSocket* socket = server->nextPendingConnection()) {
    if (FOpen >= MaxConnections) {
      // A flood waits for nothing of ours: those past the bound are dropped at once.
      socket->abort();
      socket->deleteLater();
      continue;
    }
    socket->setParent(this);
    ++FOpen;
    connect(socket, &QObject::destroyed, this, [this] { --FOpen; });
    Serve(socket);
  }
}

void TMetricsServer::Serve(QTcpSocket* socket) {
  // Whatever the client does, the connection ends by the deadline.
  auto* deadline = new QTimer(socket);
  deadline->setSingleShot(true);
  connect(deadline, &QTimer::timeout, socket, [socket] {
    socket->abort();
    socket->deleteLater();
  });
  deadline->start(Timeout);
  connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);

  auto buffer = std::make_shared<QByteArray>();
  // Main thread, like every socket signal here.
  connect(socket, &QTcpSocket::readyRead, socket, [this, socket, buffer] {
    const qsizetype room = MaxRequestBytes + 1 - buffer->size();
    if (room > 0) buffer->append(socket->read(room));
    socket->readAll();  // past the bound: not kept
    const qsizetype end = HeadEnd(*buffer);
    QByteArray reply;
    if (end >= 0)
      reply = Answer(buffer->left(end), FBody);
    else if (buffer->size() > MaxRequestBytes)
      reply = Response("431 Request Header Fields Too Large", "text/plain; charset=utf-8",
                       "Request too large.\n");
    else
      return;
    disconnect(socket, &QTcpSocket::readyRead, nullptr, nullptr);
    buffer->clear();
    socket->write(reply);
    socket->disconnectFromHost();  // after the answer is out
  });
}

TMetricsSnapshot ProgramMetrics() {
  TMetricsSnapshot s;
  s.BytesTotal = MetricsCounters.Bytes;
  for (int v = 0; v < kViewCount; ++v) {
    const TCounterPair pair = kViewCounters[static_cast<std::size_t>(v)];
    s.LastSecond[static_cast<std::size_t>(v)] = {
        Traffic.LastSample[static_cast<std::size_t>(pair.Down)],
        Traffic.LastSample[static_cast<std::size_t>(pair.Up)]};
  }
  for (int i = 0; i < WatcherCount && i < kMaxWatchers; ++i) {
    const TWatch* w = Watchers[static_cast<std::size_t>(i)].get();
    if (w == nullptr) continue;
    TAdapterMetrics a;
    a.Name = w->DeviceName;
    if (w->Snoop) {
      a.Capturing = w->Snoop->Active();
      if (a.Capturing) a.KernelDrops = KernelDrops(*w->Snoop);
    }
    s.Adapters.push_back(std::move(a));
  }
  s.StartTime = EpochSeconds(kProgramStart);
  if (FVCLS == nullptr) return s;

  TTrafficLog& log = FVCLS->TLog;
  s.LogOpen = log.IsOpen();
  s.LogPendingBatches = log.QueuedBatches();
  if (const auto written = log.LastWriteTime()) s.LastLogWrite = EpochSeconds(*written);
  if (!s.LogOpen) return s;
  const TDate today = LocalNow().Date;
  const TDate hourDate = Sampler != nullptr ? Sampler->HourDate() : TDate{};
  try {
    s.Today = LoggedPlusHour(log, lgDaily, today, hourDate == today);
    s.Month = LoggedPlusHour(
        log, lgMonthly, TDate{MonthEnd(today)},
        hourDate.ok() && hourDate.year() == today.year() && hourDate.month() == today.month());
  } catch (const std::exception&) {
    // A log that cannot be read now: no totals rather than wrong ones.
    s.Today.reset();
    s.Month.reset();
  }
  return s;
}

uint16_t MetricsPortSetting(const std::string& iniPath, std::string& error) {
  if (MetricsPortOption > 0) return static_cast<uint16_t>(MetricsPortOption);
  const QString file = QString::fromLocal8Bit(iniPath.c_str());
  // Only a regular file: a FIFO planted there would hold up the start.
  if (!QFileInfo(file).isFile()) return 0;
  const QSettings ini(file, QSettings::IniFormat);
  if (ini.status() != QSettings::NoError) {
    error = "The settings file " + iniPath + " cannot be read; the metrics endpoint stays off.";
    return 0;
  }
  const QVariant value = ini.value(QStringLiteral("MetricsPort"));
  if (!value.isValid()) return 0;
  bool ok = false;
  const int port = value.toString().trimmed().toInt(&ok);
  if (!ok || port < 0 || port > 65535) {
    error = "MetricsPort in " + iniPath + " is \"" + value.toString().toStdString() +
            "\", which is no port number (1 to 65535, 0 for off); the metrics endpoint stays off.";
    return 0;
  }
  return static_cast<uint16_t>(port);
}

void StartMetrics(QObject* owner) {
  std::string error;
  const uint16_t port = MetricsPortSetting(DataDir + "zul.ini", error);
  if (!error.empty()) ReportError("metrics.config", error);
  if (port == 0) return;
  auto* server = new TMetricsServer([] { return RenderMetrics(ProgramMetrics()); }, owner);
  if (!server->Listen(port, error)) {
    ReportError("metrics.listen", error + " The program goes on without it.");
    delete server;
  }
}

}  // namespace zul
