// The loop under hostile connection patterns: idle connections and more
// connections than the server has descriptors for.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <netinet/in.h>
#include <sstream>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

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

// One test, because the idle limit makes it wait half a minute: with fewer
// descriptors than idle connections, open connections are still served, the
// loop does not spin, idle connections are closed without a reply after the
// limit, and a waiting client is served once they are gone.
TEST(Reliability, IdleConnectionsCannotStarveTheServerOfDescriptors) {
  testing_support::server_options opts;
  opts.max_descriptors = 64;
  central_server server(opts);
  ASSERT_TRUE(server.start());

  std::vector<int> idle;
  for (int i = 0; i < 60; ++i) {
    int fd = connect_local(server.port());
    ASSERT_GE(fd, 0);
    idle.push_back(fd);
  }
  std::this_thread::sleep_for(milliseconds(300));
  double cpu_before = cpu_seconds(server.pid());
  auto start = steady_clock::now();

  // An accepted connection is still served while the server is at its limit.
  EXPECT_EQ(request_on(idle.front(), "TEST=H00&", 5), "REPLY=velmorTAVR_CENTRAL&");
  ::close(idle.front());
  idle.erase(idle.begin());

  // A new client waits in the backlog until the idle ones are closed.
  int late = connect_local(server.port());
  ASSERT_GE(late, 0);
  std::string reply = request_on(late, "TEST=H00&", 45);
  auto waited = duration_cast<seconds>(steady_clock::now() - start).count();
  EXPECT_EQ(reply, "REPLY=velmorTAVR_CENTRAL&");
  EXPECT_GE(waited, 25);
  EXPECT_LE(waited, 40);
  ::close(late);

  // The early idle connections were closed by the server, without a reply.
  char byte;
  timeval tv{1, 0};
  ::setsockopt(idle.front(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  EXPECT_EQ(::recv(idle.front(), &byte, 1, 0), 0);
  EXPECT_LT(cpu_seconds(server.pid()) - cpu_before, 2.0) << "the loop spun while it waited";
  for (int fd : idle) ::close(fd);
  EXPECT_EQ(server.ask("TEST=H00&"), "REPLY=velmorTAVR_CENTRAL&");
}

}  // namespace
