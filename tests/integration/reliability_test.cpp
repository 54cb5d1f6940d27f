// The loop under hostile connection patterns: idle connections and more
// connections than the server has descriptors for.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <sstream>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "store/file_cache.h"
#include "tests/support/server_fixture.h"
#include "wire/v1.h"

namespace {

using namespace std::chrono;
using testing_support::central_server;

using testing_support::connect_local;

// Sends a coded request on an open connection and returns the decoded reply.
std::string request_on(int fd, const char* message, int timeout_s) {
  unsigned char frame[1024];
  codeV1(message, frame);
  ::send(fd, frame, sizeof frame, MSG_NOSIGNAL);
  timeval tv{timeout_s, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  if (::recv(fd, frame, sizeof frame, MSG_WAITALL) != 1024) return "<no reply>";
  char text[512];
  decodeV1(frame, text);
  return text;
}

// User plus system CPU seconds of a process.
double cpu_seconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::istringstream fields(stat.substr(stat.rfind(')') + 2));
  std::string f;
  long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && fields >> f; ++i) {
    if (i == 14) utime = std::stol(f);
    if (i == 15) stime = std::stol(f);
  }
  return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// Connections opened and left silent, kept without blocking on a full
// backlog (a connect still under way counts: the server sees it once it is
// accepted).
int open_silent(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  return fd;
}

// True when the server has closed fd without sending anything.
bool closed_by_server(int fd) {
  char byte;
  return ::recv(fd, &byte, 1, MSG_DONTWAIT) == 0;
}

// One test, because the idle limit makes it wait half a minute: without
// pressure on its descriptors an idle connection keeps its 30 s, open
// connections are served meanwhile, and the loop does not spin.
TEST(Reliability, IdleConnectionsAreClosedAfterTheLimitWhenNobodyElseWaits) {
  testing_support::server_options opts;
  opts.max_descriptors = 64;
  central_server server(opts);
  ASSERT_TRUE(server.start());

  std::vector<int> idle;
  for (int i = 0; i < 20; ++i) {
    int fd = connect_local(server.port());
    ASSERT_GE(fd, 0);
    idle.push_back(fd);
  }
  std::this_thread::sleep_for(milliseconds(300));
  double cpu_before = cpu_seconds(server.pid());
  auto start = steady_clock::now();

  // An accepted connection is served whenever its request comes.
  EXPECT_EQ(request_on(idle.front(), "TEST=H00&", 5), "REPLY=velmorTAVR_CENTRAL&");
  ::close(idle.front());
  idle.erase(idle.begin());
  EXPECT_EQ(server.ask("TEST=H00&"), "REPLY=velmorTAVR_CENTRAL&");
  for (int fd : idle) EXPECT_FALSE(closed_by_server(fd)) << "closed before its limit, with room to spare";

  // The rest are closed by the server, without a reply, after the limit.
  char byte;
  timeval tv{45, 0};
  ::setsockopt(idle.front(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  EXPECT_EQ(::recv(idle.front(), &byte, 1, 0), 0);
  auto waited = duration_cast<seconds>(steady_clock::now() - start).count();
  EXPECT_GE(waited, 25);
  EXPECT_LE(waited, 40);
  EXPECT_LT(cpu_seconds(server.pid()) - cpu_before, 2.0) << "the loop spun while it waited";
  for (int fd : idle) ::close(fd);
  EXPECT_EQ(server.ask("TEST=H00&"), "REPLY=velmorTAVR_CENTRAL&");
}

// More silent connections than the server has descriptors for, held open or
// reopened as soon as the server closes them: a new client is still answered
// at once, because a full table gives way to it.
TEST(Reliability, SilentConnectionsCannotKeepANewClientOut) {
  struct row {
    int limit;
    int silent;
    bool reopened;
  };
  for (const row& r : {row{64, 300, false}, row{64, 200, true}, row{1024, 2000, false}}) {
    SCOPED_TRACE(std::to_string(r.silent) + (r.reopened ? " reopened" : " held") + " under a limit of " +
                 std::to_string(r.limit));
    testing_support::server_options opts;
    opts.max_descriptors = r.limit;
    central_server server(opts);
    ASSERT_TRUE(server.start());
    std::vector<int> silent;
    for (int i = 0; i < r.silent; ++i) silent.push_back(open_silent(server.port()));
    std::atomic<bool> stop{false};
    std::atomic<int> reopened{0};
    std::thread churn([&] {
      while (r.reopened && !stop) {
        for (int& fd : silent)
          if (closed_by_server(fd)) {
            ::close(fd);
            fd = open_silent(server.port());
            ++reopened;
          }
        std::this_thread::sleep_for(milliseconds(5));
      }
    });
    // Until the server holds as many connections as it has room for: all
    // but what it keeps for handlers and for the files it keeps open.
    const int reserved = 32 + static_cast<int>(kept_files_max);
    const int room = r.limit > 2 * reserved ? r.limit - reserved : r.limit / 2 + 1;
    auto sockets_held = [&] {
      int n = 0;
      for (const auto& e : std::filesystem::directory_iterator("/proc/" + std::to_string(server.pid()) + "/fd")) {
        std::error_code ec;
        n += std::filesystem::read_symlink(e.path(), ec).string().starts_with("socket:") ? 1 : 0;
      }
      return n - 1;  // the listening socket
    };
    // (It dips by one for a moment each time a connection gives way.)
    int held = 0;
    for (auto until = steady_clock::now() + seconds(20); (held = sockets_held()) < room && steady_clock::now() < until;)
      std::this_thread::sleep_for(milliseconds(50));
    EXPECT_GE(held, room);

    auto start = steady_clock::now();
    EXPECT_EQ(server.ask("TEST=H00&"), "REPLY=velmorTAVR_CENTRAL&");
    auto took = duration_cast<milliseconds>(steady_clock::now() - start).count();
    std::printf("new client answered after %lld ms\n", static_cast<long long>(took));
    // Generous: without giving way it is the 30 s idle limit or never.
    EXPECT_LT(took, 10000);
    stop = true;
    churn.join();
    // The ones that gave way were closed without a reply (and, reopened, came back).
    int closed = reopened;
    for (int fd : silent) closed += closed_by_server(fd) ? 1 : 0;
    EXPECT_GT(closed, 0);
    for (int fd : silent) ::close(fd);
  }
}

}  // namespace
