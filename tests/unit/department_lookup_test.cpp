// The firm lookup of an add, and the node address files, called directly
// over data folders in a scratch directory.
#include <gtest/gtest.h>

#include <string>

#include "registry/department_add.h"
#include "registry/department_record.h"
#include "registry/nodes.h"
#include "store/settings.h"
#include "tests/support/server_fixture.h"
#include "tests/support/scratch_settings.h"
#include "wire/message.h"

namespace {

using testing_support::make_dirs;
using testing_support::read_file;
using testing_support::temp_dir;
using testing_support::write_file;

constexpr char nip1[] = "N1234567883";
constexpr char nip2[] = "N5260250274";
constexpr char regon1[] = "RN123456785";
constexpr char uid_a[] = "ABC12345678901234567890123456789";
constexpr char euid_a[] = "abcdefghijklmnopqrstuvwxyzabcdef";
constexpr char uid_b[] = "XYZ98765432109876543210987654321";
constexpr char euid_b[] = "zyxwvutsrqponmlkjihgfedcbazyxwvu";

class DataFolders : public testing_support::scratch_settings {
 protected:
  void SetUp() override {
    scratch_settings::SetUp();
    make_dirs(dir / "UID32BASE/A/B/C/" + uid_a);
    make_dirs(dir / "UID32BASE/X/Y/Z/" + std::string(uid_b));
  }
};

std::string pesel_line(const char* uid, const char* euid, const char* dep, const char* nip, const char* regon) {
  department d{};
  for (auto [dst, v] : {std::pair{d.uid32, uid}, {d.euid, euid}, {d.name, "Shop"}, {d.dep, dep}, {d.nip, nip},
                        {d.regon, regon}})
    copy_text(dst, dpt_request_field_size, v);
  char out[512];
  make_department_text(department_text::pesel_line, d, "DATE=20261207-09:05:03&", out);
  return out;
}

using LookupTest = DataFolders;

TEST_F(LookupTest, OutcomeTable) {
  struct row {
    const char* name;
    std::string nip_file, regon_file;  // contents; "-" for no file
    const char *dep, *nip, *regon;
    int result;
    const char* uid;  // expected uid32 output
  } rows[] = {
      {"no file of the firm", "-", "-", "Ka", nip1, "null", -1, "null"},
      {"NIP null, REGON file missing", "-", "-", "Ka", "null", regon1, -1, "null"},
      {"same department, same NIP", pesel_line(uid_a, euid_a, "Ka", nip1, "null") + "\n", "-", "Ka", nip1,
       "null", 1, uid_a},
      {"new department inherits the last line's pair",
       pesel_line(uid_b, euid_b, "Ka", nip1, "null") + "\n" + pesel_line(uid_a, euid_a, "Kc", nip1, "null") + "\n",
       "-", "Kb", nip1, "null", 1, uid_a},
      {"the newest line of a department wins",
       pesel_line(uid_b, euid_b, "Ka", nip1, "null") + "\n" + pesel_line(uid_a, euid_a, "Ka", nip1, "null") + "\n",
       "-", "Ka", nip1, "null", 1, uid_a},
      {"DEP text inside another department's DEP", pesel_line(uid_a, euid_a, "K12", nip1, "null") + "\n", "-",
       "K1", nip1, "null", 0, uid_a},
      {"matching line carries another NIP", pesel_line(uid_a, euid_a, "Ka", nip2, "null") + "\n", "-", "Ka",
       nip1, "null", 0, uid_a},
      {"REGON-only firm", "-", pesel_line(uid_a, euid_a, "Ka", "null", regon1) + "\n", "Ka", "null", regon1, 1,
       uid_a},
      {"REGON-only firm asked with a NIP too", "-", pesel_line(uid_a, euid_a, "Ka", "null", regon1) + "\n", "Ka",
       nip1, regon1, 0, uid_a},
      {"last line agrees by REGON", pesel_line(uid_a, euid_a, "Ka", nip2, regon1) + "\n", "-", "Kb", nip1,
       regon1, 1, uid_a},
      {"last line agrees by neither", pesel_line(uid_a, euid_a, "Ka", nip2, regon1) + "\n", "-", "Kb", nip1,
       "null", 0, uid_a},
      // Exact comparison: a REGON "null" on both sides agrees.
      {"last line agrees by a null REGON", pesel_line(uid_a, euid_a, "Ka", nip2, "null") + "\n", "-", "Kb", nip1,
       "null", 1, uid_a},
      {"last line without a pair", "NAME=x&DEP=Ka&NIP=N1234567883&\n", "-", "Kb", nip1, "null", 0, "null"},
      {"empty file", "", "-", "Ka", nip1, "null", 0, "null"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    std::string nip_dir = dir / "PESEL/N1/23/45/67/88/3";
    std::string regon_dir = dir / "PESEL/RN/12/34/56/78/5";
    std::remove((nip_dir + "/pesel.nod").c_str());
    std::remove((regon_dir + "/pesel.nod").c_str());
    make_dirs(nip_dir);
    make_dirs(regon_dir);
    if (r.nip_file != "-") write_file(nip_dir + "/pesel.nod", r.nip_file);
    if (r.regon_file != "-") write_file(regon_dir + "/pesel.nod", r.regon_file);
    char uid[dpt_stored_field_size] = "junk", euid[dpt_stored_field_size] = "junk";
    EXPECT_EQ(check_dep_in_pesel_base(r.dep, r.nip, r.regon, uid, euid), r.result);
    EXPECT_STREQ(uid, r.uid);
    if (r.result == 1) {
      EXPECT_STREQ(euid, std::string(r.uid) == uid_a ? euid_a : euid_b);
    }
  }
}

TEST_F(LookupTest, AppendsCreateTheDirectoriesTheyMayCreate) {
  ASSERT_EQ(add_node_to_pesel(nip1, "L1"), 0);
  ASSERT_EQ(add_node_to_pesel(nip1, "L2"), 0);
  EXPECT_EQ(read_file(dir / "PESEL/N1/23/45/67/88/3/pesel.nod"), "L1\nL2\n");
  EXPECT_EQ(add_node_to_pesel("N123456788", "L"), -1);

  ASSERT_EQ(add_node_to_uid32base(uid_a, "U1"), 0);
  EXPECT_EQ(read_file(dir / "UID32BASE/A/B/C/" + std::string(uid_a) + "/node.q"), "U1\n");
  // A fresh entry below existing letter levels is made; missing levels are not.
  const std::string fresh = "ABD00000000000000000000000000000";
  make_dirs(dir / "UID32BASE/A/B/D");
  ASSERT_EQ(add_node_to_uid32base(fresh.c_str(), "U2"), 0);
  EXPECT_EQ(read_file(dir / "UID32BASE/A/B/D/" + fresh + "/node.q"), "U2\n");
  EXPECT_EQ(add_node_to_uid32base("QQQ00000000000000000000000000000", "U3"), -1);
  EXPECT_FALSE(testing_support::file_exists(dir / "UID32BASE/Q"));
  for (const char* unsafe : {"..", "A/B/CDEF", "../../x", ""}) EXPECT_EQ(add_node_to_uid32base(unsafe, "U"), -1) << unsafe;
}

using NodeFilesTest = DataFolders;

TEST_F(NodeFilesTest, CheckIpFormCountsDots) {
  for (const char* ok : {"10.1.2.3", "a.b.c.d", "...", "192.168.100.200"}) EXPECT_EQ(check_ip_form(ok), 1) << ok;
  for (const char* bad : {"", "1.2.3", "1.2.3.4.5", "1234"}) EXPECT_EQ(check_ip_form(bad), 0) << bad;
}

std::string record(const std::string& text) {
  std::string r = text + '\0';
  return r + std::string(65 - r.size(), '0');
}

TEST_F(NodeFilesTest, IpBackupKeepsOneFixedRecordPerUid32) {
  const std::string list = dir / "LIST/list_ip.nq";
  ASSERT_EQ(ip_backup(uid_a, "10.1.2.3"), 1);
  ASSERT_EQ(ip_backup(uid_b, "192.168.100.200"), 1);
  const std::string first = record("UID32=" + std::string(uid_a) + "&IPADDR=10.1.2.3&");
  const std::string second = record("UID32=" + std::string(uid_b) + "&IPADDR=192.168.100.200&");
  EXPECT_EQ(read_file(list), first + second);

  ASSERT_EQ(ip_backup(uid_a, "10.9.9.9"), 1);
  EXPECT_EQ(read_file(list), record("UID32=" + std::string(uid_a) + "&IPADDR=10.9.9.9&") + second);

  // A text of 64 characters leaves exactly its NUL as byte 64; one longer
  // does not fit a record and writes nothing.
  const std::string uid34(34, 'L');
  ASSERT_EQ(ip_backup(uid34.c_str(), "192.168.100.200"), 1);
  std::string all = read_file(list);
  ASSERT_EQ(all.size(), 195u);
  EXPECT_EQ(all[194], '\0');
  EXPECT_EQ(ip_backup(std::string(35, 'L').c_str(), "192.168.100.200"), -1);
  EXPECT_EQ(read_file(list).size(), 195u);
}

TEST_F(NodeFilesTest, IpBackupWritesOverATornLastRecord) {
  const std::string list = dir / "LIST/list_ip.nq";
  const std::string first = record("UID32=" + std::string(uid_a) + "&IPADDR=10.1.2.3&");
  write_file(list, first + "UID32=XY");  // a record cut short
  ASSERT_EQ(ip_backup(uid_b, "10.2.2.2"), 1);
  const std::string second = record("UID32=" + std::string(uid_b) + "&IPADDR=10.2.2.2&");
  EXPECT_EQ(read_file(list), first + second);
}

TEST_F(NodeFilesTest, NodeAddressIsTheFirstLinesIpaddr) {
  const std::string ipq = dir / "UID32BASE/A/B/C/" + std::string(uid_a) + "/ip.q";
  char out[16];
  EXPECT_EQ(read_node_address(uid_a, out), -1);
  EXPECT_STREQ(out, "null");
  write_file(ipq, "IPADDR=192.168.100.200&\nIPADDR=1.1.1.1&\n");
  ASSERT_EQ(read_node_address(uid_a, out), 0);
  EXPECT_STREQ(out, "192.168.100.200");
  write_file(ipq, "IPADDR=1192.168.100.200&\n");
  EXPECT_EQ(read_node_address(uid_a, out), -1);
  write_file(ipq, "NAME=x&\nIPADDR=1.1.1.1&\n");
  EXPECT_EQ(read_node_address(uid_a, out), -1);
  for (const char* unsafe : {"..", "A/B/C", ""}) EXPECT_EQ(read_node_address(unsafe, out), -1);
}

}  // namespace
