#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "admin/restore.h"
#include "store/settings.h"
#include "tests/support/memory_dir.h"
#include "tests/support/restore_model.h"
#include "tests/support/server_fixture.h"
#include "tests/support/tree_snapshot.h"

namespace {

using testing_support::read_file;
using testing_support::snapshot_tree;
using testing_support::tree_difference;
using testing_support::tree_snapshot;
using testing_support::without_letter_levels;
using testing_support::write_file;

// Journal lines in the formats the registering operations write.
std::string uid(char a, char b, char c, int n) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%c%c%c%029d", a, b, c, n);
  return buf;
}
const std::string euid = "qwertyuiopasdfghjklzxcvbnmqwerty";
const std::string date = "DATE=20261207-09:05:03&";

std::string user_line(const std::string& uid32, const std::string& uidp, const std::string& pesel,
                      const std::string& name) {
  return "UID32=" + uid32 + "&EUID=" + euid + "&UIDP=" + uidp + "&EUIDP=" + euid + "&PESEL=" + pesel +
         "&DEP=7&NAME=" + name + "&STAT=user&RANGE=null&ACT=null&" + date;
}
std::string object_line(const std::string& pesel, const std::string& uid32) {
  return "PESEL=" + pesel + "&UID32=" + uid32 + "&DEP=7&";
}
std::string pesel_node_line(const std::string& uid32, const std::string& nip, const std::string& regon) {
  return "UID32=" + uid32 + "&EUID=" + euid + "&NAME=Depot&DEP=7&NIP=" + nip + "&REGON=" + regon + "&" +
         date;
}
std::string uid32_node_line(const std::string& uid32, const std::string& dep) {
  return "UID32=" + uid32 + "&EUID=" + euid + "&NAME=Depot&DEP=" + dep +
         "&PUID=9000&PORTP=9001&PORTQ=9002&NODES=2&" + date;
}
// One 65-byte record of list_ip.nq: text, NUL, then '0' up to 65 bytes.
std::string ip_record(const std::string& uid32, const std::string& address) {
  std::string r = "UID32=" + uid32 + "&IPADDR=" + address + "&";
  r.push_back('\0');
  r.resize(65, '0');
  return r;
}

std::string lines(const std::vector<std::string>& v) {
  std::string out;
  for (const auto& l : v) out += l + "\n";
  return out;
}

// A working directory of its own for each test (the restore works on the
// default relative paths, whose data folder is "DISK"), a known
// file-creation mask, and everything put back afterwards.
class Restore : public ::testing::Test {
 protected:
  void SetUp() override {
    char cwd[4096];
    ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
    old_cwd_ = cwd;
    old_mask_ = ::umask(022);
    ASSERT_EQ(::chdir(dir_.path().c_str()), 0);
    reset_settings();
    for (const char* d : {"DISK/PESEL", "DISK/UID32BASE", "DISK/LIST", "DISK/START"})
      testing_support::make_dirs(d);
  }
  void TearDown() override {
    reset_settings();
    ::umask(old_mask_);
    ASSERT_EQ(::chdir(old_cwd_.c_str()), 0);
  }

  static void journal(const std::string& name, const std::string& content) {
    write_file("DISK/LIST/" + name, content);
  }
  static void empty_journals() {
    for (const char* j : {"list_pesel_usr.q", "list_pesel_obj.q", "list_pesel_nod.q", "list_uid32base.q",
                          "list_ip.nq", "list_start_base.q"})
      journal(j, "");
  }
  static std::string restore(const char* peer = "127.0.0.1") {
    char buf[512] = "OP=restore_files_local&";
    restore_files_local(buf, buf, peer);
    return buf;
  }

  testing_support::memory_dir dir_;
  std::string old_cwd_;
  mode_t old_mask_ = 022;
};

const std::string done = "RE=restore_files_local&STATUS=done&";
std::string refused(const std::string& cause) { return "RE=restore_files_local&STATUS=refused&CP=" + cause + "&"; }

