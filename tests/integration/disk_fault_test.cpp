// Disk faults under a running server: a folder of a tree replaced by a
// regular file or gone, a file replaced by a folder. (The tests run as root,
// which ignores permission bits, so a read-only mode would fault nothing.)
// Each operation answers its own cause for a file it cannot reach, changes
// nothing but what its cause leaves behind, the server goes on serving, and
// the same request is done once the fault is repaired.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "tests/support/dated_text.h"
#include "tests/support/server_fixture.h"
#include "tests/support/tree_snapshot.h"

namespace {

using testing_support::value_of;

using testing_support::central_server;
using testing_support::file_exists;
using testing_support::snapshot_tree;
using testing_support::tree_snapshot;
using testing_support::write_file;

enum class fault { file_in_place, removed, folder_in_place };

struct fault_row {
  const char* name;
  const char* path;  // relative to the working directory
  fault kind;
  std::string request;  // "{UID}" stands for the firm's UID32
  std::string under_fault;
  std::vector<std::string> may_change;  // prefixes below DISK that the refusal may leave changed
  std::string repaired;                 // how the reply begins once the fault is gone
};

std::string add_department(const std::string& nip, const std::string& regon) {
  return "OP=add_department&NAME=Shop&DEP=7&NIP=" + nip + "&REGON=" + regon +
         "&PUID=9001&PORTP=9002&PORTQ=9003&NODES=1&";
}

std::string add_usr(const std::string& pesel, const std::string& stat) {
  return "OP=add_usr&UID32={UID}&EUID={EUID}&UIDP=x&EUIDP=y&PESEL=" + pesel + "&DEP=7&NAME=Jan&STAT=" + stat + "&";
}

// Paths of the tree that differ between two snapshots.
std::vector<std::string> changed(const tree_snapshot& before, const tree_snapshot& after) {
  std::vector<std::string> out;
  for (const auto& [path, entry] : after) {
    auto it = before.find(path);
    if (it == before.end() || it->second != entry) out.push_back(path);
  }
  for (const auto& [path, entry] : before)
    if (!after.count(path)) out.push_back(path + " (gone)");
  return out;
}

class DiskFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server.start()) << server.errors();
    std::string reply = server.ask(add_department("RS000000001", "null"));
    uid = value_of(reply, "UID32");
    euid = value_of(reply, "EUID");
    ASSERT_EQ(uid.size(), 32u) << reply;
    ASSERT_EQ(server.ask("OP=add_ip_node&UID32=" + uid + "&IPNODE=127.0.0.1&"), "RE=add_ip_node&STATUS=done&");
  }

  std::string expand(std::string text) const {
    for (auto [mark, value] : {std::pair{std::string("{UID}"), uid}, std::pair{std::string("{EUID}"), euid}})
      for (std::size_t at; (at = text.find(mark)) != std::string::npos;) text.replace(at, mark.size(), value);
    return text;
  }

  // The entry at path moves aside, and the fault takes its place.
  bool break_path(const fault_row& r) const {
    std::string p = server.path(r.path), aside = server.path("aside");
    if (file_exists(p) && std::rename(p.c_str(), aside.c_str()) != 0) return false;
    if (r.kind == fault::file_in_place) write_file(p, "not a folder\n");
    if (r.kind == fault::folder_in_place && ::mkdir(p.c_str(), 0755) != 0) return false;
    return r.kind == fault::removed ? !file_exists(p) : file_exists(p);
  }
  bool repair(const fault_row& r) const {
    std::string p = server.path(r.path), aside = server.path("aside");
    if (r.kind == fault::file_in_place && std::remove(p.c_str()) != 0) return false;
    if (r.kind == fault::folder_in_place && ::rmdir(p.c_str()) != 0) return false;
    return !file_exists(aside) || std::rename(aside.c_str(), p.c_str()) == 0;
  }

  // Letter levels as links back to each tree: every entry path resolves.
  central_server server{testing_support::with_linked_letter_levels()};
  std::string uid, euid;
};

