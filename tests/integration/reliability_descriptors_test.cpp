// A child of the server (the numerator, the shell of popen) inherits none of
// the server's descriptors: not the listening socket, not a client's
// connection, not the event set. Only its standard streams reach it. The
// copy of the server that answers the request holds its own client's
// connection and nothing of the others.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <netinet/in.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "tests/support/server_fixture.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono;
using testing_support::central_server;
using testing_support::file_exists;
using testing_support::read_file;
using testing_support::write_file;

using testing_support::connect_local;

pid_t parent_of(pid_t pid) {
  std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
  std::istringstream fields(stat.substr(stat.rfind(')') + 2));
  char state;
  pid_t ppid = -1;
  fields >> state >> ppid;
  return ppid;
}

// "fd -> target" for every descriptor of a process, one per line.
std::string descriptors_of(pid_t pid) {
  std::string out;
  for (const auto& e : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
    std::error_code ec;
    out += e.path().filename().string() + " -> " + fs::read_symlink(e.path(), ec).string() + "\n";
  }
  return out;
}

TEST(ReliabilityDescriptors, ChildrenOfTheServerHoldNoneOfItsDescriptors) {
  central_server server;
  ASSERT_TRUE(server.start()) << server.errors();
  const std::string script = server.path("BIN/numerator");
  // The numerator tells its process id, then waits (ten seconds at most)
  // until the test has looked at its descriptors from outside: looking from
  // inside would open some.
  write_file(script,
             "#!/bin/sh\n"
             "echo $$ > BIN/pid.tmp\n"
             "mv BIN/pid.tmp BIN/pid\n"
             "i=0\n"
             "while [ ! -e BIN/go ] && [ $i -lt 500 ]; do sleep 0.02; i=$((i + 1)); done\n"
             "echo RS000000001\n");
  fs::permissions(script, fs::perms::owner_all);

  // The server holds a waiting client's connection while it serves another.
  int idle = connect_local(server.port());
  ASSERT_GE(idle, 0);
  auto reply = std::async(std::launch::async, [&] { return server.ask("OP=get_special_pesel&"); });

  auto deadline = steady_clock::now() + seconds(20);
  while (!file_exists(server.path("BIN/pid")) && steady_clock::now() < deadline)
    std::this_thread::sleep_for(milliseconds(10));
  ASSERT_TRUE(file_exists(server.path("BIN/pid")));
  pid_t child = std::stoi(read_file(server.path("BIN/pid")));

  // The script's shell, and the shell of popen above it when it did not exec,
  // up to the copy of the server that answers the request.
  const fs::path server_exe = fs::read_symlink("/proc/" + std::to_string(server.pid()) + "/exe");
  auto is_server = [&](pid_t p) {
    std::error_code ec;
    return fs::read_symlink("/proc/" + std::to_string(p) + "/exe", ec) == server_exe;
  };
  int looked_at = 0;
  pid_t p = child;
  for (; p > 1 && !is_server(p); p = parent_of(p), ++looked_at) {
    ASSERT_LT(looked_at, 3) << "the numerator is not a descendant of the server";
    std::string fds = descriptors_of(p);
    std::istringstream lines(fds);
    for (std::string line; std::getline(lines, line);) {
      std::string fd = line.substr(0, line.find(' ')), target = line.substr(line.find(" -> ") + 4);
      EXPECT_EQ(target.find("socket:"), std::string::npos) << p << ": " << line;
      EXPECT_EQ(target.find("anon_inode:"), std::string::npos) << p << ": " << line;
      if (fd != "0" && fd != "1" && fd != "2") {
        EXPECT_EQ(fs::path(target), fs::canonical(script)) << p << " holds more than its streams:\n" << fds;
      }
    }
    if (p == child) {
      EXPECT_NE(fds.find("1 -> pipe:"), std::string::npos) << fds;
    }
  }
  EXPECT_GE(looked_at, 1);

  // The answering copy: its streams, the numerator's pipe, one socket (its
  // client's), no event set, ring or pidfd.
  ASSERT_NE(p, server.pid()) << "the request was not answered by a child of the server";
  ASSERT_EQ(parent_of(p), server.pid());
  std::string fds = descriptors_of(p);
  int sockets = 0;
  std::istringstream lines(fds);
  for (std::string line; std::getline(lines, line);) {
    std::string target = line.substr(line.find(" -> ") + 4);
    if (target.starts_with("socket:")) ++sockets;
    EXPECT_EQ(target.find("anon_inode:"), std::string::npos) << line;
  }
  EXPECT_EQ(sockets, 1) << fds;

  write_file(server.path("BIN/go"), "");
  EXPECT_EQ(reply.get(), "RE=get_special_pesel&STATUS=done&PESEL=RS000000001&");
  ::close(idle);
  EXPECT_EQ(server.ask("TEST=H00&"), "REPLY=velmorTAVR_CENTRAL&");
}

}  // namespace
