// Power loss. DISK/ is an ext4 file system in an image file on a loop
// device. Right after the last acknowledged reply, with the server still
// running and nothing unmounted or synced, the image file is copied: the copy
// holds what the device had received and none of what still waited in the
// page cache, which is the disk a power cut at that moment would leave. The
// copy, mounted again, must hold every acknowledged record with SYNC=1&;
// without the line, the same requests lose records, which shows that the cut
// is real.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <optional>
#include <string>
#include <unistd.h>
#include <vector>

#include "tests/support/loop_mount.h"
#include "tests/support/memory_dir.h"
#include "tests/support/record_paths.h"
#include "tests/support/record_text.h"
#include "tests/support/server_fixture.h"
#include "tests/support/tree_snapshot.h"

namespace {

using testing_support::central_server;
using testing_support::entry;
using testing_support::has_line;
using testing_support::has_line_starting;
using testing_support::person_dir;
using testing_support::read_file;
using testing_support::value_of;

// Without SYNC=1& the records must still be only in the page cache at the
// cut: ext4 commits its journal every 60 s here (commit=60), and the kernel
// writes a dirty page out once it is this old. A machine set shorter gets
// this much for the test's duration, and its own value back afterwards.
class dirty_expire_at_least {
 public:
  explicit dirty_expire_at_least(int centisecs) {
    std::FILE* f = std::fopen(knob, "r");
    if (!f) return;
    if (std::fscanf(f, "%d", &saved_) != 1) saved_ = -1;
    std::fclose(f);
    if (saved_ >= 0 && saved_ < centisecs && set(centisecs)) raised_ = true;
  }
  ~dirty_expire_at_least() {
    if (raised_) set(saved_);
  }
  dirty_expire_at_least(const dirty_expire_at_least&) = delete;
  dirty_expire_at_least& operator=(const dirty_expire_at_least&) = delete;

 private:
  static bool set(int value) {
    std::FILE* f = std::fopen(knob, "w");
    if (!f) return false;
    const bool ok = std::fprintf(f, "%d\n", value) > 0;
    return std::fclose(f) == 0 && ok;
  }
  static constexpr const char* knob = "/proc/sys/vm/dirty_expire_centisecs";
  int saved_ = -1;
  bool raised_ = false;
};

struct acknowledged {
  std::vector<std::string> departments;  // the reply fields after STATUS=done&
  std::vector<std::string> users;        // the stored lines, as the replies give them
  std::vector<std::string> objects;      // the object lines sent
  std::size_t size() const { return departments.size() + users.size() + objects.size(); }
};

// The acknowledged records that are not whole in every one of their places
// (tree files and journals) under root, a folder holding DISK.
std::vector<std::string> missing_records(const std::string& root, const acknowledged& ack) {
  auto file = [&](const std::string& rel) { return read_file(root + "/" + rel); };
  const std::string journal_usr = file("DISK/LIST/list_pesel_usr.q");
  const std::string journal_u32 = file("DISK/LIST/list_uid32base.q");
  const std::string journal_obj = file("DISK/LIST/list_pesel_obj.q");
  const std::string journal_nod = file("DISK/LIST/list_pesel_nod.q");
  std::vector<std::string> missing;
  for (const std::string& d : ack.departments)
    if (!has_line_starting(journal_nod, testing_support::pesel_node_start(d)) ||
        !has_line_starting(file(person_dir(value_of(d, "NIP")) + "/pesel.nod"), testing_support::pesel_node_start(d)) ||
        !has_line_starting(journal_u32, testing_support::uid32_node_start(d)) ||
        !has_line_starting(file(entry(value_of(d, "UID32")) + "/node.q"), testing_support::uid32_node_start(d)))
      missing.push_back("department " + d);
  for (const std::string& u : ack.users)
    if (!has_line(journal_usr, u) || !has_line(journal_u32, u) ||
        !has_line(file(entry(value_of(u, "UIDP")) + "/usr.q"), u) ||
        !has_line(file(person_dir(value_of(u, "PESEL")) + "/pesel.usr"), u))
      missing.push_back("user " + u);
  for (const std::string& o : ack.objects)
    if (!has_line(journal_obj, o) || !has_line(file(person_dir(value_of(o, "PESEL")) + "/pesel.obj"), o))
      missing.push_back("object " + o);
  return missing;
}

// Files of a tree whose text is not whole KEY=value& lines: a fragment at
// the end, a line of no field, or zeros where the disk had nothing yet.
std::vector<std::string> torn_files(const testing_support::tree_snapshot& tree) {
  std::vector<std::string> torn;
  for (const auto& [path, what] : tree) {
    if (what.rfind("file", 0) != 0 || path == "velmor.lock") continue;
    const std::string text = what.substr(what.find(':') + 1);
    bool whole = text.empty() || text.back() == '\n';
    for (const std::string& line : testing_support::lines_of(text))
      whole = whole && !line.empty() && line.back() == '&';
    if (!whole || text.find('\0') != std::string::npos) torn.push_back(path);
  }
  return torn;
}

constexpr int rounds = 8;  // each: a new firm, a user of the first firm, an object

class PowerCut : public ::testing::Test {
 protected:
  ~PowerCut() override {
    // The server first: its open files would keep the disk from unmounting.
    if (server) server->stop();
  }

