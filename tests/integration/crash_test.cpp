// Crash safety: the server is killed (SIGKILL) at random moments of a burst
// of writes, several times, and restarted on the same working directory.
// Every record it acknowledged is in its tree file and its journal, every
// journal line is whole, and a restore from the journals gives a store that
// knows every acknowledged user, object and department.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "registry/user_record.h"
#include "tests/support/record_paths.h"
#include "tests/support/dated_text.h"
#include "tests/support/memory_dir.h"
#include "tests/support/record_text.h"
#include "tests/support/server_fixture.h"
#include "tests/support/text_pattern.h"

namespace {

using testing_support::entry;
using testing_support::person_dir;

namespace fs = std::filesystem;
using namespace std::chrono;
using testing_support::central_server;
using testing_support::read_file;

constexpr int rounds = 6;

using testing_support::value_of;

bool starts_with(const std::string& s, const std::string& prefix) { return s.rfind(prefix, 0) == 0; }
using testing_support::has_line;
using testing_support::has_line_starting;

// The lines of a journal; a text that does not end with a newline has a
// torn last line, reported as such.
std::vector<std::string> lines_marking_torn(const std::string& text) {
  std::vector<std::string> out;
  std::size_t at = 0;
  for (std::size_t nl; (nl = text.find('\n', at)) != std::string::npos; at = nl + 1) out.push_back(text.substr(at, nl - at));
  if (at < text.size()) out.push_back("<torn: " + text.substr(at) + ">");
  return out;
}

// KEY=value& fields and nothing else, closed by the DATE field when dated.
bool well_formed(const std::string& line, bool dated) {
  if (line.empty() || line.back() != '&') return false;
  std::size_t start = 0;
  for (std::size_t amp; (amp = line.find('&', start)) != std::string::npos; start = amp + 1) {
    std::size_t eq = line.find('=', start);
    if (eq == std::string::npos || eq == start || eq > amp) return false;
  }
  return !dated || (line.size() > testing_support::date_pattern.size() &&
                    testing_support::matches(line.substr(line.size() - testing_support::date_pattern.size()),
                                             testing_support::date_pattern));
}

bool user_line_parses(const std::string& line) {
  user_field uid32, euid, uidp, euidp, pesel, dep, stat, range, act;
  user_name name;
  return strip_user_string(line.c_str(), uid32, euid, uidp, euidp, pesel, dep, name, stat, range, act) == 1;
}

struct acknowledged {
  std::vector<std::string> users;    // the stored lines
  std::vector<std::string> objects;  // the object lines
  std::vector<std::string> departments;  // the full department texts of the replies
};

// Writes until stop is set, recording every reply that said done.
void write_burst(const central_server& server, const std::string& uid, const std::string& euid, int round,
                 std::atomic<bool>& stop, acknowledged& ack) {
  int serial = 0;
  std::mt19937 rng(static_cast<unsigned>(round));
  while (!stop) {
    std::string digits = std::to_string(round * 100000 + ++serial);
    std::string id = "RS" + std::string(9 - digits.size(), '0') + digits;
    proto::reply r;
    switch (rng() % 3) {
      case 0: {
        std::string m = "OP=add_usr&UID32=" + uid + "&EUID=" + euid + "&UIDP=x&EUIDP=y&PESEL=" + id +
                        "&DEP=d1&NAME=Jan&STAT=user&";
        if (server.send(m, r, 2000) == proto::outcome::reply && starts_with(r.text, "RE=add_usr&STATUS=done&"))
          ack.users.push_back(r.text.substr(std::string("RE=add_usr&STATUS=done&").size()));
        break;
      }
      case 1: {
        std::string line = "PESEL=" + id + "&UID32=" + uid + "&DEP=d1&";
        if (server.send("OP=add_pesel_obj&" + line, r, 2000) == proto::outcome::reply &&
            r.text == "RE=add_pesel_obj&STATUS=done&")
          ack.objects.push_back(line);
        break;
      }
      default: {
        std::string m = "OP=add_department&NAME=Shop&DEP=d" + digits + "&NIP=" + id +
                        "&REGON=null&PUID=9001&PORTP=9002&PORTQ=9003&NODES=1&";
        const std::string done = "RE=add_department&STATUS=done&";
        if (server.send(m, r, 2000) == proto::outcome::reply && starts_with(r.text, done))
          ack.departments.push_back(r.text.substr(done.size()));
        break;
      }
    }
  }
}

using testing_support::pesel_node_start;
using testing_support::uid32_node_start;

TEST(CrashSafety, AcknowledgedRecordsSurviveSigkillAndRebuildFromTheJournals) {
  // DISK on a memory file system: the restore needs the real letter levels.
  testing_support::memory_dir disk;
  central_server server;
  testing_support::disk_in_memory(server, disk, true);
  // The restore needs every journal, even those no write here makes.
  for (const char* j : {"list_ip.nq", "list_start_base.q"}) testing_support::write_file(disk / (std::string("DISK/LIST/") + j), "");
  ASSERT_TRUE(server.start()) << server.errors();

  std::string firm = server.ask("OP=add_department&NAME=Home&DEP=d1&NIP=RS999999999&REGON=null&PUID=9001&"
                                "PORTP=9002&PORTQ=9003&NODES=1&");
  const std::string uid = value_of(firm, "UID32"), euid = value_of(firm, "EUID");
  ASSERT_EQ(uid.size(), 32u) << firm;

  acknowledged ack;
  std::mt19937 rng(20261210);
  for (int round = 1; round <= rounds; ++round) {
    std::atomic<bool> stop{false};
    acknowledged got;
    std::thread writer(write_burst, std::cref(server), uid, euid, round, std::ref(stop), std::ref(got));
    std::this_thread::sleep_for(milliseconds(50 + rng() % 251));
    ::kill(server.pid(), SIGKILL);
    stop = true;
    writer.join();
    server.stop();
    for (auto [from, to] : {std::pair{&got.users, &ack.users}, std::pair{&got.objects, &ack.objects},
                            std::pair{&got.departments, &ack.departments}})
      to->insert(to->end(), from->begin(), from->end());
    ASSERT_TRUE(server.start()) << "round " << round << ": " << server.errors();
  }
  std::printf("crash: %d kills; acknowledged %zu users, %zu objects, %zu departments\n", rounds, ack.users.size(),
              ack.objects.size(), ack.departments.size());
  ASSERT_GT(ack.users.size() + ack.objects.size() + ack.departments.size(), 0u);

  // Whole lines only, each a record of its kind.
  const std::string journal_usr = read_file(server.path("DISK/LIST/list_pesel_usr.q"));
  const std::string journal_u32 = read_file(server.path("DISK/LIST/list_uid32base.q"));
  const std::string journal_obj = read_file(server.path("DISK/LIST/list_pesel_obj.q"));
  const std::string journal_nod = read_file(server.path("DISK/LIST/list_pesel_nod.q"));
  for (const std::string& l : lines_marking_torn(journal_usr)) EXPECT_TRUE(user_line_parses(l)) << l;
  for (const std::string& l : lines_marking_torn(journal_u32))
    EXPECT_TRUE(l.find("&UIDP=") != std::string::npos ? user_line_parses(l) : well_formed(l, true)) << l;
  for (const std::string& l : lines_marking_torn(journal_obj)) EXPECT_TRUE(well_formed(l, false)) << l;
  for (const std::string& l : lines_marking_torn(journal_nod)) EXPECT_TRUE(well_formed(l, true)) << l;

  // Every acknowledged record in its tree file and its journal.
  for (const std::string& line : ack.users) {
    EXPECT_TRUE(has_line(journal_usr, line) && has_line(journal_u32, line)) << line;
    EXPECT_TRUE(has_line(read_file(server.path(entry(value_of(line, "UIDP")) + "/usr.q")), line)) << line;
    EXPECT_TRUE(has_line(read_file(server.path(person_dir(value_of(line, "PESEL")) + "/pesel.usr")), line)) << line;
  }
  for (const std::string& line : ack.objects) {
    EXPECT_TRUE(has_line(journal_obj, line)) << line;
    EXPECT_TRUE(has_line(read_file(server.path(person_dir(value_of(line, "PESEL")) + "/pesel.obj")), line)) << line;
  }
  for (const std::string& d : ack.departments) {
    EXPECT_TRUE(has_line_starting(journal_nod, pesel_node_start(d))) << d;
    EXPECT_TRUE(has_line_starting(journal_u32, uid32_node_start(d))) << d;
    EXPECT_TRUE(has_line_starting(read_file(server.path(entry(value_of(d, "UID32")) + "/node.q")),
                                  uid32_node_start(d))) << d;
  }

  // The store rebuilt from the journals knows every acknowledged record.
  ASSERT_EQ(server.ask("OP=restore_files_local&"), "RE=restore_files_local&STATUS=done&");
  for (const std::string& line : ack.users)
    EXPECT_EQ(server.ask("OP=check_user&UID32=" + uid + "&EUID=" + euid + "&UIDP=" + value_of(line, "UIDP") +
                         "&EUIDP=" + value_of(line, "EUIDP") + "&"),
              "RE=check_user&STATUS=done&") << line;
  for (const std::string& line : ack.objects)
    EXPECT_EQ(server.ask("OP=get_line_pesel_obj&PESEL=" + value_of(line, "PESEL") + "&NLINE=1&"), line);
  for (const std::string& d : ack.departments) {
    std::string nip = value_of(d, "NIP");
    EXPECT_TRUE(has_line_starting(read_file(server.path(person_dir(nip) + "/pesel.nod")), pesel_node_start(d))) << d;
    EXPECT_TRUE(has_line_starting(read_file(server.path(entry(value_of(d, "UID32")) + "/node.q")),
                                  uid32_node_start(d))) << d;
  }
  std::string errors = server.errors();
  EXPECT_EQ(errors.find("ERROR: AddressSanitizer"), std::string::npos) << errors;
  EXPECT_EQ(errors.find("runtime error"), std::string::npos) << errors;
}

}  // namespace
