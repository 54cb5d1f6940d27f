// The restore against the registering operations themselves: a registry
// built through the real server, rebuilt from its journals, must come back
// byte for byte.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/support/memory_dir.h"
#include "tests/support/server_fixture.h"
#include "tests/support/tree_snapshot.h"

namespace {

using testing_support::snapshot_tree;
using testing_support::tree_difference;

// The value of KEY in a KEY=value& message, "<absent>" when it has none.
std::string field(const std::string& message, const std::string& key) {
  for (std::size_t at = 0; (at = message.find(key + "=", at)) != std::string::npos; ++at) {
    if (at > 0 && message[at - 1] != '&') continue;
    std::size_t from = at + key.size() + 1, end = message.find('&', from);
    if (end != std::string::npos) return message.substr(from, end - from);
  }
  return "<absent>";
}

TEST(RestoreRoundTrip, RegistryBuiltByTheOperationsComesBackByteForByte) {
  testing_support::central_server server;
  // Storage on a memory file system behind DISK, as a mounted device is.
  testing_support::memory_dir storage;
  testing_support::disk_in_memory(server, storage, false);
  for (const char* j : {"list_pesel_usr.q", "list_pesel_obj.q", "list_pesel_nod.q", "list_uid32base.q",
                        "list_ip.nq", "list_start_base.q"})
    testing_support::write_file(storage / (std::string("DISK/LIST/") + j), "");
  ASSERT_TRUE(server.start());
  const std::string done = "RE=restore_files_local&STATUS=done&";
  // On empty journals the restore lays the letter levels the operations need.
  ASSERT_EQ(server.ask("OP=restore_files_local&"), done);

  auto add_dep = [&](const std::string& dep, const std::string& nip, const std::string& regon) {
    std::string r = server.ask("OP=add_department&NAME=Dept " + dep + "&DEP=" + dep + "&NIP=" + nip +
                               "&REGON=" + regon + "&PUID=9000&PORTP=9001&PORTQ=9002&NODES=2&");
    EXPECT_EQ(r.rfind("RE=add_department&STATUS=done&", 0), 0u) << r;
    return r;
  };
  // Department codes that occur in no other text of the firm's lines.
  std::string firm1 = add_dep("d-one", "N1234563218", "RN123456785");
  add_dep("d-two", "N1234563218", "RN123456785");
  std::string firm2 = add_dep("d-one", "N5260250274", "null");
  for (const auto& [firm, ip] : {std::pair{firm1, "10.0.0.1"}, std::pair{firm2, "10.0.0.2"},
                                 std::pair{firm1, "10.0.0.3"}})
    EXPECT_EQ(server.ask("OP=add_ip_node&UID32=" + field(firm, "UID32") + "&IPNODE=" + ip + "&"),
              "RE=add_ip_node&STATUS=done&");
  auto add_usr = [&](const std::string& firm, const std::string& pesel, const std::string& stat) {
    std::string r = server.ask("OP=add_usr&UID32=" + field(firm, "UID32") + "&EUID=" + field(firm, "EUID") +
                               "&UIDP=x&EUIDP=x&PESEL=" + pesel + "&DEP=1&NAME=Ann&STAT=" + stat + "&");
    EXPECT_EQ(r.rfind("RE=add_usr&STATUS=done&", 0), 0u) << r;
  };
  add_usr(firm1, "90010112349", "user");
  add_usr(firm1, "90010112349", "admin");  // a second version of the same person
  add_usr(firm2, "44051401458", "user");
  for (const auto& [pesel, firm] : {std::pair{"90010112349", firm1}, std::pair{"N1234563218", firm2}})
    EXPECT_EQ(server.ask("OP=add_pesel_obj&PESEL=" + std::string(pesel) + "&UID32=" + field(firm, "UID32") +
                         "&DEP=1&"),
              "RE=add_pesel_obj&STATUS=done&");
  for (const char* vdate : {"", "VDATE=20301231&", ""})
    EXPECT_EQ(field(server.ask(std::string("OP=get_start_code&") + vdate), "CODE").size(), 24u);

  auto trees = [&] {
    testing_support::tree_snapshot all;
    for (const char* t : {"PESEL", "UID32BASE", "START"})
      for (const auto& [path, what] : snapshot_tree(storage / (std::string("DISK/") + t)))
        all[std::string(t) + "/" + path] = what;
    return all;
  };
  testing_support::tree_snapshot built = trees();
  std::string entry1 = field(firm1, "UID32");
  entry1 = "UID32BASE/" + entry1.substr(0, 1) + "/" + entry1.substr(1, 1) + "/" + entry1.substr(2, 1) + "/" + entry1;
  ASSERT_EQ(built[entry1 + "/ip.q"], "file 666:IPADDR=10.0.0.3&\n");  // the operations did build a registry
  ASSERT_EQ(built.count("PESEL/90/01/01/12/34/9/pesel.usr"), 1u);
  ASSERT_EQ(server.ask("OP=restore_files_local&"), done);
  EXPECT_EQ(tree_difference(trees(), built), "");
}

}  // namespace
