// Write faults injected through the store's write seam: a write that fails,
// a write that stops part-way (the disk filled mid-line), a rename that
// fails. Every file keeps whole lines, a refusal names the operation's cause,
// a journal that misses a record refuses it and takes the record back, and a
// retry once the fault is gone leaves the record whole in every place.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <unistd.h>
#include <vector>

#include "registry/department_add.h"
#include "registry/department_block.h"
#include "registry/nodes.h"
#include "registry/objects.h"
#include "registry/start_codes.h"
#include "registry/users.h"
#include "store/append.h"
#include "store/file_cache.h"
#include "store/replace.h"
#include "store/write_seam.h"
#include "tests/support/fake_peer.h"
#include "tests/support/record_paths.h"
#include "tests/support/scratch_settings.h"
#include "tests/support/server_fixture.h"
#include "wire/message.h"

namespace {

using testing_support::file_exists;
using testing_support::make_dirs;
using testing_support::make_letter_levels;
using testing_support::read_file;
using testing_support::write_file;

enum class fault { none, fail_write, short_write, fail_rename };

const char* fault_name(fault f) {
  switch (f) {
    case fault::fail_write: return "failing write";
    case fault::short_write: return "short write";
    case fault::fail_rename: return "failing rename";
    case fault::none: break;
  }
  return "none";
}

// The armed fault, and every path the store wrote or renamed onto.
struct injector {
  fault kind = fault::none;
  std::string target;  // a path ending in this name is hit
  bool short_done = false;
  std::set<std::string> touched;
};
injector faults;

bool hits(const char* path) {
  // Paths are joined onto folders that end in '/': "a//b" is "a/b".
  std::string p;
  for (const char* c = path; *c; ++c)
    if (*c != '/' || p.empty() || p.back() != '/') p += *c;
  return faults.kind != fault::none && p.size() >= faults.target.size() &&
         p.compare(p.size() - faults.target.size(), std::string::npos, faults.target) == 0 &&
         (p.size() == faults.target.size() || p[p.size() - faults.target.size() - 1] == '/');
}

ssize_t faulty_write(const char* path, int fd, const void* p, std::size_t n, off_t at) {
  faults.touched.insert(path);
  if (hits(path) && faults.kind == fault::short_write && !faults.short_done && n > 1) {
    // Half of it reaches the file, then the disk is full.
    faults.short_done = true;
    n /= 2;
  } else if (hits(path) && (faults.kind == fault::fail_write || faults.kind == fault::short_write)) {
    errno = faults.kind == fault::short_write ? ENOSPC : EIO;
    return -1;
  }
  return at < 0 ? ::write(fd, p, n) : ::pwrite(fd, p, n, at);
}

int faulty_rename(const char* from, const char* to) {
  faults.touched.insert(to);
  if (hits(to) && faults.kind == fault::fail_rename) {
    errno = EIO;
    return -1;
  }
  return std::rename(from, to);
}

void arm(fault kind, const std::string& target) {
  faults.kind = kind;
  faults.target = target;
  faults.short_done = false;
}

// Every case runs twice: with plain reads and writes, and with the files kept
// open as the server's loop keeps them.
class WriteFaults : public testing_support::scratch_settings, public testing::WithParamInterface<bool> {
 protected:
  void SetUp() override {
    scratch_settings::SetUp();
    faults = injector{};
    store_ops().write = faulty_write;
    store_ops().rename = faulty_rename;
    file_cache_enable(GetParam() ? kept_files_max : 0);
  }
  void TearDown() override {
    file_cache_enable(0);
    reset_store_write_ops();
    faults = injector{};
    scratch_settings::TearDown();
  }

