// Special numbers through the real server: fake numerators for every reply,
// a cp that talks for the copy rule, and the real velmor-numerator.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <future>
#include <thread>
#include <filesystem>
#include <string>

#include "tests/support/server_fixture.h"

namespace {

namespace fs = std::filesystem;
using testing_support::central_server;
using testing_support::read_file;
using testing_support::write_file;

constexpr char ask_number[] = "OP=get_special_pesel&";
constexpr char refused[] = "RE=get_special_pesel&STATUS=refused&CP=";

void write_script(const std::string& path, const std::string& body) {
  write_file(path, "#!/bin/sh\n" + body);
  fs::permissions(path, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
}

class SpecialTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(server.start()) << server.output() << server.errors(); }
  void numerator(const std::string& body) { write_script(server.path("BIN/numerator"), body); }
  central_server server;
};

TEST_F(SpecialTest, TheNumeratorsFirstLineIsTheNumber) {
  struct row {
    const char* script;
    std::string reply;
  } rows[] = {
      {"echo RS000000017\n", "RE=get_special_pesel&STATUS=done&PESEL=RS000000017&"},
      {"printf RS000000018\n", "RE=get_special_pesel&STATUS=done&PESEL=RS000000018&"},
      {"echo RS000000019; echo RS000000020\n", "RE=get_special_pesel&STATUS=done&PESEL=RS000000019&"},
      {"echo RS0000000210000000000000\n", "RE=get_special_pesel&STATUS=done&PESEL=RS00000002100000000&"},  // cut to 19
      {"echo null\n", std::string(refused) + "no_reply&"},
      {"exit 0\n", std::string(refused) + "no_reply&"},
      {"echo\n", std::string(refused) + "no_reply&"},
      {"echo 'RS1&X=2'\n", std::string(refused) + "no_reply&"},
  };
  for (const row& r : rows) {
    numerator(r.script);
    EXPECT_EQ(server.ask(ask_number), r.reply) << r.script;
  }
  fs::remove(server.path("BIN/numerator"));
  EXPECT_EQ(server.ask(ask_number), std::string(refused) + "no_reply&") << "the shell runs but finds nothing";
}

// The numerator runs beside the loop: while one hangs, everyone else is
// served, and after its time it is ended and the request refused as if it
// had printed nothing.
TEST_F(SpecialTest, AHangingNumeratorIsEndedAndHoldsUpNobodyElse) {
  numerator("echo $$ > BIN/numerator.pid\nexec sleep 60\n");
  const auto start = std::chrono::steady_clock::now();
  auto reply = std::async(std::launch::async, [&] { return server.ask(ask_number); });
  while (!fs::exists(server.path("BIN/numerator.pid")))
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  for (int i = 0; i < 20; ++i) EXPECT_EQ(server.ask("TEST=H00&"), "REPLY=velmorTAVR_CENTRAL&");
  EXPECT_EQ(server.ask("OP=get_UID64&").substr(0, 13), "OP=get_UID64&");
  EXPECT_EQ(reply.wait_for(std::chrono::seconds(0)), std::future_status::timeout) << "the numerator did not wait";

  EXPECT_EQ(reply.get(), std::string(refused) + "no_reply&");
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, std::chrono::seconds(9));
  EXPECT_LE(took, std::chrono::seconds(20));
  // Ended: gone, or a zombie left for whoever reaps orphans here.
  std::string pid = read_file(server.path("BIN/numerator.pid"));
  pid.erase(pid.find_last_not_of('\n') + 1);
  auto ended = [stat_path = "/proc/" + pid + "/stat"] {
    const std::string stat = read_file(stat_path);
    return stat.empty() || stat.substr(stat.rfind(')') + 2, 1) == "Z";
  };
  for (int i = 0; i < 100 && !ended(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_TRUE(ended()) << "the hanging numerator still runs";
}

TEST_F(SpecialTest, EachNumberRefreshesTheCounterCopy) {
  numerator("echo RS000000017\n");
  write_file(server.path("DISK/rs_last_number.txt"), "counter 1\n");
  EXPECT_EQ(server.ask(ask_number), "RE=get_special_pesel&STATUS=done&PESEL=RS000000017&");
  EXPECT_EQ(read_file(server.path("DISK/LIST/rs_last_number.txt")), "counter 1\n");
  write_file(server.path("DISK/rs_last_number.txt"), "counter 2\n");
  EXPECT_EQ(server.ask(ask_number), "RE=get_special_pesel&STATUS=done&PESEL=RS000000017&");
  EXPECT_EQ(read_file(server.path("DISK/LIST/rs_last_number.txt")), "counter 2\n");
}

TEST_F(SpecialTest, TheRealNumeratorCounts) {
  fs::copy_file(std::string(VELMOR_BUILD_DIR) + "/velmor-numerator", server.path("BIN/numerator"));
  EXPECT_EQ(server.ask(ask_number), "RE=get_special_pesel&STATUS=done&PESEL=RS000000001&");
  EXPECT_EQ(server.ask(ask_number), "RE=get_special_pesel&STATUS=done&PESEL=RS000000002&");
  EXPECT_EQ(read_file(server.path("DISK/rs_last_number.txt")), "RS000000002\n");
  EXPECT_EQ(read_file(server.path("DISK/LIST/rs_last_number.txt")), "RS000000002\n");
  write_file(server.path("DISK/rs_last_number.txt"), "damaged");
  EXPECT_EQ(server.ask(ask_number), std::string(refused) + "no_reply&");
}

// The copy counts as failed only when cp writes four or more characters to
// its standard output; a cp earlier in the server's PATH shows that.
TEST(SpecialCopy, OutputOfTheCopyCommandDecides) {
  struct row {
    const char* cp_output;
    std::string reply;
  } rows[] = {
      {"printf 'cp: x'", std::string(refused) + "no_copy[2]&"},
      {"printf abcd", std::string(refused) + "no_copy[2]&"},
      {"printf abc", "RE=get_special_pesel&STATUS=done&PESEL=RS000000017&"},
      {"echo cp: failed >&2", "RE=get_special_pesel&STATUS=done&PESEL=RS000000017&"},
  };
  for (const row& r : rows) {
    central_server server;
    const std::string bin = server.path("fakebin");
    testing_support::make_dirs(bin);
    write_script(bin + "/cp", std::string(r.cp_output) + "\n");
    write_script(server.path("BIN/numerator"), "echo RS000000017\n");
    const char* old_path = std::getenv("PATH");
    const std::string saved = old_path ? old_path : "";
    ::setenv("PATH", (bin + ":" + saved).c_str(), 1);
    bool started = server.start();
    ::setenv("PATH", saved.c_str(), 1);
    ASSERT_TRUE(started);
    EXPECT_EQ(server.ask(ask_number), r.reply) << r.cp_output;
  }
}

}  // namespace