TEST_F(DiskFaults, OperationsAnswerTheirNoFileCausesAndChangeNothingElse) {
  const std::string person = "44051401359", person_dir = "PESEL/44/05/14/01/35/9";
  const fault_row rows[] = {
      {"add_department, NIP folder", "DISK/PESEL/RS", fault::file_in_place, add_department("RS000000002", "null"),
       "RE=add_department&STATUS=refused&CP=no_file[1]&", {}, "RE=add_department&STATUS=done&UID32="},
      {"add_department, REGON folder", "DISK/PESEL/RN", fault::file_in_place,
       add_department("RS000000003", "RN123456785"), "RE=add_department&STATUS=refused&CP=no_file[2]&",
       {"PESEL/RS/00/00/00/00/3"}, "RE=add_department&STATUS=done&UID32="},
      {"add_department, UID32 base", "DISK/UID32BASE", fault::file_in_place, add_department("RS000000004", "null"),
       "RE=add_department&STATUS=refused&CP=no_file[3]&", {"PESEL/RS/00/00/00/00/4", "LIST/list_pesel_nod.q"},
       "RE=add_department&STATUS=done&UID32="},
      {"add_usr administrator, UID32 base", "DISK/UID32BASE", fault::file_in_place, add_usr("RS000000005", "admin"),
       "RE=add_usr&STATUS=refused&CP=no_file[1]&", {}, "RE=add_usr&STATUS=done&UID32="},
      // The user's own usr.q comes first and stays.
      {"add_usr, PESEL folder", "DISK/PESEL/44", fault::file_in_place, add_usr(person, "user"),
       "RE=add_usr&STATUS=refused&CP=no_file[2]&", {"UID32BASE/"}, "RE=add_usr&STATUS=done&UID32="},
      {"add_pesel_obj, PESEL folder", "DISK/PESEL/44", fault::file_in_place,
       "OP=add_pesel_obj&PESEL=" + person + "&UID32={UID}&DEP=7&", "RE=add_pesel_obj&STATUS=refused&CP=no_file&",
       {}, "RE=add_pesel_obj&STATUS=done&"},
      {"get_start_code, start folder", "DISK/START", fault::removed, "OP=get_start_code&",
       "RE=get_start_code&CODE=null&", {}, "RE=get_start_code&CODE="},
      {"add_ip_node, UID32 base", "DISK/UID32BASE", fault::file_in_place,
       "OP=add_ip_node&UID32={UID}&IPNODE=127.0.0.2&", "RE=add_ip_node&STATUS=refused&CP=no_file&", {},
       "RE=add_ip_node&STATUS=done&"},
      {"get_dep_data, UID32 base", "DISK/UID32BASE", fault::removed, "OP=get_dep_data&UID32={UID}&DEP=7&",
       "RE=get_dep_data&STATUS=refused&CP=no_file&", {}, "RE=get_dep_data&STATUS=done&UID32={UID}&"},
      {"get_nlines_pesel, PESEL base", "DISK/PESEL", fault::removed, "OP=get_nlines_pesel&PESEL=" + person + "&",
       "RE=get_nlines_pesel&NLINES=0&", {}, "RE=get_nlines_pesel&NLINES=1&"},
      {"log_adm, log", "DISK/log.q", fault::folder_in_place, "OP=log_adm&PESEL=" + person + "&NICK=adam&",
       "RE=log_adm&STATUS=refused&CP=no_log&", {}, "RE=log_adm&STATUS=done&"},
      {"get_last_log, log", "DISK/log.q", fault::folder_in_place, "OP=get_last_log&PESEL=" + person + "&",
       "RE=get_last_log&STATUS=refused&CP=no_file&", {}, "RE=get_last_log&STATUS=done&PESEL=" + person},
      {"get_tavr_config, configuration", "velmorTAVR.config", fault::folder_in_place, "OP=get_tavr_config&",
       "RE=get_tavr_config&IPTAVR=null&PORTTAVR=null&CP=no_file&", {},
       "RE=get_tavr_config&PORTTAVR=" + std::to_string(server.port()) + "&"},
      {"versionTAVR, version file", "BIN/version", fault::folder_in_place, "OP=versionTAVR&",
       "RE=versionTAVR&VER=null&SYS=null&CP=no_file&", {}, "RE=versionTAVR&VER=1.0.0&"},
      // A journal that cannot take the line refuses the object, and the
      // object's line is taken back (its file may stay, empty), so that the
      // retry writes it again instead of finding it "listed already".
      {"add_pesel_obj, journal", "DISK/LIST/list_pesel_obj.q", fault::folder_in_place,
       "OP=add_pesel_obj&PESEL=" + person + "&UID32={UID}&DEP=8&", "RE=add_pesel_obj&STATUS=refused&CP=no_file&",
       {person_dir + "/pesel.obj"}, "RE=add_pesel_obj&STATUS=done&"},
  };
  for (const fault_row& r : rows) {
    SCOPED_TRACE(r.name);
    ASSERT_TRUE(break_path(r));
    tree_snapshot before = snapshot_tree(server.path("DISK"));
    EXPECT_EQ(server.ask(expand(r.request)), expand(r.under_fault));
    for (const std::string& path : changed(before, snapshot_tree(server.path("DISK")))) {
      bool allowed = false;
      for (const std::string& prefix : r.may_change) allowed = allowed || path.rfind(prefix, 0) == 0;
      EXPECT_TRUE(allowed) << "changed: " << path;
    }
    EXPECT_EQ(server.ask("TEST=H00&"), "REPLY=velmorTAVR_CENTRAL&");
    ASSERT_TRUE(repair(r));
    std::string reply = server.ask(expand(r.request));
    EXPECT_EQ(reply.rfind(expand(r.repaired), 0), 0u) << reply;
  }
  std::string errors = server.errors();
  EXPECT_EQ(errors.find("ERROR: AddressSanitizer"), std::string::npos) << errors;
  EXPECT_EQ(errors.find("runtime error"), std::string::npos) << errors;
}

}  // namespace
