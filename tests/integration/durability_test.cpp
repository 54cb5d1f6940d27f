// What the real server promises about its storage: one server per working
// directory, and on a disk that fills up no torn line, no record answered
// done that a rebuild loses, and service again once space is freed.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fcntl.h>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <atomic>
#include <thread>
#include <vector>

#include "tests/support/dated_text.h"
#include "tests/support/fake_peer.h"
#include "tests/support/memory_dir.h"
#include "tests/support/record_paths.h"
#include "tests/support/server_fixture.h"
#include "tests/support/tree_snapshot.h"

namespace {

using testing_support::central_server;
using testing_support::free_port;
using testing_support::read_file;
using testing_support::snapshot_tree;
using testing_support::value_of;
using testing_support::write_file;

// Runs the server binary in dir until it exits; its standard output and exit
// status. A server that does not exit within 10 s is killed (status -1).
std::string run_second_server(const std::string& dir, int& status) {
  int out[2];
  if (::pipe(out) != 0) return "<pipe>";
  pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(out[1], 1);
    ::close(out[0]);
    if (::chdir(dir.c_str()) != 0) ::_exit(126);
    ::execl(VELMOR_BUILD_DIR "/velmor-central", "velmor-central", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(out[1]);
  ::fcntl(out[0], F_SETFL, O_NONBLOCK);
  std::string text;
  status = -1;
  for (int waited = 0; waited < 1000; ++waited) {
    char buf[256];
    for (ssize_t n; (n = ::read(out[0], buf, sizeof buf)) > 0;) text.append(buf, static_cast<std::size_t>(n));
    int st;
    if (::waitpid(pid, &st, WNOHANG) == pid) {
      for (ssize_t n; (n = ::read(out[0], buf, sizeof buf)) > 0;) text.append(buf, static_cast<std::size_t>(n));
      status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
      ::close(out[0]);
      return text;
    }
    ::usleep(10000);
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
  ::close(out[0]);
  return text;
}

TEST(OneServerPerDirectory, ASecondServerRefusesToStartAndTouchesNothing) {
  central_server server;
  ASSERT_TRUE(server.start()) << server.errors();
  ASSERT_EQ(value_of(server.ask("OP=add_pesel_obj&PESEL=RS000000001&UID32=u&DEP=1&"), "STATUS"), "done");
  // Another port, so that only the lock can stop the second one.
  const std::string config = read_file(server.path("velmorTAVR.config"));
  write_file(server.path("velmorTAVR.config"), "PORT_CENTRAL=" + std::to_string(free_port()) + "&\n");
  const auto before = snapshot_tree(server.path("DISK"));

  int status = 0;
  std::string out = run_second_server(server.path(""), status);
  EXPECT_EQ(status, 1);
  EXPECT_EQ(out, "velmor-central: another server holds this working directory (DISK/velmor.lock)\n");
  EXPECT_TRUE(snapshot_tree(server.path("DISK")) == before) << "the second server changed DISK";
  EXPECT_EQ(server.ask("TEST=H00&"), "REPLY=velmorTAVR_CENTRAL&") << "the first one still serves";

  // Once the holder is gone the directory is free again.
  write_file(server.path("velmorTAVR.config"), config);
  server.stop();
  ASSERT_TRUE(server.start()) << server.output();
}

// Every file below root whose text does not end with a whole line.
std::vector<std::string> torn_files(const std::string& root) {
  std::vector<std::string> torn;
  for (const auto& [path, entry] : snapshot_tree(root)) {
    if (entry.rfind("file", 0) != 0 || path.ends_with("list_ip.nq") || path.ends_with("velmor.lock")) continue;
    std::string text = entry.substr(entry.find(':') + 1);
    if (!text.empty() && text.back() != '\n') torn.push_back(path);
  }
  return torn;
}

TEST(FullDisk, RefusedAppendsLeaveNoFragmentAndEveryAcknowledgedObjectSurvivesARebuild) {
  testing_support::memory_dir storage;
  const std::string mnt = storage / "mnt";
  ASSERT_EQ(::mkdir(mnt.c_str(), 0755), 0);
  if (::mount("tmpfs", mnt.c_str(), "tmpfs", 0, "size=4m") != 0)
    GTEST_SKIP() << "cannot mount a small tmpfs here (" << std::strerror(errno) << "): full-disk test skipped";
  struct unmount {
    std::string at;
    ~unmount() { ::umount2(at.c_str(), MNT_DETACH); }
  } cleanup{mnt};

  central_server server;
  std::filesystem::remove_all(server.path("DISK"));
  for (const char* d : {"DISK/PESEL", "DISK/LIST", "DISK/UID32BASE", "DISK/START"})
    testing_support::make_dirs(mnt + "/" + d);
  for (const char* j : {"list_pesel_usr.q", "list_pesel_obj.q", "list_pesel_nod.q", "list_uid32base.q",
                        "list_ip.nq", "list_start_base.q"})
    write_file(mnt + "/DISK/LIST/" + j, "");
  std::filesystem::create_directory_symlink(mnt + "/DISK", server.path("DISK"));
  ASSERT_TRUE(server.start()) << server.errors();

  // One person's objects: its pesel.obj and the journal fill as the disk does.
  const std::string person = "RS000000049";
  auto object = [&](int n) {
    std::string uid = "U" + std::to_string(n) + std::string(40, 'x');
    return "PESEL=" + person + "&UID32=" + uid.substr(0, 40) + "&DEP=" + std::string(40, 'd') + "&";
  };
  // The files exist, with room left in their last pages, before the disk
  // fills up to the last byte: the append that crosses into a page that
  // cannot be had stops part-way.
  std::vector<std::string> acknowledged;
  ASSERT_EQ(server.ask("OP=add_pesel_obj&" + object(0)), "RE=add_pesel_obj&STATUS=done&");
  acknowledged.push_back(object(0));
  {
    int fd = ::open((mnt + "/filler").c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    std::string block(4096, 'f');
    while (::write(fd, block.data(), block.size()) > 0) {
    }
    while (::write(fd, block.data(), 1) > 0) {
    }
    ::close(fd);
  }
  int refused = 0;
  for (int n = 1; n < 200 && refused < 20; ++n) {
    std::string reply = server.ask("OP=add_pesel_obj&" + object(n));
    if (reply == "RE=add_pesel_obj&STATUS=done&")
      acknowledged.push_back(object(n));
    else if (reply == "RE=add_pesel_obj&STATUS=refused&CP=no_file&")
      ++refused;
    else
      ADD_FAILURE() << reply;
  }
  EXPECT_GE(refused, 20) << "the disk never filled";
  EXPECT_GT(acknowledged.size(), 1u) << "nothing was written into the last free bytes";
  EXPECT_TRUE(torn_files(mnt + "/DISK").empty()) << torn_files(mnt + "/DISK")[0];

  // Space again: the next objects are stored whole, never glued to a fragment.
  ASSERT_EQ(::unlink((mnt + "/filler").c_str()), 0);
  for (int n = 1000; n < 1003; ++n) {
    ASSERT_EQ(server.ask("OP=add_pesel_obj&" + object(n)), "RE=add_pesel_obj&STATUS=done&");
    acknowledged.push_back(object(n));
  }
  EXPECT_TRUE(torn_files(mnt + "/DISK").empty());
  const std::string live = read_file(server.path(testing_support::person_dir(person) + "/pesel.obj"));

  // The rebuild gives back exactly the acknowledged objects, in order.
  ASSERT_EQ(server.ask("OP=restore_files_local&"), "RE=restore_files_local&STATUS=done&");
  EXPECT_EQ(read_file(server.path(testing_support::person_dir(person) + "/pesel.obj")), live);
  EXPECT_EQ(server.ask("OP=get_nlines_pesel&PESEL=" + person + "&"),
            "RE=get_nlines_pesel&NLINES=" + std::to_string(acknowledged.size()) + "&");
  for (std::size_t i = 0; i < acknowledged.size(); ++i)
    EXPECT_EQ(server.ask("OP=get_line_pesel_obj&PESEL=" + person + "&NLINE=" + std::to_string(i + 1) + "&"),
              acknowledged[i]);
}

// The real loop with SYNC=1&: concurrent registrations all answered and all
// stored, a block answered by its child, the start-up report as without it.
TEST(SyncedServer, AnswersEveryRequestWithItsRecordStoredAndKeepsTheReport) {
  central_server plain(testing_support::with_config("PORT_CENTRAL=@PORT@&\n"));
  ASSERT_TRUE(plain.start());
  testing_support::server_options synced = testing_support::with_config("PORT_CENTRAL=@PORT@&\nSYNC=1&\n");
  synced.linked_letter_levels = true;
  central_server server(synced);
  ASSERT_TRUE(server.start()) << server.errors();
  auto report = [](const central_server& s) {
    std::string out = s.output();
    std::string port = std::to_string(s.port());
    out.replace(out.find(port), port.size(), "PORT");
    return out;
  };
  EXPECT_EQ(report(server), report(plain)) << "SYNC=1& is not in the start-up report";

  constexpr int writers = 8, each = 25;
  std::vector<std::thread> threads;
  std::atomic<int> done{0};
  for (int w = 0; w < writers; ++w)
    threads.emplace_back([&, w] {
      for (int i = 0; i < each; ++i) {
        std::string id = "RS" + std::to_string(300000000 + w * 1000 + i);
        if (server.ask("OP=add_pesel_obj&PESEL=" + id + "&UID32=u&DEP=1&") == "RE=add_pesel_obj&STATUS=done&") ++done;
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(done.load(), writers * each);
  EXPECT_EQ(testing_support::lines_of(read_file(server.path("DISK/LIST/list_pesel_obj.q"))).size(),
            static_cast<std::size_t>(writers * each));

  // A block is answered by a child, which syncs on its own before replying.
  testing_support::fake_peer local(
      [](const std::string&) { return testing_support::fake_peer::coded("RE=block_department&STATUS=done&"); });
  std::string dep = server.ask("OP=add_department&NAME=S&DEP=d&NIP=RS400000001&REGON=null&PUID=" +
                               std::to_string(local.port()) + "&PORTP=1&PORTQ=2&NODES=1&");
  ASSERT_EQ(value_of(dep, "STATUS"), "done") << dep;
  ASSERT_EQ(server.ask("OP=add_ip_node&UID32=" + value_of(dep, "UID32") + "&IPNODE=127.0.0.1&"),
            "RE=add_ip_node&STATUS=done&");
  EXPECT_EQ(server.ask("OP=block_department&DEP=d&NIP=RS400000001&REGON=null&"), "RE=block_department&STATUS=done&");
  EXPECT_EQ(local.requests().size(), 1u);
}

}  // namespace