// A small registry: two versions of one user, an object, a firm with NIP and
// REGON, its node line, address and a user of its own UID32 entry, and two
// start codes of one start-folder directory.
struct sample_registry {
  std::string firm = uid('A', 'B', 'C', 1), person = uid('X', 'Y', 'Z', 2);
  std::string pesel = "44051401458", nip = "N1234563218", regon = "RN12345678" "5";
  std::string user1 = user_line(firm, person, pesel, "Jan"), user2 = user_line(firm, person, pesel, "Jan2");
  std::string object = object_line(pesel, firm);
  std::string dept = pesel_node_line(firm, nip, regon), node = uid32_node_line(firm, "7");
  std::string code1 = "CODE=QWER-TYUI-OPAS-DFGH-JKLZ&", code2 = "CODE=QWEA-AAAA-BBBB-CCCC-DDDD&VDATE=20301231&";

  void write_journals(const std::string& at = ".") const {
    std::string list = at + "/DISK/LIST/";
    write_file(list + "list_pesel_usr.q", lines({user1, user2}));
    write_file(list + "list_pesel_obj.q", lines({object}));
    write_file(list + "list_pesel_nod.q", lines({dept}));
    write_file(list + "list_uid32base.q", lines({node, user1, user2}));
    write_file(list + "list_ip.nq", ip_record(firm, "10.1.2.3"));
    write_file(list + "list_start_base.q", lines({code1, code2}));
    write_file(list + "rs_last_number.txt", "RS000000017\n");
  }
  // What the rebuilt trees hold, modes under an initial mask of 022.
  tree_snapshot pesel_tree() const {
    return {{"44", "dir 755"}, {"44/05", "dir 755"}, {"44/05/14", "dir 755"}, {"44/05/14/01", "dir 755"},
            {"44/05/14/01/45", "dir 755"}, {"44/05/14/01/45/8", "dir 755"},
            {"44/05/14/01/45/8/pesel.usr", "file 644:" + lines({user1, user2})},
            {"44/05/14/01/45/8/pesel.obj", "file 644:" + lines({object})},
            {"N1", "dir 755"}, {"N1/23", "dir 755"}, {"N1/23/45", "dir 755"}, {"N1/23/45/63", "dir 755"},
            {"N1/23/45/63/21", "dir 755"}, {"N1/23/45/63/21/8", "dir 755"},
            {"N1/23/45/63/21/8/pesel.nod", "file 644:" + lines({dept})},
            {"RN", "dir 755"}, {"RN/12", "dir 755"}, {"RN/12/34", "dir 755"}, {"RN/12/34/56", "dir 755"},
            {"RN/12/34/56/78", "dir 755"}, {"RN/12/34/56/78/5", "dir 755"},
            {"RN/12/34/56/78/5/pesel.nod", "file 644:" + lines({dept})}};
  }
  tree_snapshot uid32_tree() const {
    return {{"name", "file 666:UID32BASE\n"},
            {"A/B/C/" + firm, "dir 755"},
            {"A/B/C/" + firm + "/node.q", "file 666:" + lines({node})},
            {"A/B/C/" + firm + "/ip.q", "file 666:IPADDR=10.1.2.3&\n"},
            {"X/Y/Z/" + person, "dir 755"},
            {"X/Y/Z/" + person + "/usr.q", "file 666:" + lines({user1, user2})}};
  }
  tree_snapshot start_tree() const {
    return {{"name", "file 666:START\n"}, {"Q/W/E/scode.q", "file 666:" + lines({code1, code2})}};
  }
};

// The main path through the real server: every rebuilt file byte for byte.
TEST(RestoreServer, RebuildsTheTreesFromTheJournals) {
  mode_t old_mask = ::umask(022);
  testing_support::central_server server;
  // The storage lives on a memory file system, reached through DISK as a
  // mounted device would be: the letter skeletons are gone in a moment after.
  testing_support::memory_dir storage;
  testing_support::disk_in_memory(server, storage, false);
  sample_registry reg;
  reg.write_journals(server.dir().path());
  write_file(server.path("DISK/rs_last_number.txt"), "RS000000001\n");
  bool started = server.start();  // the server keeps the mask it starts with
  ::umask(old_mask);
  ASSERT_TRUE(started);

  EXPECT_EQ(server.ask("OP=restore_files_local&"), done);
  EXPECT_EQ(tree_difference(snapshot_tree(server.path("DISK/PESEL")), reg.pesel_tree()), "");
  tree_snapshot u = snapshot_tree(server.path("DISK/UID32BASE"));
  EXPECT_EQ(u.size(), 26u + 676u + 17576u + reg.uid32_tree().size());
  EXPECT_EQ(tree_difference(without_letter_levels(u), reg.uid32_tree()), "");
  EXPECT_EQ(tree_difference(without_letter_levels(snapshot_tree(server.path("DISK/START"))), reg.start_tree()),
            "");
  EXPECT_EQ(read_file(server.path("DISK/rs_last_number.txt")), "RS000000017\n");
  // The server goes on serving.
  EXPECT_NE(server.ask("OP=get_UID64&").find("UID32="), std::string::npos);
}

