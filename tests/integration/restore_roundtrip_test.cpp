// The restore against the registering operations themselves: a registry
// built through the real server, rebuilt from its journals, must come back
// byte for byte.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <filesystem>
#include <vector>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/support/fake_peer.h"
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

// The EUID of the firm's last node.q line, as a local server would hold it.
std::string node_euid(const testing_support::central_server& server, const std::string& firm) {
  std::string uid = field(firm, "UID32");
  std::string text = testing_support::read_file(server.path("DISK/UID32BASE/" + uid.substr(0, 1) + "/" + uid.substr(1, 1) +
                                                            "/" + uid.substr(2, 1) + "/" + uid + "/node.q"));
  std::size_t last = text.rfind('\n', text.size() - 2);
  return field(text.substr(last == std::string::npos ? 0 : last + 1), "EUID");
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

// Blocks change lines in place while the journals only append; a block
// refused half-way changed the firm files but not node.q. The notes beside
// the journals let the rebuild give back exactly the live trees, so every
// query answers after a restore as before it.
TEST(RestoreRoundTrip, BlocksDoneAndRefusedHalfWayComeBackByteForByte) {
  testing_support::central_server server;
  testing_support::memory_dir storage;
  testing_support::disk_in_memory(server, storage, false);
  for (const char* j : {"list_pesel_usr.q", "list_pesel_obj.q", "list_pesel_nod.q", "list_uid32base.q",
                        "list_ip.nq", "list_start_base.q"})
    testing_support::write_file(storage / (std::string("DISK/LIST/") + j), "");
  ASSERT_TRUE(server.start());
  const std::string done = "RE=restore_files_local&STATUS=done&";
  ASSERT_EQ(server.ask("OP=restore_files_local&"), done);

  // The firm's local server takes notices until told to refuse the n-th.
  std::atomic<int> notices{0}, refuse_at{0};
  testing_support::fake_peer local([&](const std::string&) {
    int n = ++notices;
    return testing_support::fake_peer::coded(n == refuse_at.load() ? "RE=block_department&STATUS=refused&CP=x&"
                                                                    : "RE=block_department&STATUS=done&");
  });
  auto add_dep = [&](const std::string& dep, const std::string& nip, const std::string& regon) {
    std::string r = server.ask("OP=add_department&NAME=Dept " + dep + "&DEP=" + dep + "&NIP=" + nip + "&REGON=" + regon +
                               "&PUID=" + std::to_string(local.port()) + "&PORTP=9001&PORTQ=9002&NODES=2&");
    EXPECT_EQ(r.rfind("RE=add_department&STATUS=done&", 0), 0u) << r;
    return r;
  };
  std::string firm = add_dep("d-a", "N1234563218", "RN123456785");
  add_dep("d-b", "N1234563218", "RN123456785");
  add_dep("d-c", "N1234563218", "RN123456785");
  std::string other = add_dep("d-a", "N5260250274", "null");
  for (const std::string& f : {firm, other})
    ASSERT_EQ(server.ask("OP=add_ip_node&UID32=" + field(f, "UID32") + "&IPNODE=127.0.0.1&"),
              "RE=add_ip_node&STATUS=done&");
  std::vector<std::string> users;
  for (const char* pesel : {"90010112349", "44051401458"}) {
    std::string r = server.ask("OP=add_usr&UID32=" + field(firm, "UID32") + "&EUID=" + field(firm, "EUID") +
                               "&UIDP=x&EUIDP=x&PESEL=" + pesel + "&DEP=d-b&NAME=Ann&STAT=user&");
    EXPECT_EQ(r.rfind("RE=add_usr&STATUS=done&", 0), 0u) << r;
    users.push_back(r);
  }
  auto block = [&](const std::string& request, int refuse, const std::string& reply) {
    notices = 0;
    refuse_at = refuse;
    EXPECT_EQ(server.ask(request), reply) << request;
  };
  const std::string by_both = "&NIP=N1234563218&REGON=RN123456785&";
  block("OP=block_department&DEP=d-a" + by_both, 0, "RE=block_department&STATUS=done&");
  // Refused at the second notice: the firm files carry the new EUID, node.q not.
  block("OP=block_department&DEP=null" + by_both, 2, "RE=block_department&STATUS=refused&CP=no_file[2]&");
  block("OP=block_department&DEP=d-b" + by_both, 0, "RE=block_department&STATUS=done&");
  add_dep("d-d", "N1234563218", "RN123456785");
  block("OP=block_department&DEP=d-a&NIP=N5260250274&REGON=null&", 0, "RE=block_department&STATUS=done&");
  EXPECT_EQ(server.ask("OP=add_pesel_obj&PESEL=90010112349&UID32=" + field(firm, "UID32") + "&DEP=1&"),
            "RE=add_pesel_obj&STATUS=done&");

  // Then a seeded random mix of every registering operation and of blocks,
  // some refused at a random notice.
  std::mt19937 rng(20261210);
  const std::vector<std::pair<std::string, std::string>> firms = {{"N1234563218", "RN123456785"},
                                                                  {"N5260250274", "null"}};
  int blocks_done = 0, blocks_refused = 0;
  for (int step = 0; step < 60; ++step) {
    const auto& [nip, regon] = firms[rng() % firms.size()];
    const std::string dep = "d-" + std::string(1, static_cast<char>('a' + rng() % 5));
    switch (rng() % 6) {
      case 0:
        add_dep(dep, nip, regon);
        break;
      case 1: {
        std::string pesel = "RS" + std::to_string(100000000 + rng() % 5);
        std::string r = server.ask("OP=add_usr&UID32=" + field(firm, "UID32") + "&EUID=" + field(firm, "EUID") +
                                   "&UIDP=x&EUIDP=x&PESEL=" + pesel + "&DEP=d-b&NAME=Bo&STAT=" +
                                   (rng() % 2 ? "admin" : "user") + "&");
        EXPECT_EQ(r.rfind("RE=add_usr&STATUS=done&", 0), 0u) << r;
        break;
      }
      case 2:
        EXPECT_EQ(server.ask("OP=add_pesel_obj&PESEL=RS20000000" + std::to_string(rng() % 3) + "&UID32=u" +
                             std::to_string(rng() % 4) + "&DEP=1&"),
                  "RE=add_pesel_obj&STATUS=done&");
        break;
      case 3:
        EXPECT_EQ(field(server.ask("OP=get_start_code&"), "CODE").size(), 24u);
        break;
      default: {
        std::string r = server.ask("OP=block_department&DEP=" + (rng() % 3 ? dep : std::string("null")) +
                                   "&NIP=" + nip + "&REGON=" + regon + "&");
        EXPECT_EQ(r.rfind("RE=block_department&STATUS=", 0), 0u) << r;
        (r == "RE=block_department&STATUS=done&" ? blocks_done : blocks_refused) += 1;
        break;
      }
    }
    refuse_at = static_cast<int>(rng() % 4);  // 0: the next block is done
    notices = 0;
  }
  EXPECT_GT(blocks_done, 0);
  EXPECT_GT(blocks_refused, 0) << "no block of the mix was refused half-way";

  auto trees = [&] {
    testing_support::tree_snapshot all;
    for (const char* t : {"PESEL", "UID32BASE", "START"})
      for (const auto& [path, what] : snapshot_tree(storage / (std::string("DISK/") + t)))
        all[std::string(t) + "/" + path] = what;
    return all;
  };
  auto answers = [&] {
    std::string out;
    std::string n = node_euid(server, firm);
    for (const std::string& u : users)
      out += server.ask("OP=check_user&UID32=" + field(firm, "UID32") + "&EUID=" + n + "&UIDP=" + field(u, "UIDP") +
                        "&EUIDP=" + field(u, "EUIDP") + "&") + "\n";
    for (const char* dep : {"d-a", "d-b", "d-c", "d-d"})
      out += server.ask("OP=get_dep_data&UID32=" + field(firm, "UID32") + "&DEP=" + dep + "&") + "\n";
    return out;
  };
  const testing_support::tree_snapshot built = trees();
  const std::string before = answers();
  ASSERT_EQ(server.ask("OP=restore_files_local&"), done);
  EXPECT_EQ(tree_difference(trees(), built), "");
  EXPECT_EQ(answers(), before);
}

}  // namespace
