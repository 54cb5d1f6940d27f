// velmor-cli against the real server and against peers that misbehave.
#include <gtest/gtest.h>

#include <cstdio>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/support/fake_peer.h"
#include "tests/support/server_fixture.h"

namespace {

struct cli_result {
  int status;
  std::string out;
};

cli_result run_cli(const std::string& args) {
  std::string cmd = std::string(VELMOR_BUILD_DIR) + "/velmor-cli " + args + " 2>&1";
  FILE* p = ::popen(cmd.c_str(), "r");
  std::string out;
  char buf[512];
  while (std::fgets(buf, sizeof buf, p)) out += buf;
  int st = ::pclose(p);
  return {WIFEXITED(st) ? WEXITSTATUS(st) : -1, out};
}

TEST(Cli, PrintsTheReplyOneFieldPerLineOrRaw) {
  testing_support::central_server server;
  ASSERT_TRUE(server.start());
  std::string p = "-p " + std::to_string(server.port());
  cli_result r = run_cli(p + " get_UID64");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.rfind("OP=get_UID64\nUID32=", 0), 0u) << r.out;
  r = run_cli(p + " --raw 'TEST=H00&'");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "REPLY=velmorTAVR_CENTRAL&\n");
  r = run_cli(p + " no_such_op NAME=x");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "I love you.\n");
}

TEST(Cli, DistinctStatusesForEachFailure) {
  struct {
    const char* what;
    int expected;
  } cases[] = {{"refused", 3}, {"timeout", 4}, {"malformed", 5}, {"usage", 2}, {"too long", 6}};
  for (const auto& c : cases) {
    std::string what = c.what;
    cli_result r;
    if (what == "refused") {
      r = run_cli("-p " + std::to_string(testing_support::free_port()) + " get_UID64");
    } else if (what == "timeout") {
      testing_support::fake_peer silent([](const std::string&) { return testing_support::fake_peer::hold(); });
      r = run_cli("-t 1 -p " + std::to_string(silent.port()) + " get_UID64");
    } else if (what == "malformed") {
      testing_support::fake_peer garbage([](const std::string&) { return std::string("not a frame"); });
      r = run_cli("-p " + std::to_string(garbage.port()) + " get_UID64");
    } else if (what == "usage") {
      r = run_cli("-p");
    } else {
      r = run_cli("-p 1 add_usr NAME=" + std::string(600, 'n'));
    }
    EXPECT_EQ(r.status, c.expected) << what << ": " << r.out;
    if (c.expected != 2) {
      EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << what << ": " << r.out;
    }
  }
}

}  // namespace