TEST_F(Restore, RefusesCallersOutsideTheLocalNetworkAndTouchesNothing) {
  sample_registry reg;
  reg.write_journals();
  testing_support::make_dirs("DISK/PESEL/12/junk");
  tree_snapshot before = snapshot_tree(".");
  EXPECT_EQ(restore("8.8.8.8"), refused("wrong_lan_ip"));
  EXPECT_EQ(tree_difference(snapshot_tree("."), before), "");
  EXPECT_EQ(::umask(022), 022u);
}

TEST_F(Restore, EmptyJournalsLeaveBareSkeletonsAndMaskZero) {
  empty_journals();
  write_file("DISK/PESEL/stale", "x");
  EXPECT_EQ(restore(), done);
  EXPECT_TRUE(snapshot_tree("DISK/PESEL").empty());
  for (auto [tree, marker] : {std::pair{"DISK/UID32BASE", "UID32BASE\n"}, std::pair{"DISK/START", "START\n"}}) {
    tree_snapshot t = snapshot_tree(tree);
    EXPECT_EQ(t.size(), 26u + 676u + 17576u + 1u) << tree;
    EXPECT_EQ(tree_difference(without_letter_levels(t), {{"name", std::string("file 666:") + marker}}), "");
  }
  EXPECT_EQ(::umask(022), 0u);  // files created from now on get the modes they ask for
}

TEST_F(Restore, CountsWholeAddressRecordsOnly) {
  empty_journals();
  std::string firm = uid('A', 'A', 'A', 5);
  std::string two = ip_record(firm, "10.0.0.1") + ip_record(firm, "10.0.0.2");
  for (auto [size, expected] : {std::pair{130u, "IPADDR=10.0.0.1&\nIPADDR=10.0.0.2&\n"},
                                std::pair{129u, "IPADDR=10.0.0.1&\n"}}) {
    journal("list_ip.nq", two.substr(0, size));
    EXPECT_EQ(restore(), done);
    EXPECT_EQ(read_file("DISK/UID32BASE/A/A/A/" + firm + "/ip.q"), expected) << size;
  }
}

// A second restore over rebuilt, then damaged, trees gives the first result
// again; names beginning with '.' in the cleared folders stay, everything
// else that the journals do not hold goes.
TEST_F(Restore, RestoringAgainGivesTheSameTreesAndKeepsDotNames) {
  sample_registry reg;
  reg.write_journals();
  write_file("DISK/victim", "must survive");
  ASSERT_EQ(restore(), done);
  tree_snapshot once = snapshot_tree("DISK");
  ::umask(022);

  std::string leaf = "DISK/PESEL/44/05/14/01/45/8";
  std::string entry = "DISK/UID32BASE/A/B/C/" + reg.firm;
  write_file("DISK/PESEL/.keep", "p");
  write_file("DISK/UID32BASE/A/B/C/.keep", "u");
  write_file("DISK/START/Q/W/E/.keep", "s");
  write_file("DISK/PESEL/44/05/.hidden", "inside a replayed folder: goes");
  write_file(leaf + "/pesel.usr", "changed by hand\n");
  write_file(leaf + "/pesel.obj", reg.object + "\n" + reg.object + "\n");
  write_file(leaf + "/stale.q", "x");
  testing_support::make_dirs("DISK/PESEL/99/88");
  write_file(entry + "/TMP", "left over");
  write_file("DISK/UID32BASE/A/B/C/junk", "x");
  testing_support::make_dirs("DISK/UID32BASE/Q/Q/Q/" + uid('Q', 'Q', 'Q', 9));
  write_file("DISK/START/Q/W/E/scode.q", "CODE=gone&\n");
  ::chmod(leaf.c_str(), 0700);
  // A link in place of a replayed folder is replaced, never followed.
  std::filesystem::remove_all("DISK/PESEL/RN");
  ASSERT_EQ(::symlink("../victim", "DISK/PESEL/RN"), 0);

  EXPECT_EQ(restore(), done);
  tree_snapshot again = snapshot_tree("DISK");
  for (const char* dot : {"PESEL/.keep", "UID32BASE/A/B/C/.keep", "START/Q/W/E/.keep"}) {
    EXPECT_EQ(again.count(dot), 1u) << dot;
    again.erase(dot);
  }
  EXPECT_EQ(tree_difference(again, once), "");
}