  // The content of every file the store has written so far ("" when gone).
  static std::map<std::string, std::string> written_files() {
    std::map<std::string, std::string> out;
    for (const std::string& p : faults.touched) out[p] = file_exists(p) ? read_file(p) : "";
    return out;
  }
};

// Every line file the store wrote ends with a whole line; list_ip.nq holds
// whole 65-byte records.
void expect_whole_lines() {
  for (const std::string& p : faults.touched) {
    if (!file_exists(p)) continue;
    std::string text = read_file(p);
    if (p.size() >= 10 && p.compare(p.size() - 10, 10, "list_ip.nq") == 0)
      EXPECT_EQ(text.size() % ip_record_size, 0u) << p;
    else
      EXPECT_TRUE(text.empty() || text.back() == '\n') << p << " ends in a fragment: " << text;
  }
}

// Lines (or list_ip.nq records) of path holding needle.
int count_in(const std::string& text, const std::string& needle) {
  int n = 0;
  for (std::size_t at = 0; (at = text.find(needle, at)) != std::string::npos; at += needle.size()) ++n;
  return n;
}
int count_holding(const std::string& path, const std::string& needle) {
  if (!file_exists(path)) return 0;
  std::string text = read_file(path);
  int n = 0;
  for (std::size_t at = 0; (at = text.find(needle, at)) != std::string::npos; at += needle.size()) ++n;
  return n;
}

// The lines of a journal that a rebuild replays: those the notes beside the
// journals do not mark as having reached no tree.
// text: what the journal at path holds (or held earlier: journals only grow).
std::string live_journal_of(const std::string& text, const std::string& path) {
  const std::string journal = path.substr(path.rfind('/') + 1);
  const std::string notes_path = path.substr(0, path.rfind('/') + 1) + "list_in_place.q";
  std::set<std::size_t> skipped;
  if (file_exists(notes_path))
    for (const std::string& n : testing_support::lines_of(read_file(notes_path))) {
      char name[64], at[32], skip[8];
      if (select_value(n.c_str(), "JOURNAL", name) == field_found && journal == name &&
          select_value(n.c_str(), "AT", at) == field_found && select_value(n.c_str(), "SKIP", skip) == field_found)
        skipped.insert(std::stoul(at));
    }
  std::string live;
  for (std::size_t from = 0, nl; (nl = text.find('\n', from)) != std::string::npos; from = nl + 1)
    if (!skipped.count(from)) live += text.substr(from, nl + 1 - from);
  return live;
}
std::string live_journal(const std::string& path) {
  return live_journal_of(file_exists(path) ? read_file(path) : "", path);
}

bool is_journal(const std::string& path) {
  return path.find("/LIST/") != std::string::npos && !path.ends_with("list_ip.nq");
}

TEST_P(WriteFaults, AFailedAppendIsCutBackSoTheNextLineStandsAlone) {
  const std::string path = dir / "LIST/j.q";
  write_file(path, "A=1&\n");
  for (fault f : {fault::fail_write, fault::short_write}) {
    SCOPED_TRACE(fault_name(f));
    arm(f, "j.q");
    EXPECT_EQ(append_line(path.c_str(), "B=2&UID32=XYZ&"), append_failed);
    EXPECT_EQ(read_file(path), "A=1&\n");
    arm(fault::none, "");
  }
  EXPECT_EQ(add_string_to_file(path.c_str(), "C=3&"), 0);
  EXPECT_EQ(read_file(path), "A=1&\nC=3&\n");
}

TEST_P(WriteFaults, TakingAppendsBackNeverCutsAnotherWritersLine) {
  const std::string mine = dir / "LIST/mine.q";
  const std::string shared = dir / "LIST/shared.q";
  {
    append_log log;
    ASSERT_EQ(add_string_to_file(mine.c_str(), "M=1&"), 0);
    ASSERT_EQ(add_string_to_file(shared.c_str(), "S=1&"), 0);
    EXPECT_EQ(log.size(), 2u);
    // Another process appends to the shared file after this request did.
    std::ofstream(shared, std::ios::app) << "OTHER=1&\n";
    EXPECT_FALSE(log.undo()) << "the shared line cannot be taken back";
  }
  EXPECT_EQ(read_file(mine), "");
  EXPECT_EQ(read_file(shared), "S=1&\nOTHER=1&\n");
}

TEST_P(WriteFaults, AWholeFileIsReplacedOnlyByAComplete) {
  const std::string path = dir / "LIST/whole.q";
  write_file(path, "IPADDR=1.1.1.1&\n");
  const std::string next = "IPADDR=2.2.2.2&\n";
  for (fault f : {fault::fail_write, fault::short_write, fault::fail_rename}) {
    SCOPED_TRACE(fault_name(f));
    arm(f, f == fault::fail_rename ? "whole.q" : "whole.q.new");
    EXPECT_EQ(replace_with_text(path.c_str(), next.data(), next.size()), -1);
    EXPECT_EQ(read_file(path), "IPADDR=1.1.1.1&\n");
    EXPECT_FALSE(file_exists(path + ".new")) << "no temporary file is left behind";
  }
  arm(fault::none, "");
  EXPECT_EQ(replace_with_text(path.c_str(), next.data(), next.size()), 0);
  EXPECT_EQ(read_file(path), next);
}

// One registering request, a file it writes, and what a fault there gives.
struct fault_case {
  const char* op;
  const char* target;   // the name of the file whose write (or rename) fails
  const char* refusal;  // the whole reply under the fault
  // True for the new causes: the refusal leaves every file as it was (a file
  // the request made may stay, empty). False for the causes whose written
  // leftovers stay as they were.
  bool clean;
  std::vector<const char*> places;  // file names that hold the record after a retry
  std::vector<const char*> journals;  // of them, the journals: exactly one copy
  bool rename = false;
};

TEST_P(WriteFaults, EachRegisteringOperationRefusesWithItsCauseAndARetryCompletesTheRecord) {
  make_letter_levels(dir / "UID32BASE");
  make_letter_levels(dir / "START");
  make_dirs(dir / "UID32BASE/A/B/C/ABCnode");
  const std::vector<fault_case> cases = {
      {"add_department", "pesel.nod", "RE=add_department&STATUS=refused&CP=no_file[1]&", true,
       {"pesel.nod", "node.q", "list_pesel_nod.q", "list_uid32base.q"}, {"list_pesel_nod.q", "list_uid32base.q"}},
      {"add_department", "list_pesel_nod.q", "RE=add_department&STATUS=refused&CP=no_file[4]&", true,
       {"pesel.nod", "node.q", "list_pesel_nod.q", "list_uid32base.q"}, {"list_pesel_nod.q", "list_uid32base.q"}},
      {"add_department", "node.q", "RE=add_department&STATUS=refused&CP=no_file[3]&", false,
       {"pesel.nod", "node.q", "list_pesel_nod.q", "list_uid32base.q"}, {"list_uid32base.q"}},
      {"add_department", "list_uid32base.q", "RE=add_department&STATUS=refused&CP=no_file[5]&", true,
       {"pesel.nod", "node.q", "list_pesel_nod.q", "list_uid32base.q"}, {"list_pesel_nod.q", "list_uid32base.q"}},
      {"add_pesel_obj", "pesel.obj", "RE=add_pesel_obj&STATUS=refused&CP=no_file&", true,
       {"pesel.obj", "list_pesel_obj.q"}, {"list_pesel_obj.q"}},
      {"add_pesel_obj", "list_pesel_obj.q", "RE=add_pesel_obj&STATUS=refused&CP=no_file&", true,
       {"pesel.obj", "list_pesel_obj.q"}, {"list_pesel_obj.q"}},
      {"add_usr", "usr.q", "RE=add_usr&STATUS=refused&CP=no_file[2]&", true,
       {"usr.q", "pesel.usr", "list_pesel_usr.q", "list_uid32base.q"}, {"list_pesel_usr.q", "list_uid32base.q"}},
      {"add_usr", "pesel.usr", "RE=add_usr&STATUS=refused&CP=no_file[2]&", false,
       {"usr.q", "pesel.usr", "list_pesel_usr.q", "list_uid32base.q"}, {"list_pesel_usr.q", "list_uid32base.q"}},
      {"add_usr", "list_pesel_usr.q", "RE=add_usr&STATUS=refused&CP=no_file[2]&", true,
       {"usr.q", "pesel.usr", "list_pesel_usr.q", "list_uid32base.q"}, {"list_pesel_usr.q", "list_uid32base.q"}},
      {"add_usr", "list_uid32base.q", "RE=add_usr&STATUS=refused&CP=no_file[2]&", true,
       {"usr.q", "pesel.usr", "list_pesel_usr.q", "list_uid32base.q"}, {"list_pesel_usr.q", "list_uid32base.q"}},
      {"get_start_code", "scode.q", "RE=get_start_code&CODE=null&", true, {"scode.q", "list_start_base.q"},
       {"list_start_base.q"}},
      {"get_start_code", "list_start_base.q", "RE=get_start_code&CODE=null&", true,
       {"scode.q", "list_start_base.q"}, {"list_start_base.q"}},
      {"add_ip_node", "ip.q.new", "RE=add_ip_node&STATUS=refused&CP=no_file&", true, {"ip.q", "list_ip.nq"},
       {"list_ip.nq"}},
      {"add_ip_node", "list_ip.nq", "RE=add_ip_node&STATUS=refused&CP=no_file&", true, {"ip.q", "list_ip.nq"},
       {"list_ip.nq"}},
      {"add_ip_node", "ip.q", "RE=add_ip_node&STATUS=refused&CP=no_file&", true, {"ip.q", "list_ip.nq"},
       {"list_ip.nq"}, true},
  };
  // The node's address before any fault, so that its journal record is an
  // overwrite in place.
  {
    char m[512] = "OP=add_ip_node&UID32=ABCnode&IPNODE=10.9.9.9&";
    ASSERT_EQ(add_ip_node(m, m), 0) << m;
  }

  int serial = 100000000;
  for (const fault_case& c : cases) {
    for (fault f : c.rename ? std::vector<fault>{fault::fail_rename}
                            : std::vector<fault>{fault::fail_write, fault::short_write}) {
      SCOPED_TRACE(std::string(c.op) + ", " + c.target + ", " + fault_name(f));
      const std::string id = "RS" + std::to_string(++serial);
      const std::string address = "10.1." + std::to_string(serial % 250) + "." + std::to_string(serial / 250 % 250);
      std::string request;
      std::string record_marker;
      if (std::string(c.op) == "add_department") {
        request = "OP=add_department&NAME=Shop&DEP=7&NIP=" + id + "&REGON=null&PUID=9001&PORTP=9002&PORTQ=9003&NODES=1&";
        record_marker = "NIP=" + id + "&";
      } else if (std::string(c.op) == "add_pesel_obj") {
        request = "OP=add_pesel_obj&PESEL=" + id + "&UID32=ABCnode&DEP=8&";
        record_marker = "PESEL=" + id + "&";
      } else if (std::string(c.op) == "add_usr") {
        request = "OP=add_usr&UID32=ABCnode&EUID=e&UIDP=x&EUIDP=y&PESEL=" + id + "&DEP=7&NAME=Jan&STAT=user&";
        record_marker = "PESEL=" + id + "&";
      } else if (std::string(c.op) == "get_start_code") {
        request = "OP=get_start_code&";
      } else {
        request = "OP=add_ip_node&UID32=ABCnode&IPNODE=" + address + "&";
        record_marker = "IPADDR=" + address + "&";
      }
      auto call = [&](char* buf) {
        std::string op = c.op;
        if (op == "add_department") return add_department(buf, buf);
        if (op == "add_pesel_obj") return add_pesel_obj(buf, buf);
        if (op == "add_usr") return add_usr(buf, buf);
        if (op == "get_start_code") return start_code(buf, buf, "127.0.0.1");
        return add_ip_node(buf, buf);
      };

      const auto before = written_files();
      arm(f, c.target);
      char buf[512];
      ASSERT_TRUE(copy_text(buf, request.c_str()));
      EXPECT_EQ(call(buf), -1);
      EXPECT_STREQ(buf, c.refusal);
      expect_whole_lines();
      if (c.clean) {
        // The journals keep what they received; what a rebuild replays of
        // them does not change.
        for (const auto& [path, text] : written_files()) {
          if (path.ends_with("list_in_place.q")) continue;
          auto was = before.find(path);
          std::string old = was == before.end() ? "" : was->second;
          if (is_journal(path))
            EXPECT_EQ(live_journal(path), live_journal_of(old, path)) << path << " replays differently after a refusal";
          else
            EXPECT_EQ(text, old) << path << " changed by a refusal";
        }
      }
      for (const auto& [path, text] : written_files())
        EXPECT_FALSE(path.size() > 4 && (path.ends_with(".new") || path.ends_with("/TMP")) && file_exists(path))
            << path << " left behind";

      arm(fault::none, "");
      ASSERT_TRUE(copy_text(buf, request.c_str()));
      ASSERT_EQ(call(buf), 0) << buf;
      if (record_marker.empty()) {  // the code issued
        char code[64];
        ASSERT_EQ(select_value(buf, "CODE", code), field_found) << buf;
        record_marker = std::string("CODE=") + code + "&";
      }
      expect_whole_lines();
      // A department's node lines carry its pair, not its NIP.
      std::string pair;
      if (std::string(c.op) == "add_department") {
        char uid32[64], euid[64];
        ASSERT_EQ(select_value(buf, "UID32", uid32), field_found) << buf;
        ASSERT_EQ(select_value(buf, "EUID", euid), field_found) << buf;
        pair = std::string("UID32=") + uid32 + "&EUID=" + euid + "&";
      }
      for (const char* place : c.places) {
        const std::string name = place;
        const std::string& marker =
            !pair.empty() && (name == "node.q" || name == "list_uid32base.q") ? pair : record_marker;
        int copies = 0;
        bool last_is_it = false;
        for (const std::string& p : faults.touched) {
          if (!p.ends_with(std::string("/") + place) || count_holding(p, marker) == 0) continue;
          copies += is_journal(p) ? count_in(live_journal(p), marker) : count_holding(p, marker);
          std::string text = read_file(p);
          if (std::string(place) == "list_ip.nq") {
            last_is_it = true;
          } else {
            std::size_t start = text.rfind('\n', text.size() - 2);
            last_is_it = text.find(marker, start == std::string::npos ? 0 : start) != std::string::npos;
          }
        }
        EXPECT_TRUE(last_is_it) << place << " does not end with the record";
        bool journal = false;
        for (const char* j : c.journals) journal = journal || std::string(j) == place;
        if (journal) {
          EXPECT_EQ(copies, 1) << place << " holds the record " << copies << " times";
        }
      }
    }
  }
}

// A fault at each step of a block: the firm files' rewrite (tmp.q, its
// journal lines, the rename, the copy to the second identifier) and node.q's
// (TMP, its journal lines, the rename). Never done under a fault; a refused
// rewrite leaves its file and its journal as they were and no temporary file;
// the retry blocks the firm and the journals end with the new lines.
TEST_P(WriteFaults, ABlockUnderAFaultIsRefusedWithItsStepsCodeAndLeavesNoHalfWork) {
  make_letter_levels(dir / "UID32BASE");
  testing_support::fake_peer local([](const std::string&) {
    return testing_support::fake_peer::coded("RE=block_department&STATUS=done&");
  });
  struct block_case {
    const char* target;  // "{NIP}" and "{REGON}" stand for the firm's folders
    fault kind;
    const char* code;
    bool firm_files_rewritten;  // the first rewrite was complete before the fault
  };
  const block_case cases[] = {
      {"tmp.q", fault::short_write, "no_file[1]", false},
      {"list_pesel_nod.q", fault::fail_write, "no_file[1]", false},
      {"list_pesel_nod.q", fault::short_write, "no_file[1]", false},
      {"{NIP}/pesel.nod", fault::fail_rename, "no_file[1]", false},
      {"{REGON}/pesel.nod.copy", fault::short_write, "no_file[1]", true},
      {"{REGON}/pesel.nod", fault::fail_rename, "no_file[1]", true},
      {"TMP", fault::short_write, "no_file[2]", true},
      {"list_uid32base.q", fault::fail_write, "no_file[2]", true},
      {"list_uid32base.q", fault::short_write, "no_file[2]", true},
      {"node.q", fault::fail_rename, "no_file[2]", true},
  };
  int serial = 200000000;
  for (const block_case& c : cases) {
    const std::string nip = "RS" + std::to_string(++serial);
    const std::string regon = "RS" + std::to_string(++serial);
    std::string target = c.target;
    for (auto [key, id] : {std::pair{"{NIP}", nip}, std::pair{"{REGON}", regon}})
      if (target.rfind(key, 0) == 0) target = testing_support::person_dir(id).substr(5) + target.substr(std::string(key).size());
    SCOPED_TRACE(target + ", " + fault_name(c.kind));

    std::string uid;
    for (const char* dep : {"d-1", "d-2", "d-3"}) {
      std::string m = std::string("OP=add_department&NAME=Shop&DEP=") + dep + "&NIP=" + nip + "&REGON=" + regon +
                      "&PUID=" + std::to_string(local.port()) + "&PORTP=1&PORTQ=2&NODES=3&";
      char buf[512];
      ASSERT_TRUE(copy_text(buf, m.c_str()));
      ASSERT_EQ(add_department(buf, buf), 0) << buf;
      char u[64];
      ASSERT_EQ(select_value(buf, "UID32", u), field_found);
      uid = u;
    }
    {
      std::string m = "OP=add_ip_node&UID32=" + uid + "&IPNODE=127.0.0.1&";
      char buf[512];
      ASSERT_TRUE(copy_text(buf, m.c_str()));
      ASSERT_EQ(add_ip_node(buf, buf), 0) << buf;
    }
    const std::string node_q = dir / (testing_support::entry(uid).substr(5) + "/node.q");
    const std::string nip_file = dir / (testing_support::person_dir(nip).substr(5) + "/pesel.nod");
    const std::string regon_file = dir / (testing_support::person_dir(regon).substr(5) + "/pesel.nod");
    const std::string firms_journal = dir / "LIST/list_pesel_nod.q";
    const std::string entries_journal = dir / "LIST/list_uid32base.q";
    const std::string nodes_before = read_file(node_q);
    const std::string firm_before = read_file(nip_file);
    const std::string entries_before = live_journal(entries_journal);
    const std::string firms_before = live_journal(firms_journal);

    const std::string request = "OP=block_department&DEP=null&NIP=" + nip + "&REGON=" + regon + "&";
    char buf[512];
    ASSERT_TRUE(copy_text(buf, request.c_str()));
    arm(c.kind, target);
    EXPECT_EQ(block_department(buf, buf), -1);
    EXPECT_EQ(std::string(buf), std::string("RE=block_department&STATUS=refused&CP=") + c.code + "&");
    arm(fault::none, "");
    expect_whole_lines();
    EXPECT_EQ(read_file(node_q), nodes_before) << "node.q changes only by a complete rewrite";
    EXPECT_EQ(live_journal(entries_journal), entries_before) << "no replayed line for a node.q that was not replaced";
    if (!c.firm_files_rewritten) {
      EXPECT_EQ(read_file(nip_file), firm_before);
      EXPECT_EQ(live_journal(firms_journal), firms_before);
    }
    EXPECT_FALSE(file_exists(node_q.substr(0, node_q.size() - 6) + "TMP"));
    EXPECT_FALSE(file_exists(nip_file.substr(0, nip_file.size() - 9) + "tmp.q"));
    EXPECT_FALSE(file_exists(regon_file + ".copy"));

    ASSERT_TRUE(copy_text(buf, request.c_str()));
    ASSERT_EQ(block_department(buf, buf), 0) << buf;
    auto nodes = testing_support::lines_of(read_file(node_q));
    auto firm = testing_support::lines_of(read_file(nip_file));
    ASSERT_EQ(nodes.size(), 3u);
    ASSERT_EQ(firm.size(), 3u);
    EXPECT_EQ(read_file(regon_file), read_file(nip_file));
    for (auto [journal, lines] : {std::pair{entries_journal, nodes}, std::pair{firms_journal, firm}}) {
      auto all = testing_support::lines_of(live_journal(journal));
      ASSERT_GE(all.size(), 3u);
      EXPECT_EQ(std::vector<std::string>(all.end() - 3, all.end()), lines) << journal << " ends with the new lines";
    }
    // One block's lines replayed from the entries journal: the refused one's are noted.
    EXPECT_EQ(testing_support::lines_of(live_journal(entries_journal)).size(),
              testing_support::lines_of(entries_before).size() + 3);
  }
}

}  // namespace

INSTANTIATE_TEST_SUITE_P(PlainAndKept, WriteFaults, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& p) { return p.param ? "Kept" : "Plain"; });
