// What fuzzing the restore's journals found, kept as regression tests: an
// address with a line break must never become a torn ip.q line, neither when
// it is stored nor when the trees are rebuilt.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "admin/journal_phases.h"
#include "admin/replay_plan.h"
#include "registry/nodes.h"
#include "store/settings.h"
#include "tests/support/server_fixture.h"
#include "tests/support/scratch_settings.h"
#include "wire/message.h"

namespace {

using testing_support::file_exists;
using testing_support::make_dirs;
using testing_support::read_file;
using testing_support::write_file;

// The four trees inside a scratch directory, put back to the defaults after.
class FindingsDir : public testing_support::scratch_settings {
 protected:
  void SetUp() override {
    scratch_settings::SetUp();
    make_dirs(dir / "UID32BASE/A/B/C/ABCxyz");
  }

  // A 65-byte list_ip.nq record: the text, its NUL, then '0'.
  static std::string ip_record(const std::string& text) {
    std::string r = text + '\0' + std::string(80, '0');
    return r.substr(0, ip_record_size);
  }

};

TEST_F(FindingsDir, AddIpNodeRefusesAnAddressWithALineBreak) {
  char buf[512] = "OP=add_ip_node&UID32=ABCxyz&IPNODE=1.2\n.3.4&";
  EXPECT_EQ(add_ip_node(buf, buf), -1);
  EXPECT_STREQ(buf, "RE=add_ip_node&STATUS=refused&CP=incorrect_qvector&");
  EXPECT_FALSE(file_exists(dir / "UID32BASE/A/B/C/ABCxyz/ip.q"));
  EXPECT_FALSE(file_exists(dir / "LIST/list_ip.nq"));

  char ok[512] = "OP=add_ip_node&UID32=ABCxyz&IPNODE=1.2.3.4&";
  EXPECT_EQ(add_ip_node(ok, ok), 0) << ok;
  EXPECT_EQ(read_file(dir / "UID32BASE/A/B/C/ABCxyz/ip.q"), "IPADDR=1.2.3.4&\n");
}

TEST_F(FindingsDir, RestoreLeavesOutAnAddressRecordWithALineBreak) {
  write_file(dir / "LIST/list_ip.nq", ip_record("UID32=ABCxyz&IPADDR=10.1\n.2.3&") +
                                           ip_record("UID32=ABCuvw&IPADDR=10.1.2.3&"));
  replay_plan plan;
  phase_result r = plan_address_phase(plan, "list_ip.nq", "no_file[9]", "incorrect_qvector[5]",
                                      "incorrect_qvector[6]");
  EXPECT_EQ(r.stop_cause, nullptr);
  ASSERT_EQ(plan.targets.size(), 1u);
  EXPECT_EQ(plan.targets[0].path, dir / "UID32BASE/A/B/C/ABCuvw/ip.q");
  ASSERT_EQ(plan.targets[0].lines.size(), 1u);
  EXPECT_EQ(plan.targets[0].lines[0].text, "IPADDR=10.1.2.3&");
}

// An older version on a full disk left a fragment without its newline in
// the objects journal, and glued the next acknowledged line to it; the
// rebuild filed that record under the fragment's PESEL.
TEST_F(FindingsDir, RestoreSkipsAJournalFragmentAndNeverFilesAGluedRecordUnderIt) {
  write_file(dir / "LIST/list_pesel_obj.q",
             "PESEL=RS000000011&UID32=a&DEP=1&\n"
             "PESEL=RS000000049&UPESEL=RS000000162&UID32=b&DEP=2&\n"
             "PESEL=RS000000011&UID32=c&DEP=3&\n"
             "PESEL=RS000000077&UID");
  replay_plan plan;
  phase_result r = plan_pesel_phase(plan, "list_pesel_obj.q", "pesel.obj", "no_file[3]", "incorrect_qvector[3]");
  EXPECT_EQ(r.stop_cause, nullptr);
  std::map<std::string, std::vector<std::string>> filed;
  for (const auto& t : plan.targets)
    for (const auto& l : t.lines) filed[t.path.substr(t.path.find("PESEL/") + 6)].push_back(std::string(l.text));
  const std::map<std::string, std::vector<std::string>> expected = {
      {"RS/00/00/00/01/1/pesel.obj", {"PESEL=RS000000011&UID32=a&DEP=1&", "PESEL=RS000000011&UID32=c&DEP=3&"}},
      {"RS/00/00/00/16/2/pesel.obj", {"PESEL=RS000000162&UID32=b&DEP=2&"}},
  };
  EXPECT_EQ(filed, expected);
}

}  // namespace