TEST_F(Restore, ClearingsLeaveDotNamesOnly) {
  write_file("DISK/PESEL/.keep", "1");
  write_file("DISK/PESEL/file", "1");
  testing_support::make_dirs("DISK/PESEL/12/34/.deep");
  clear_base_PESEL();
  EXPECT_EQ(tree_difference(snapshot_tree("DISK/PESEL"), {{".keep", "file 644:1"}}), "");

  testing_support::make_dirs("DISK/START/A/B/C/.dotdir");
  testing_support::make_dirs("DISK/START/A/B/C/sub");
  write_file("DISK/START/A/B/C/scode.q", "CODE=ABCD&\n");
  write_file("DISK/START/name", "old\n");
  write_file("DISK/START/A/B/other", "not a third-level folder: stays\n");
  clear_base_START();
  EXPECT_EQ(tree_difference(without_letter_levels(snapshot_tree("DISK/START")),
                            {{"name", "file 666:START\n"}, {"A", "dir 755"}, {"A/B", "dir 755"},
                             {"A/B/C", "dir 755"}, {"A/B/C/.dotdir", "dir 755"},
                             {"A/B/other", "file 644:not a third-level folder: stays\n"}}),
            "");
}

// A journal that cannot be opened refuses the restore after every step
// before it and leaves every later step undone.
TEST_F(Restore, MissingJournalStopsAtItsStep) {
  sample_registry reg;
  reg.write_journals();
  ASSERT_EQ(restore(), done);
  const tree_snapshot full_p = snapshot_tree("DISK/PESEL"), full_u = snapshot_tree("DISK/UID32BASE"),
                      full_s = snapshot_tree("DISK/START");
  auto without_files = [](tree_snapshot t, const std::vector<std::string>& suffixes) {
    for (auto it = t.begin(); it != t.end();) {
      bool drop = false;
      for (const auto& s : suffixes) drop |= it->first.ends_with(s);
      it = drop ? t.erase(it) : std::next(it);
    }
    return t;
  };
  auto bare = [](const tree_snapshot& t) {
    tree_snapshot out;
    for (const auto& [p, w] : t)
      if (p == "name" || without_letter_levels({{p, w}}).empty()) out.emplace(p, w);
    return out;
  };
  struct row {
    const char* journal;
    const char* cause;
    std::vector<std::string> pesel_files_missing;  // P rebuilt without these
    const char* u;                                 // "full", "bare", "no ip", "untouched"
    const char* s;
  };
  const std::vector<row> rows = {
      {"list_pesel_usr.q", "no_file[1]", {}, "untouched", "untouched"},
      {"list_pesel_obj.q", "no_file[3]", {"pesel.obj", "pesel.nod"}, "untouched", "untouched"},
      {"list_pesel_nod.q", "no_file[5]", {"pesel.nod"}, "untouched", "untouched"},
      {"list_uid32base.q", "no_file[7]", {}, "bare", "untouched"},
      {"list_ip.nq", "no_file[9]", {}, "no ip", "untouched"},
      {"list_start_base.q", "no_file[11]", {}, "full", "bare"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.journal);
    // Marks in cleared folders show whether a tree was touched.
    write_file("DISK/UID32BASE/M/M/M/mark", "u");
    write_file("DISK/START/M/M/M/mark", "s");
    tree_snapshot marked_u = snapshot_tree("DISK/UID32BASE"), marked_s = snapshot_tree("DISK/START");
    std::string path = std::string("DISK/LIST/") + r.journal;
    ASSERT_EQ(::rename(path.c_str(), "DISK/aside"), 0);
    ::umask(022);  // as for the first restore, whose trees are compared
    EXPECT_EQ(restore(), refused(r.cause));
    ASSERT_EQ(::rename("DISK/aside", path.c_str()), 0);

    tree_snapshot p = snapshot_tree("DISK/PESEL");
    if (std::string(r.cause) == "no_file[1]") {
      EXPECT_TRUE(p.empty());
    } else {
      tree_snapshot expected = without_files(full_p, r.pesel_files_missing);
      // Folders made only for the missing files are not made either.
      if (!r.pesel_files_missing.empty())
        for (const char* firm_key : {"N1", "RN"})
          for (auto it = expected.begin(); it != expected.end();)
            it = it->first.starts_with(firm_key) ? expected.erase(it) : std::next(it);
      EXPECT_EQ(tree_difference(p, expected), "");
    }
    std::string su = r.u;
    tree_snapshot u = su == "untouched" ? marked_u
                      : su == "full"    ? full_u
                      : su == "bare"    ? bare(full_u)
                                        : without_files(full_u, {"/ip.q"});
    EXPECT_EQ(tree_difference(snapshot_tree("DISK/UID32BASE"), u), "");
    tree_snapshot s = std::string(r.s) == "untouched" ? marked_s : bare(full_s);
    EXPECT_EQ(tree_difference(snapshot_tree("DISK/START"), s), "");
  }
}