  // Starts the server on a fresh ext4 disk with config, registers, cuts the
  // power and mounts what the disk kept. Skips the test where loop devices,
  // mounting or mkfs.ext4 are not to be had.
  void register_and_cut(const std::string& config) {
    const std::string image = images / "disk.img", copy = images / "cut.img";
    if (std::string why = testing_support::make_ext4_image(image, 64); !why.empty())
      GTEST_SKIP() << "power-cut test skipped: " << why;
    server.emplace(testing_support::with_config(config));
    if (std::string why = disk.mount(image, server->path("DISK"), "commit=60"); !why.empty())
      GTEST_SKIP() << "power-cut test skipped: " << why;
    lay_down_disk(server->path("DISK"));
    ASSERT_TRUE(server->start()) << server->errors();
    // The skeleton and the lock file on the device: only what the requests
    // write is at stake.
    {
      unique_fd d(::open(server->path("DISK").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
      ASSERT_TRUE(d && ::syncfs(d.get()) == 0);
    }

    const auto first = std::chrono::steady_clock::now();
    register_records();
    if (HasFatalFailure()) return;
    ASSERT_TRUE(testing_support::copy_image(image, copy));
    window_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - first).count();

    live = testing_support::snapshot_tree(server->path("DISK"));
    live_missing = missing_records(server->path(""), ack);
    // Mounted read-write, so that the kernel replays the journal as at the
    // next boot: `noload` would leave out the last committed transactions,
    // which are what a sync made durable.
    testing_support::make_dirs(images / "after/DISK");
    ASSERT_EQ(after.mount(copy, images / "after/DISK", ""), "");
    kept = testing_support::snapshot_tree(images / "after/DISK");
    lost = missing_records(images / "after", ack);
  }

  // What the prepared working directory holds in DISK, with the letter levels
  // of the two trees as links back to the tree (the real ones need more
  // inodes than a small disk has).
  static void lay_down_disk(const std::string& disk) {
    for (const char* d : {"PESEL", "LIST", "UID32BASE", "START"}) testing_support::make_dirs(disk + "/" + d);
    for (const char* j : {"list_pesel_usr.q", "list_pesel_obj.q", "list_pesel_nod.q", "list_uid32base.q",
                          "list_ip.nq", "list_start_base.q"})
      testing_support::write_file(disk + "/LIST/" + j, "");
    for (const char* tree : {"/UID32BASE/", "/START/"})
      for (char c = 'A'; c <= 'Z'; ++c) ::symlink(".", (disk + tree + c).c_str());
  }

  void register_records() {
    std::string uid, euid;
    for (int i = 0; i < rounds; ++i) {
      const std::string id = "RS" + std::to_string(700000000 + i);
      std::string r = server->ask("OP=add_department&NAME=Shop&DEP=d" + std::to_string(i) + "&NIP=" + id +
                                  "&REGON=null&PUID=9001&PORTP=9002&PORTQ=9003&NODES=1&");
      const std::string dep_done = "RE=add_department&STATUS=done&";
      ASSERT_EQ(r.rfind(dep_done, 0), 0u) << r;
      ack.departments.push_back(r.substr(dep_done.size()));
      if (i == 0) {
        uid = value_of(r, "UID32");
        euid = value_of(r, "EUID");
      }

      r = server->ask("OP=add_usr&UID32=" + uid + "&EUID=" + euid + "&UIDP=x&EUIDP=y&PESEL=" + id +
                      "&DEP=d0&NAME=Jan&STAT=user&");
      const std::string usr_done = "RE=add_usr&STATUS=done&";
      ASSERT_EQ(r.rfind(usr_done, 0), 0u) << r;
      ack.users.push_back(r.substr(usr_done.size()));

      const std::string object = "PESEL=" + id + "&UID32=" + uid + "&DEP=d0&";
      ASSERT_EQ(server->ask("OP=add_pesel_obj&" + object), "RE=add_pesel_obj&STATUS=done&");
      ack.objects.push_back(object);
    }
  }

  void report(const char* which) const {
    std::printf("power cut %s: %zu acknowledged, %zu kept, %zu lost (requests and copy in %.2f s)\n", which,
                ack.size(), ack.size() - lost.size(), lost.size(), window_s);
  }

  dirty_expire_at_least expire{3000};
  testing_support::memory_dir images;  // the image files and the second mount point
  std::optional<central_server> server;
  testing_support::loop_mount disk, after;
  acknowledged ack;
  testing_support::tree_snapshot live, kept;
  std::vector<std::string> live_missing, lost;
  double window_s = 0;
};

TEST_F(PowerCut, WithSyncEveryAcknowledgedRecordSurvivesWhole) {
  register_and_cut("PORT_CENTRAL=@PORT@&\nSYNC=1&\n");
  if (IsSkipped() || HasFatalFailure()) return;
  report("with SYNC=1&");
  ASSERT_TRUE(live_missing.empty()) << live_missing[0];
  EXPECT_TRUE(lost.empty()) << lost.size() << " of " << ack.size() << " lost, first: " << lost[0];
  EXPECT_TRUE(torn_files(kept).empty()) << torn_files(kept)[0];
  // Nothing was in flight at the cut, so the disk kept all there was.
  EXPECT_EQ(testing_support::tree_difference(kept, live), "");
}

TEST_F(PowerCut, WithoutSyncAcknowledgedRecordsAreLost) {
  register_and_cut("PORT_CENTRAL=@PORT@&\n");
  if (IsSkipped() || HasFatalFailure()) return;
  report("without SYNC");
  // Stored in the live files: what goes is lost by the cut alone.
  ASSERT_TRUE(live_missing.empty()) << live_missing[0];
  EXPECT_FALSE(lost.empty()) << "all " << ack.size() << " records reached the disk in " << window_s
                             << " s without a sync: the cut did not cut";
}

}  // namespace
