#include "metrics/Metrics.h"

#include <sys/random.h>
#include <unistd.h>

#include <QByteArray>
#include <QFileInfo>
#include <QHostAddress>
#include <QSettings>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <exception>
#include <memory>
#include <stdexcept>

#include "capture/Traffic.h"
#include "capture/Watch.h"
#include "history/AppHours.h"
#include "history/Period.h"
#include "history/PlanWatch.h"
#include "history/Sampler.h"
#include "history/TrafficLog.h"
#include "metrics/AppMetrics.h"
#include "platform/ErrorReport.h"
#include "platform/Files.h"
#include "platform/PeerUser.h"
#include "vartype.h"

namespace zul {
namespace {
using namespace std::chrono;

const system_clock::time_point kProgramStart = system_clock::now();

double EpochSeconds(system_clock::time_point t) {
  return duration<double>(t.time_since_epoch()).count();
}

QByteArray Response(const char* status, const char* contentType, const std::string& body,
                    const char* extraHeader = nullptr) {
  QByteArray r;
  r += "HTTP/1.1 ";
  r += status;
  if (extraHeader != nullptr) {
    r += "\r\n";
    r += extraHeader;
  }
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

constexpr const char* kPlainText = "text/plain; charset=utf-8";

// Whether the request's head carries "Authorization: Bearer `token`". Compared in constant time,
// so that the answer's timing tells nothing about how much of a guess was right.
bool HasToken(const QByteArray& head, const std::string& token) {
  bool found = false;
  for (const QByteArray& line : head.split('\n')) {
    const qsizetype colon = line.indexOf(':');
    if (colon < 0 || line.left(colon).trimmed().toLower() != "authorization") continue;
    const QByteArray value = line.mid(colon + 1).trimmed();
    const qsizetype blank = value.indexOf(' ');
    if (blank < 0 || value.left(blank).toLower() != "bearer") continue;
    const QByteArray given = value.mid(blank + 1).trimmed();
    if (static_cast<std::size_t>(given.size()) != token.size()) continue;
    unsigned char diff = 0;
    for (std::size_t i = 0; i < token.size(); ++i)
      diff |= static_cast<unsigned char>(given[static_cast<qsizetype>(i)] ^ token[i]);
    found = found || diff == 0;
  }
  return found;
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

// The logged amounts of one record per view.
TViewAmounts Logged(TTrafficLog& log, int grouping, TDate key) {
  TViewAmounts a{};
  for (int v = 0; v < kViewCount; ++v) {
    const std::optional<std::string> sql = QueryText(v, grouping, TPeriod{pmOneDate, key, {}});
    if (!sql) throw std::runtime_error("no query for the view's record");
    auto& slot = a[static_cast<std::size_t>(v)];
    for (const TLogRecord& r : log.Select(*sql)) {
      slot[kDirDown] += LoggedBytes(r.Dn);
      slot[kDirUp] += LoggedBytes(r.Up);
    }
  }
  return a;
}

// Today's and this month's logged records, read again only when the day changes or the log has
// written since: between the hourly writes a scrape reads nothing from the log.
struct TLoggedTotals {
  TDate Day{};
  std::optional<system_clock::time_point> Written;
  TViewAmounts Today{};
  TViewAmounts Month{};
  bool Valid = false;
};
TLoggedTotals LoggedCache;

const TLoggedTotals& LoggedTotals(TTrafficLog& log, TDate today) {
  const auto written = log.LastWriteTime();
  if (!LoggedCache.Valid || LoggedCache.Day != today || LoggedCache.Written != written) {
    LoggedCache.Valid = false;
    LoggedCache.Today = Logged(log, lgDaily, today);
    LoggedCache.Month = Logged(log, lgMonthly, TDate{MonthEnd(today)});
    LoggedCache.Day = today;
    LoggedCache.Written = written;
    LoggedCache.Valid = true;
  }
  return LoggedCache;
}

// `logged` plus the running hour's totals.
TViewAmounts PlusHour(TViewAmounts a) {
  for (int v = 0; v < kViewCount; ++v) {
    const TCounterPair pair = kViewCounters[static_cast<std::size_t>(v)];
    auto& slot = a[static_cast<std::size_t>(v)];
    slot[kDirDown] += Traffic.HourTotals[static_cast<std::size_t>(pair.Down)];
    slot[kDirUp] += Traffic.HourTotals[static_cast<std::size_t>(pair.Up)];
  }
  return a;
}

}  // namespace

TMetricsServer::TMetricsServer(std::function<std::string()> body, std::string token,
                               QObject* parent)
    : QObject(parent), FBody(std::move(body)), FToken(std::move(token)) {}

TMetricsServer::~TMetricsServer() {
  Close();
}

bool TMetricsServer::Listen(uint16_t port, std::string& error) {
  Close();
  const auto taken = [&](const char* address, uint16_t p) {
    return "Port " + std::to_string(p) + " on " + address +
           " is taken by another program, so ZUL serves no metrics. Choose a free port with "
           "--metrics-port or MetricsPort in zul.ini.";
  };
  auto* v4 = new QTcpServer(this);
  if (!v4->listen(QHostAddress::LocalHost, port)) {
    error = v4->serverError() == QAbstractSocket::AddressInUseError
                ? taken("127.0.0.1", port)
                : "Cannot serve metrics on 127.0.0.1 port " + std::to_string(port) + ": " +
                      v4->errorString().toStdString() + ".";
    delete v4;
    return false;
  }
  FServers.push_back(v4);
  // A machine without IPv6 is served on IPv4 alone; ::1 held by another program is not, since
  // clients that ask for "localhost" may go there first and hand it the token.
  auto* v6 = new QTcpServer(this);
  if (v6->listen(QHostAddress::LocalHostIPv6, v4->serverPort())) {
    FServers.push_back(v6);
  } else {
    const bool inUse = v6->serverError() == QAbstractSocket::AddressInUseError;
    delete v6;
    if (inUse) {
      error = taken("::1", v4->serverPort());
      Close();
      return false;
    }
  }
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
  FOpenPerUser.clear();
}

uint16_t TMetricsServer::Port() const {
  return FServers.empty() ? 0 : FServers.front()->serverPort();
}

bool TMetricsServer::IsListening() const {
  return !FServers.empty();
}

void TMetricsServer::TakeConnections(QTcpServer* server) {
  // Connections whose user the kernel cannot tell share one count.
  constexpr uint32_t kUnknownUser = UINT32_MAX;
  while (QTcpSocket* socket = server->nextPendingConnection()) {
    const uint32_t user =
        LocalPeerUser(static_cast<int>(socket->socketDescriptor())).value_or(kUnknownUser);
    int& mine = FOpenPerUser[user];
    if (FOpen >= MaxConnections || mine >= MaxConnectionsPerUser) {
      // A flood waits for nothing of ours: those past the bound are dropped at once.
      if (mine == 0) FOpenPerUser.erase(user);
      socket->abort();
      socket->deleteLater();
      continue;
    }
    socket->setParent(this);
    ++FOpen;
    ++mine;
    connect(socket, &QObject::destroyed, this, [this, user] {
      --FOpen;
      if (const auto it = FOpenPerUser.find(user); it != FOpenPerUser.end() && --it->second <= 0)
        FOpenPerUser.erase(it);
    });
    Serve(socket);
  }
}

const std::string& TMetricsServer::Body() {
  const auto now = steady_clock::now();
  if (!FLastBuilt || now - *FLastBuilt >= MinBuildInterval) {
    FLastBody = FBody();
    FLastBuilt = now;
  }
  return FLastBody;
}

QByteArray TMetricsServer::Answer(const QByteArray& head) {
  // Nothing, not even whether the path exists, without the token.
  if (!HasToken(head, FToken))
    return Response("401 Unauthorized", kPlainText, "Unauthorized.\n",
                    "WWW-Authenticate: Bearer realm=\"zul\"");
  const qsizetype eol = head.indexOf('\n');
  const QList<QByteArray> parts = (eol < 0 ? head : head.left(eol)).trimmed().split(' ');
  if (parts.size() != 3 || !parts[2].startsWith("HTTP/"))
    return Response("400 Bad Request", kPlainText, "Bad request.\n");
  QByteArray path = parts[1];
  if (const qsizetype q = path.indexOf('?'); q >= 0) path.truncate(q);
  if (parts[0] != "GET" || path != "/metrics")
    return Response("404 Not Found", kPlainText, "Not found. The metrics are at /metrics.\n");
  try {
    return Response("200 OK", kMetricsContentType, Body());
  } catch (const std::exception& e) {
    return Response("500 Internal Server Error", kPlainText, std::string(e.what()) + "\n");
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
      reply = Answer(buffer->left(end));
    else if (buffer->size() > MaxRequestBytes)
      reply = Response("431 Request Header Fields Too Large", kPlainText, "Request too large.\n");
    else
      return;
    disconnect(socket, &QTcpSocket::readyRead, nullptr, nullptr);
    buffer->clear();
    socket->write(reply);
    socket->disconnectFromHost();  // after the answer is out
  });
}

std::string MetricsToken(const std::string& path) {
  constexpr std::size_t kRandomBytes = 32;
  const TUniqueFd file = OpenPrivateFile(path, "metrics token file");
  std::string kept(256, '\0');
  const ssize_t n = pread(file.Get(), kept.data(), kept.size(), 0);
  if (n < 0)
    throw std::runtime_error("Cannot read the metrics token file " + path + ": " +
                             std::strerror(errno));
  kept.resize(static_cast<std::size_t>(n));
  while (!kept.empty() && std::isspace(static_cast<unsigned char>(kept.back()))) kept.pop_back();
  // A token of the user's own is kept when it is one HTTP header can carry and hard to guess.
  const bool usable =
      kept.size() >= 16 && kept.size() < 256 &&
      std::all_of(kept.begin(), kept.end(), [](char c) { return c > ' ' && c < 127; });
  if (usable) return kept;

  uint8_t random[kRandomBytes];
  if (getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random))
    throw std::runtime_error("Cannot make a metrics token: " + std::string(std::strerror(errno)));
  static constexpr char kHex[] = "0123456789abcdef";
  std::string token;
  for (const uint8_t b : random) {
    token += kHex[b >> 4];
    token += kHex[b & 15];
  }
  const std::string text = token + "\n";
  WriteFileAtomically(path, {reinterpret_cast<const uint8_t*>(text.data()), text.size()},
                      kPrivateFileMode, "metrics token file");
  return token;
}

TMetricsSnapshot ProgramMetrics(TTrafficLog& log, const TSampler& sampler, const TAppHours* apps,
                                TAppMetrics* appMetrics) {
  TMetricsSnapshot s;
  if (apps != nullptr && appMetrics != nullptr)
    s.AppLines = appMetrics->Lines(apps->SinceStart(Traffic.HourTotals));
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
  if (PlanWatch != nullptr && PlanWatch->Status()) {
    const TPlanStatus& st = *PlanWatch->Status();
    s.Plan =
        TPlanMetrics{st.UsedBytes, st.CapBytes, st.ForecastBytes, st.DailyBudgetBytes, st.DaysLeft};
  }
  s.LogOpen = log.IsOpen();
  s.LogPendingBatches = log.QueuedBatches();
  if (const auto written = log.LastWriteTime()) s.LastLogWrite = EpochSeconds(*written);
  if (!s.LogOpen) return s;
  const TDate today = LocalNow().Date;
  const TDate hourDate = sampler.HourDate();
  try {
    const TLoggedTotals& logged = LoggedTotals(log, today);
    s.Today = hourDate == today ? PlusHour(logged.Today) : logged.Today;
    const bool hourInMonth =
        hourDate.ok() && hourDate.year() == today.year() && hourDate.month() == today.month();
    s.Month = hourInMonth ? PlusHour(logged.Month) : logged.Month;
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

void StartMetrics(QObject* owner, TTrafficLog& log, const TSampler& sampler,
                  const TAppHours* apps) {
  std::string error;
  const uint16_t port = MetricsPortSetting(DataDir + "zul.ini", error);
  if (!error.empty()) ReportError("metrics.config", error);
  if (port == 0) return;
  std::string token;
  try {
    MakePrivateDir(DataDir, "data folder");
    token = MetricsToken(DataDir + kMetricsTokenFile);
  } catch (const std::exception& e) {
    ReportError("metrics.token", std::string(e.what()) + " ZUL serves no metrics.");
    return;
  }
  auto appMetrics = std::make_shared<TAppMetrics>();
  auto* server = new TMetricsServer(
      [&log, &sampler, apps, appMetrics] {
        return RenderMetrics(ProgramMetrics(log, sampler, apps, appMetrics.get()));
      },
      std::move(token), owner);
  if (!server->Listen(port, error)) {
    ReportError("metrics.listen", error);
    delete server;
  }
}

}  // namespace zul