// A line without its key refuses the restore there: the lines before it are
// written, the ones after it and every later phase are not.
TEST_F(Restore, LineWithoutKeyRefusesAfterTheLinesBeforeIt) {
  sample_registry reg;
  const std::string no_key = "NAME=whatever&DEP=7&";
  struct row {
    const char* journal;
    std::string content;
    const char* cause;
    std::string file;      // the file that holds the first line only
    std::string expected;
  };
  std::string entry = "DISK/UID32BASE/A/B/C/" + reg.firm;
  const std::vector<row> rows = {
      {"list_pesel_usr.q", lines({reg.user1, no_key, reg.user2}), "incorrect_qvector[1]",
       "DISK/PESEL/44/05/14/01/45/8/pesel.usr", lines({reg.user1})},
      {"list_pesel_obj.q", lines({reg.object, no_key, reg.object}), "incorrect_qvector[2]",
       "DISK/PESEL/44/05/14/01/45/8/pesel.obj", lines({reg.object})},
      {"list_uid32base.q", lines({reg.node, no_key, reg.node}), "incorrect_qvector[4]", entry + "/node.q",
       lines({reg.node})},
      {"list_ip.nq", ip_record(reg.firm, "10.1.2.3") + ip_record("", "10.1.2.4").replace(0, 7, "NOPE=x&"),
       "incorrect_qvector[5]", entry + "/ip.q", "IPADDR=10.1.2.3&\n"},
      {"list_ip.nq", ip_record(reg.firm, "10.1.2.3") + ip_record(reg.firm, "1").replace(39, 7, "NOPE=x&"),
       "incorrect_qvector[6]", entry + "/ip.q", "IPADDR=10.1.2.3&\n"},
      {"list_start_base.q", lines({reg.code1, no_key, reg.code2}), "incorrect_qvector[7]",
       "DISK/START/Q/W/E/scode.q", lines({reg.code1})},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.cause);
    reg.write_journals();
    journal(r.journal, r.content);
    EXPECT_EQ(restore(), refused(r.cause));
    EXPECT_EQ(read_file(r.file), r.expected);
  }
  // The users' refusal leaves objects and departments unwritten.
  reg.write_journals();
  journal("list_pesel_usr.q", lines({reg.user1, no_key}));
  EXPECT_EQ(restore(), refused("incorrect_qvector[1]"));
  EXPECT_FALSE(testing_support::file_exists("DISK/PESEL/44/05/14/01/45/8/pesel.obj"));
  EXPECT_FALSE(testing_support::file_exists("DISK/PESEL/N1"));
}

