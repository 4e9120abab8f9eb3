// The metrics endpoint over real sockets: what it answers and to whom, and that clients which send
// nothing, send too much or open many connections, of this user or another, neither stall the
// main thread nor outlive their bound nor starve the owner's scrapes.
#include <arpa/inet.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QTcpServer>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

#include "metrics/Metrics.h"
#include "platform/UniqueFd.h"

namespace zul {
namespace {
using namespace std::chrono;
using namespace std::chrono_literals;

// Runs `client` on a thread of its own while the main thread serves, as the program's loop does.
template <class F>
auto WhileServing(F client, milliseconds bound = 10s) {
  auto done = std::async(std::launch::async, client);
  const auto until = steady_clock::now() + bound;
  while (done.wait_for(0ms) != std::future_status::ready && steady_clock::now() < until)
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  return done.get();
}

TUniqueFd Connect(uint16_t port, bool v6 = false) {
  TUniqueFd fd(::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  int rc;
  if (v6) {
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_port = htons(port);
    a.sin6_addr = in6addr_loopback;
    rc = ::connect(fd.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a);
  } else {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    rc = ::connect(fd.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a);
  }
  if (rc != 0) fd.Reset();
  return fd;
}

void Send(const TUniqueFd& fd, const std::string& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = ::send(fd.Get(), bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return;  // the server closed: what it answered is still to be read
    sent += static_cast<std::size_t>(n);
  }
}

// Everything the server sends until it closes, or until `bound`; `closed` says which.
std::string ReadAll(const TUniqueFd& fd, milliseconds bound, bool* closed = nullptr) {
  std::string got;
  const auto until = steady_clock::now() + bound;
  if (closed) *closed = false;
  while (steady_clock::now() < until) {
    pollfd p{fd.Get(), POLLIN, 0};
    const auto left = duration_cast<milliseconds>(until - steady_clock::now()).count();
    if (::poll(&p, 1, static_cast<int>(std::max<long long>(left, 1))) <= 0) continue;
    char buf[4096];
    const ssize_t n = ::recv(fd.Get(), buf, sizeof buf, 0);
    if (n <= 0) {
      if (closed) *closed = true;
      break;
    }
    got.append(buf, static_cast<std::size_t>(n));
  }
  return got;
}

std::string Get(uint16_t port, const std::string& request, bool v6 = false) {
  const TUniqueFd fd = Connect(port, v6);
  if (!fd) return "no connection";
  Send(fd, request);
  return ReadAll(fd, 3s);
}

constexpr const char* kToken = "0123456789abcdef0123456789abcdef";
const std::string kAuth = std::string("Authorization: Bearer ") + kToken + "\r\n";

class MetricsServer : public ::testing::Test {
 protected:
  void SetUp() override {
    Server.Timeout = 400ms;
    Server.MaxConnectionsPerUser = 4;
    Server.MinBuildInterval = 0ms;
    std::string error;
    ASSERT_TRUE(Server.Listen(0, error)) << error;
    Port = Server.Port();
    ASSERT_NE(Port, 0);
  }
  static bool IsScrape(const std::string& r) {
    return r.rfind("HTTP/1.1 200 OK\r\n", 0) == 0 && r.ends_with(kBody);
  }
  static std::string Scrape(uint16_t port) {
    return Get(port, "GET /metrics HTTP/1.1\r\nHost: x\r\n" + kAuth + "\r\n");
  }
  bool Scrapes() {
    return IsScrape(WhileServing([this] { return Scrape(Port); }));
  }

  static constexpr const char* kBody = "# HELP zul_x X.\n# TYPE zul_x gauge\nzul_x 1\n";
  std::atomic<int> Calls{0};
  TMetricsServer Server{[this] {
                          ++Calls;
                          return std::string(kBody);
                        },
                        kToken};
  uint16_t Port = 0;
};

TEST_F(MetricsServer, AnswersGetMetricsWithTheTokenAndNothingElse) {
  struct TCase {
    std::string Request;
    const char* Status;
  };
  const std::string get = "GET /metrics HTTP/1.1\r\n";
  const std::vector<TCase> cases = {
      {get + "Host: localhost\r\nAccept: */*\r\n" + kAuth + "\r\n", "200 OK"},
      {"GET /metrics HTTP/1.0\n" + kAuth + "\n", "200 OK"},
      {"GET /metrics?name[]=zul_x HTTP/1.1\r\nauthorization:  bearer " + std::string(kToken) +
           " \r\n\r\n",
       "200 OK"},
      {"GET / HTTP/1.1\r\n" + kAuth + "\r\n", "404 Not Found"},
      {"GET /metrics/x HTTP/1.1\r\n" + kAuth + "\r\n", "404 Not Found"},
      {"POST /metrics HTTP/1.1\r\nContent-Length: 0\r\n" + kAuth + "\r\n", "404 Not Found"},
      {"HEAD /metrics HTTP/1.1\r\n" + kAuth + "\r\n", "404 Not Found"},
      {"hello\r\n" + kAuth + "\r\n", "400 Bad Request"},
      {"GET /metrics\r\n" + kAuth + "\r\n", "400 Bad Request"},
      // Without the right token: 401 and nothing else, whatever the request.
      {get + "\r\n", "401 Unauthorized"},
      {get + "Authorization: Bearer " + std::string(kToken).substr(1) + "x\r\n\r\n",
       "401 Unauthorized"},
      {get + "Authorization: Bearer " + std::string(kToken) + "0\r\n\r\n", "401 Unauthorized"},
      {get + "Authorization: Bearer\r\n\r\n", "401 Unauthorized"},
      {get + "Authorization: Basic " + std::string(kToken) + "\r\n\r\n", "401 Unauthorized"},
      {get + "X-Authorization: Bearer " + std::string(kToken) + "\r\n\r\n", "401 Unauthorized"},
      {get + "Authorization: " + std::string(kToken) + "\r\n\r\n", "401 Unauthorized"},
      {"GET / HTTP/1.1\r\n\r\n", "401 Unauthorized"},
      {"hello\r\n\r\n", "401 Unauthorized"},
  };
  for (const TCase& c : cases) {
    const std::string r = WhileServing([&] { return Get(Port, c.Request); });
    EXPECT_EQ(r.substr(0, r.find("\r\n")), std::string("HTTP/1.1 ") + c.Status) << c.Request;
    const bool ok = std::string(c.Status) == "200 OK";
    EXPECT_EQ(
        r.find("Content-Type: text/plain; version=0.0.4; charset=utf-8\r\n") != std::string::npos,
        ok)
        << r;
    EXPECT_EQ(r.ends_with(std::string("\r\n\r\n") + kBody), ok) << r;
    if (std::string(c.Status).starts_with("401")) {
      EXPECT_EQ(r.find("zul_"), std::string::npos) << r;
      EXPECT_TRUE(r.ends_with("\r\n\r\nUnauthorized.\n")) << r;
    }
  }
  EXPECT_EQ(Calls, 3);
}

TEST_F(MetricsServer, ScrapesWithinTheIntervalAreServedFromMemory) {
  Server.MinBuildInterval = 1h;
  for (int i = 0; i < 5; ++i) EXPECT_TRUE(Scrapes());
  EXPECT_EQ(Calls, 1);
  // Requests without the token build nothing.
  Server.MinBuildInterval = 0ms;
  WhileServing([this] { return Get(Port, "GET /metrics HTTP/1.1\r\n\r\n"); });
  EXPECT_EQ(Calls, 1);
  EXPECT_TRUE(Scrapes());
  EXPECT_EQ(Calls, 2);
}

TEST_F(MetricsServer, ServesTheIpv6LoopbackWhereTheMachineHasIt) {
  const TUniqueFd probe(::socket(AF_INET6, SOCK_STREAM, 0));
  sockaddr_in6 a{};
  a.sin6_family = AF_INET6;
  a.sin6_addr = in6addr_loopback;
  if (!probe || ::bind(probe.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
    GTEST_SKIP() << "no IPv6 loopback here";
  const std::string r = WhileServing(
      [this] { return Get(Port, "GET /metrics HTTP/1.1\r\n" + kAuth + "\r\n", true); });
  EXPECT_EQ(r.rfind("HTTP/1.1 200 OK", 0), 0u) << r;
}

TEST_F(MetricsServer, ASilentClientIsClosedAtTheDeadlineAndStallsNoOneMeanwhile) {
  const auto started = steady_clock::now();
  const auto [silentClosed, othersServed] = WhileServing([this] {
    const TUniqueFd silent = Connect(Port);
    // Others are served while it waits.
    bool served = true;
    for (int i = 0; i < 3; ++i) served = served && IsScrape(Scrape(Port));
    bool closed = false;
    const std::string got = ReadAll(silent, 3s, &closed);
    return std::pair{closed && got.empty(), served};
  });
  EXPECT_TRUE(silentClosed);
  EXPECT_TRUE(othersServed);
  EXPECT_LT(steady_clock::now() - started, 2500ms);
  EXPECT_EQ(Server.OpenConnections(), 0);
  // A request trickled in slower than the deadline is cut off too.
  const bool cut = WhileServing([this] {
    const TUniqueFd slow = Connect(Port);
    Send(slow, "GET /met");
    std::this_thread::sleep_for(600ms);
    Send(slow, "rics HTTP/1.1\r\n\r\n");
    bool closed = false;
    return ReadAll(slow, 2s, &closed).empty() && closed;
  });
  EXPECT_TRUE(cut);
}

TEST_F(MetricsServer, AHugeRequestIsRefusedWithoutBeingKept) {
  const std::string r = WhileServing([this] {
    const TUniqueFd fd = Connect(Port);
    Send(fd, "GET /" + std::string(4 << 20, 'a'));
    return ReadAll(fd, 3s);
  });
  // Either the refusal arrived, or the connection was reset while the client still sent.
  if (!r.empty()) {
    EXPECT_EQ(r.rfind("HTTP/1.1 431 Request Header Fields Too Large\r\n", 0), 0u);
  }
  EXPECT_EQ(Calls, 0);
  EXPECT_TRUE(Scrapes());
  // Headers that never end count against the same bound.
  const std::string h = WhileServing([this] {
    const TUniqueFd fd = Connect(Port);
    std::string head = "GET /metrics HTTP/1.1\r\n";
    for (int i = 0; i < 1000; ++i) head += "X-Pad: " + std::to_string(i) + "\r\n";
    Send(fd, head);
    return ReadAll(fd, 3s);
  });
  EXPECT_EQ(h.rfind("HTTP/1.1 431", 0), 0u) << h.substr(0, 80);
  EXPECT_EQ(Calls, 1);
}

TEST_F(MetricsServer, ManyConnectionsAreBoundedAndTheEndpointRecovers) {
  // The kernel completes the connections; the server takes them as it gets to them.
  std::vector<TUniqueFd> many;
  for (int i = 0; i < 40; ++i) many.push_back(Connect(Port));
  WhileServing([] {
    std::this_thread::sleep_for(150ms);
    return 0;
  });
  EXPECT_EQ(Server.OpenConnections(), Server.MaxConnectionsPerUser);
  // Those past the bound are closed at once, long before the deadline.
  const int closedAtOnce = WhileServing([&many] {
    int n = 0;
    for (const TUniqueFd& fd : many) {
      bool closed = false;
      ReadAll(fd, 20ms, &closed);
      n += closed ? 1 : 0;
    }
    return n;
  });
  EXPECT_EQ(closedAtOnce, 40 - Server.MaxConnectionsPerUser);
  // Once the held ones reach their deadline, scrapes work again.
  WhileServing([] {
    std::this_thread::sleep_for(600ms);
    return 0;
  });
  EXPECT_EQ(Server.OpenConnections(), 0);
  EXPECT_TRUE(Scrapes());
}

// Another user holds as many idle connections as it can get; the owner's scrapes still go
// through, and the other user's connections are closed at the deadline.
TEST_F(MetricsServer, AnotherUserHoldingConnectionsDoesNotStarveTheOwner) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run a client as another user";
  int ready[2];
  int release[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(release), 0);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    close(ready[0]);
    close(release[1]);
    if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(1);
    // No allocation after the fork: the parent may have other threads.
    TUniqueFd held[40];
    for (TUniqueFd& fd : held) fd = Connect(Port);
    const char byte = 1;
    [[maybe_unused]] const ssize_t w = write(ready[1], &byte, 1);
    char ignored;
    [[maybe_unused]] const ssize_t r = read(release[0], &ignored, 1);  // until the test ends
    _exit(0);
  }
  close(ready[1]);
  close(release[0]);
  Server.Timeout = 1500ms;
  const auto [others, scrapes] = WhileServing([&] {
    char byte = 0;
    [[maybe_unused]] const ssize_t r = read(ready[0], &byte, 1);
    std::this_thread::sleep_for(200ms);  // the server takes the stranger's connections
    const int open = Server.OpenConnections();
    int ok = 0;
    for (int i = 0; i < 5; ++i) ok += IsScrape(Scrape(Port)) ? 1 : 0;
    return std::pair{open, ok};
  });
  close(release[1]);
  close(ready[0]);
  waitpid(pid, nullptr, 0);
  EXPECT_EQ(others, Server.MaxConnectionsPerUser);
  EXPECT_EQ(scrapes, 5);
}

TEST_F(MetricsServer, APortTakenOnEitherLoopbackIsRefusedPlainly) {
  TMetricsServer second([] { return std::string(); }, kToken);
  std::string error;
  EXPECT_FALSE(second.Listen(Port, error));
  EXPECT_EQ(error, "Port " + std::to_string(Port) +
                       " on 127.0.0.1 is taken by another program, so ZUL serves no metrics. "
                       "Choose a free port with --metrics-port or MetricsPort in zul.ini.");
  EXPECT_FALSE(second.IsListening());
  EXPECT_TRUE(Scrapes());

  // Another program on ::1 alone would be handed the token by clients of "localhost".
  const TUniqueFd squatter(::socket(AF_INET6, SOCK_STREAM, 0));
  sockaddr_in6 a{};
  a.sin6_family = AF_INET6;
  a.sin6_addr = in6addr_loopback;
  socklen_t len = sizeof a;
  if (!squatter || ::bind(squatter.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      ::listen(squatter.Get(), 1) != 0 ||
      ::getsockname(squatter.Get(), reinterpret_cast<sockaddr*>(&a), &len) != 0)
    GTEST_SKIP() << "no IPv6 loopback here";
  const uint16_t port = ntohs(a.sin6_port);
  error.clear();
  EXPECT_FALSE(second.Listen(port, error));
  EXPECT_NE(error.find("Port " + std::to_string(port) + " on ::1 is taken"), std::string::npos)
      << error;
  EXPECT_FALSE(second.IsListening());
}

TEST(MetricsToken, IsMadeOnceAtRandomAndKeptPrivate) {
  char dir[] = "/tmp/zul-token-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string file = std::string(dir) + "/" + kMetricsTokenFile;
  const auto mode = [&] {
    struct stat st {};
    return ::stat(file.c_str(), &st) == 0 ? st.st_mode & 0777 : 0u;
  };
  const std::string first = MetricsToken(file);
  EXPECT_EQ(first.size(), 64u);
  EXPECT_EQ(first.find_first_not_of("0123456789abcdef"), std::string::npos) << first;
  EXPECT_EQ(mode(), 0600u);
  EXPECT_EQ(MetricsToken(file), first);

  struct TCase {
    const char* Content;
    bool Kept;
  };
  const std::vector<TCase> cases = {
      {"my-own-token-of-24-chars\n", true},
      {"", false},
      {"short\n", false},
      {"two words are not one token\n", false},
  };
  for (const TCase& c : cases) {
    std::ofstream(file, std::ios::trunc) << c.Content;
    ::chmod(file.c_str(), 0644);
    const std::string token = MetricsToken(file);
    EXPECT_EQ(mode(), 0600u) << c.Content;
    if (c.Kept) {
      EXPECT_EQ(token + "\n", c.Content);
    } else {
      EXPECT_EQ(token.size(), 64u) << c.Content;
      EXPECT_NE(token, first);
    }
  }
  std::filesystem::remove_all(dir);
}

TEST(MetricsPort, ComesFromTheCommandLineOrTheIniFile) {
  char dir[] = "/tmp/zul-ini-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string ini = std::string(dir) + "/zul.ini";
  struct TCase {
    const char* Content;  // nullptr: no file
    int Option;
    uint16_t Port;
    const char* Error;
  };
  const std::vector<TCase> cases = {
      {nullptr, 0, 0, ""},
      {nullptr, 9200, 9200, ""},
      {"[General]\nMetricsPort=9101\n", 0, 9101, ""},
      {"MetricsPort = 9102\n", 0, 9102, ""},
      {"[General]\nMetricsPort=9101\n", 9300, 9300, ""},
      {"[General]\nMetricsPort=0\n", 0, 0, ""},
      {"[General]\nOther=1\n", 0, 0, ""},
      {"[General]\nMetricsPort=http\n", 0, 0, "no port number"},
      {"[General]\nMetricsPort=70000\n", 0, 0, "no port number"},
  };
  for (const TCase& c : cases) {
    std::filesystem::remove(ini);
    if (c.Content != nullptr) std::ofstream(ini) << c.Content;
    MetricsPortOption = c.Option;
    std::string error;
    EXPECT_EQ(MetricsPortSetting(ini, error), c.Port) << (c.Content ? c.Content : "no file");
    EXPECT_NE(error.find(c.Error), std::string::npos) << error;
    if (*c.Error == '\0') {
      EXPECT_EQ(error, "");
    }
  }
  MetricsPortOption = 0;
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace zul

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