// An append that fails midway (a key whose letter folders do not exist)
// refuses the restore with exactly the earlier lines in place, although the
// restore writes each file once with all its lines.
TEST_F(Restore, FailedAppendLeavesExactlyTheEarlierLines) {
  sample_registry reg;
  reg.write_journals();
  std::string lower = uid('a', 'b', 'c', 3);
  std::string node2 = uid32_node_line(reg.firm, "8");
  journal("list_uid32base.q", lines({reg.node, reg.user1, user_line(reg.firm, lower, reg.pesel, "Bad"), node2,
                                     reg.user2}));
  ASSERT_EQ(restore(), refused("no_file[8]"));
  std::string entry = "DISK/UID32BASE/A/B/C/" + reg.firm;
  EXPECT_EQ(read_file(entry + "/node.q"), lines({reg.node}));
  EXPECT_EQ(read_file("DISK/UID32BASE/X/Y/Z/" + reg.person + "/usr.q"), lines({reg.user1}));
  EXPECT_FALSE(testing_support::file_exists(entry + "/ip.q"));
  EXPECT_EQ(without_letter_levels(snapshot_tree("DISK/START")).size(), 0u);  // S not reached, never laid
}

// Keys that give no path in their tree are left out; nothing is written
// anywhere else and the restore goes on.
TEST_F(Restore, KeysWithoutPathAreSkipped) {
  sample_registry reg;
  reg.write_journals();
  journal("list_pesel_usr.q", lines({user_line(reg.firm, reg.person, "12/45678901", "slash"),
                                     user_line(reg.firm, reg.person, "1234567890", "short"),
                                     user_line(reg.firm, reg.person, "..345678901", "dots"),
                                     user_line(reg.firm, reg.person, "null", "null"), reg.user1}));
  journal("list_pesel_nod.q", lines({pesel_node_line(reg.firm, "null", "../../../../"), reg.dept}));
  journal("list_uid32base.q", lines({user_line(reg.firm, "../" + reg.person, reg.pesel, "up"),
                                     uid32_node_line("..", "7"), uid32_node_line("AB", "7"), reg.node}));
  journal("list_start_base.q", lines({"CODE=Q/W-E&", "CODE=QW&", reg.code1}));
  ::unlink("DISK/LIST/rs_last_number.txt");
  auto outside_trees = [](tree_snapshot t) {
    for (auto it = t.begin(); it != t.end();) {
      bool in_tree = it->first.starts_with("DISK/PESEL/") || it->first.starts_with("DISK/UID32BASE/") ||
                     it->first.starts_with("DISK/START/");
      it = in_tree ? t.erase(it) : std::next(it);
    }
    return t;
  };
  tree_snapshot before = outside_trees(snapshot_tree("."));
  EXPECT_EQ(restore(), done);

  tree_snapshot p = reg.pesel_tree();
  p["44/05/14/01/45/8/pesel.usr"] = "file 644:" + lines({reg.user1});
  EXPECT_EQ(tree_difference(snapshot_tree("DISK/PESEL"), p), "");
  tree_snapshot u = reg.uid32_tree();
  for (auto it = u.begin(); it != u.end();) it = it->first.starts_with("X/") ? u.erase(it) : std::next(it);
  EXPECT_EQ(tree_difference(without_letter_levels(snapshot_tree("DISK/UID32BASE")), u), "");
  EXPECT_EQ(tree_difference(without_letter_levels(snapshot_tree("DISK/START")),
                            {{"name", "file 666:START\n"}, {"Q/W/E/scode.q", "file 666:" + lines({reg.code1})}}),
            "");
  EXPECT_EQ(tree_difference(outside_trees(snapshot_tree(".")), before), "");
}

TEST_F(Restore, PutsTheCounterFileBack) {
  empty_journals();
  write_file("DISK/rs_last_number.txt", "RS000000001\n");
  EXPECT_EQ(restore(), done);  // no copy in the list folder: left as it is
  EXPECT_EQ(read_file("DISK/rs_last_number.txt"), "RS000000001\n");
  write_file("DISK/LIST/rs_last_number.txt", "RS000000042\n");
  EXPECT_EQ(restore(), done);
  EXPECT_EQ(read_file("DISK/rs_last_number.txt"), "RS000000042\n");
  ::unlink("DISK/rs_last_number.txt");
  write_file("DISK/LIST/rs_last_number.txt", "RS000000043\n");
  EXPECT_EQ(restore(), done);
  EXPECT_EQ(read_file("DISK/rs_last_number.txt"), "RS000000043\n");
  EXPECT_EQ(without_letter_levels(snapshot_tree("DISK")).count(".rs_last_number.txt"), 0u);
}

// The batched restore against the plain line-by-line one, on two copies of
// one working directory, through a series of runs: fresh trees, rebuilt and
// damaged trees under a changed mask, and refusals in the middle of the
// replay. Every entry, mode and byte must agree.
class RestoreAgainstModel : public ::testing::Test {
 protected:
  void SetUp() override {
    char cwd[4096];
    ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
    old_cwd_ = cwd;
    old_mask_ = ::umask(022);
    for (const char* side : {"real", "model"})
      for (const char* d : {"DISK/PESEL", "DISK/UID32BASE", "DISK/LIST", "DISK/START"})
        testing_support::make_dirs(root_ / (std::string(side) + "/" + d));
  }
  void TearDown() override {
    reset_settings();
    ::umask(old_mask_);
    ASSERT_EQ(::chdir(old_cwd_.c_str()), 0);
  }
  // Does the same thing in both copies.
  template <class Fn>
  void both(Fn fn) {
    for (const char* side : {"real", "model"}) {
      ASSERT_EQ(::chdir((root_ / side).c_str()), 0);
      fn();
    }
  }
  // Runs both restores under the same mask; their replies and trees agree.
  void run_and_compare(mode_t mask, const std::string& expected_reply) {
    std::string replies[2];
    int i = 0;
    both([&] {
      ::umask(mask);
      reset_settings();
      if (i == 0) {
        char buf[512] = "OP=restore_files_local&";
        restore_files_local(buf, buf, "192.168.1.9");
        replies[i] = buf;
      } else {
        replies[i] = testing_support::restore_line_by_line("192.168.1.9");
      }
      ++i;
    });
    EXPECT_EQ(replies[0], expected_reply);
    EXPECT_EQ(replies[1], expected_reply);
    EXPECT_EQ(tree_difference(snapshot_tree(root_ / "real"), snapshot_tree(root_ / "model")), "");
  }

  testing_support::memory_dir root_;
  std::string old_cwd_;
  mode_t old_mask_ = 022;
};

struct random_registry {
  std::mt19937 rng{20261207};
  std::vector<std::string> pesels, firms, people;
  std::vector<std::string> usr, obj, nod, u32, start;
  std::string ip;

  std::string digits(int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s.push_back(static_cast<char>('0' + rng() % 10));
    return s;
  }
  char letter(int spread) { return static_cast<char>('A' + rng() % spread); }
  template <class T>
  const T& pick(const std::vector<T>& v) { return v[rng() % v.size()]; }

  random_registry() {
    for (int i = 0; i < 30; ++i) pesels.push_back(i % 7 == 0 ? "44" + digits(9) : digits(11));
    pesels.push_back(".q345678901");  // a first level whose name begins with '.'
    for (int i = 0; i < 8; ++i) firms.push_back(uid(letter(3), letter(3), letter(3), 100 + i));
    for (int i = 0; i < 25; ++i) people.push_back(uid(letter(3), letter(3), letter(2), 200 + i));
    people.push_back("A.B" + digits(29));  // lands beside the third-level folders, not in them
    for (int i = 0; i < 80; ++i) add_user();
    for (int i = 0; i < 50; ++i) obj.push_back(object_line(pick(pesels), pick(firms)));
    for (int i = 0; i < 20; ++i) {
      std::string n = rng() % 4 ? "N" + digits(10) : "null", r = rng() % 3 ? "RN" + digits(9) : "null";
      if (i == 5) r = n = "N" + digits(10);  // both keys alike: two lines in one file
      nod.push_back(pesel_node_line(pick(firms), n, r));
      if (rng() % 2) nod.push_back(nod.back());
    }
    for (int i = 0; i < 20; ++i) u32.push_back(uid32_node_line(pick(firms), std::to_string(i)));
    std::shuffle(u32.begin(), u32.end(), rng);
    for (const auto& f : firms) ip += ip_record(f, "10.0.0." + std::to_string(rng() % 250));
    ip += ip_record(firms[0], "10.9.9.9");
    ip += "UID32=partial";
    for (int i = 0; i < 40; ++i) {
      std::string code;
      for (int g = 0; g < 5; ++g) {
        if (g) code += '-';
        for (int k = 0; k < 4; ++k) code += g == 0 && k < 2 ? 'Q' : letter(4);
      }
      start.push_back("CODE=" + code + (rng() % 2 ? "&" : "&VDATE=20301231&"));
    }
  }
  void add_user() {
    std::string line = user_line(pick(firms), pick(people), pick(pesels), "N" + digits(3));
    usr.push_back(line);
    u32.push_back(line);
  }
  void write() const {
    write_file("DISK/LIST/list_pesel_usr.q", lines(usr));
    write_file("DISK/LIST/list_pesel_obj.q", lines(obj));
    write_file("DISK/LIST/list_pesel_nod.q", lines(nod));
    write_file("DISK/LIST/list_uid32base.q", lines(u32));
    write_file("DISK/LIST/list_ip.nq", ip);
    write_file("DISK/LIST/list_start_base.q", lines(start));
    write_file("DISK/LIST/rs_last_number.txt", "RS000000099\n");
  }
};

TEST_F(RestoreAgainstModel, LeavesWhatTheLineByLineRestoreLeaves) {
  random_registry reg;
  both([&] { reg.write(); });
  {
    SCOPED_TRACE("fresh trees");
    run_and_compare(022, done);
  }
  {
    SCOPED_TRACE("damaged trees, changed journals, mask 0");
    for (int i = 0; i < 10; ++i) reg.add_user();
    reg.obj.erase(reg.obj.begin() + 3, reg.obj.begin() + 20);
    reg.start.pop_back();
    both([&] {
      reg.write();
      write_file("DISK/PESEL/.top", "stays");
      write_file("DISK/PESEL/" + reg.pesels[1].substr(0, 2) + "/.inner", "goes");
      testing_support::make_dirs("DISK/PESEL/zz/yy");
      write_file("DISK/UID32BASE/A/A/A/stray", "goes");
      write_file("DISK/UID32BASE/A/A/A/.stray", "stays");
      write_file("DISK/outside.q", "shared by a hard link");
      for (const auto& f : reg.firms) {
        std::string entry = "DISK/UID32BASE/" + f.substr(0, 1) + "/" + f.substr(1, 1) + "/" + f.substr(2, 1) +
                            "/" + f;
        write_file(entry + "/TMP", "left over");
      }
      std::string first = reg.firms[0];
      std::string entry = "DISK/UID32BASE/" + first.substr(0, 1) + "/" + first.substr(1, 1) + "/" +
                          first.substr(2, 1) + "/" + first;
      ::unlink((entry + "/node.q").c_str());
      ASSERT_EQ(::link("DISK/outside.q", (entry + "/node.q").c_str()), 0);
    });
    run_and_compare(0, done);
  }
  {
    SCOPED_TRACE("an append fails in the middle of the UID32 entries");
    std::string bad = user_line(reg.firms[1], uid('a', 'a', 'a', 1), reg.pesels[2], "bad");
    reg.u32.insert(reg.u32.begin() + static_cast<long>(reg.u32.size() / 2), bad);
    both([&] { reg.write(); });
    run_and_compare(022, refused("no_file[8]"));
  }
  {
    SCOPED_TRACE("an append fails in the middle of the users over kept trees");
    reg.u32.erase(std::find(reg.u32.begin(), reg.u32.end(),
                            user_line(reg.firms[1], uid('a', 'a', 'a', 1), reg.pesels[2], "bad")));
    both([&] { reg.write(); });
    run_and_compare(0, done);
    // '.' names stay in the PESEL base: a file there blocks the folders of a key.
    std::string blocked = user_line(reg.firms[0], reg.people[0], ".w345678901", "blocked");
    reg.usr.insert(reg.usr.begin() + 40, blocked);
    both([&] {
      reg.write();
      write_file("DISK/PESEL/.w", "a file where a folder is wanted");
    });
    run_and_compare(0, refused("no_file[2]"));
  }
  {
    SCOPED_TRACE("a start code without letter folders");
    reg.usr.erase(reg.usr.begin() + 40);
    reg.start.insert(reg.start.begin() + 10, "CODE=abcd-efgh-ijkl-mnop-qrst&");
    both([&] { reg.write(); });
    run_and_compare(022, refused("no_file[12]"));
  }
}

}  // namespace
