// Department fields read from requests and stored lines, and the three
// department texts made from them.
#include <gtest/gtest.h>

#include <algorithm>
#include <initializer_list>
#include <string>
#include <utility>

#include "base/text.h"
#include "registry/department_record.h"
#include "tests/support/dated_text.h"

namespace {

constexpr char nip_ok[] = "N1234567883";
constexpr char regon_ok[] = "RN123456785";
constexpr char pair_uid[] = "ABC12345678901234567890123456789";
constexpr char pair_euid[] = "abcdefghijklmnopqrstuvwxyzabcdef";

template <std::size_t F>
struct parsed {
  char uid32[F], euid[F], name[dpt_name_size], dep[F], nip[F], regon[F], puid[F], portp[F], portq[F],
      nodes[F];
  int verdict = -1;
  explicit parsed(const std::string& text) {
    verdict = strip_dpt_string(text.c_str(), uid32, euid, name, dep, nip, regon, puid, portp, portq, nodes);
  }
};

std::string request(const std::string& fields) { return "OP=add_department&" + fields; }
std::string good_fields() {
  return "NAME=Shop&DEP=7&NIP=" + std::string(nip_ok) + "&REGON=null&PUID=9001&PORTP=9002&PORTQ=9003&NODES=2&";
}
std::string with(std::string text, const std::string& from, const std::string& to) {
  auto at = text.find(from);
  return text.replace(at, from.size(), to);
}

TEST(StripDptString, ValidRequestFillsEveryField) {
  parsed<dpt_request_field_size> p(request(good_fields()));
  EXPECT_EQ(p.verdict, 1);
  EXPECT_STREQ(p.uid32, "null");
  EXPECT_STREQ(p.euid, "null");
  EXPECT_STREQ(p.name, "Shop");
  EXPECT_STREQ(p.dep, "7");
  EXPECT_STREQ(p.nip, nip_ok);
  EXPECT_STREQ(p.regon, "null");
  EXPECT_STREQ(p.puid, "9001");
  EXPECT_STREQ(p.portp, "9002");
  EXPECT_STREQ(p.portq, "9003");
  EXPECT_STREQ(p.nodes, "2");

  parsed<dpt_request_field_size> q(request("UID32=" + std::string(pair_uid) + "&EUID=" + pair_euid + "&" +
                                           good_fields()));
  EXPECT_EQ(q.verdict, 1);
  EXPECT_STREQ(q.uid32, pair_uid);
  EXPECT_STREQ(q.euid, pair_euid);
}

TEST(StripDptString, VerdictTable) {
  const std::string good = good_fields();
  const std::string both = with(good, "REGON=null", "REGON=" + std::string(regon_ok));
  const std::string regon_only = with(both, "NIP=" + std::string(nip_ok), "NIP=null");
  struct row {
    std::string fields;
    int verdict;
  } rows[] = {
      {both, 1},
      {regon_only, 1},
      {with(regon_only, "NIP=null&", ""), 0},  // NIP absent although REGON is valid
      {with(good, "NIP=" + std::string(nip_ok), "NIP=null"), 0},  // both "null"
      {with(good, "PORTP=9002", "PORTP=null"), 0},
      {with(good, "NODES=2&", ""), 0},
      {with(good, "NAME=Shop", "NAME="), 1},  // empty is not "null"
      {with(good, "NIP=" + std::string(nip_ok), "NIP="), 0},
      {with(good, "NIP=" + std::string(nip_ok), "NIP=N1234567884"), 0},  // check digit
      {with(good, "REGON=null", "REGON=RN123456786"), 0},
      // Widths: the longest value of each field passes, one more fails.
      {with(good, "DEP=7", "DEP=" + std::string(15, 'd')), 1},
      {with(good, "DEP=7", "DEP=" + std::string(16, 'd')), 0},
      {with(good, "NAME=Shop", "NAME=" + std::string(255, 'n')), 1},
      {with(good, "NAME=Shop", "NAME=" + std::string(256, 'n')), 0},
      {with(good, "PUID=9001", "PUID=" + std::string(39, '1')), 1},
      {with(good, "PUID=9001", "PUID=" + std::string(40, '1')), 0},
      {with(good, "NODES=2", "NODES=" + std::string(47, '2')), 0},
      {with(good, "PORTQ=9003", "PORTQ=" + std::string(120, '3')), 0},
      {"UID32=" + std::string(33, 'A') + "&" + good, 0},
      {"EUID=" + std::string(60, 'a') + "&" + good, 0},
      // A value that would split a record line in two.
      {with(good, "NAME=Shop", "NAME=Sh\nop"), 0},
  };
  for (const row& r : rows) {
    parsed<dpt_request_field_size> p(request(r.fields));
    EXPECT_EQ(p.verdict, r.verdict) << r.fields;
  }
}

TEST(StripDptString, OverLongIdentifierNeverPassesAsNull) {
  // Too long for its buffer, the NIP reads "null": with a valid REGON that
  // would otherwise be a valid firm known by its REGON only.
  std::string fields = with(good_fields(), "NIP=" + std::string(nip_ok), "NIP=" + std::string(60, '1'));
  fields = with(fields, "REGON=null", "REGON=" + std::string(regon_ok));
  parsed<dpt_request_field_size> p(request(fields));
  EXPECT_EQ(p.verdict, 0);
  EXPECT_STREQ(p.nip, "null");
  EXPECT_STREQ(p.regon, regon_ok);
}

TEST(StripDptString, StoredLinesParseWithoutOverrunAndTheirVerdictIsZero) {
  std::string pesel_line = "UID32=" + std::string(pair_uid) + "&EUID=" + pair_euid +
                           "&NAME=Shop&DEP=7&NIP=" + nip_ok + "&REGON=null&DATE=20261207-09:05:03&";
  parsed<dpt_stored_field_size> p(pesel_line);
  EXPECT_EQ(p.verdict, 0);
  EXPECT_STREQ(p.uid32, pair_uid);
  EXPECT_STREQ(p.dep, "7");
  for (const char* v : {p.puid, p.portp, p.portq, p.nodes}) EXPECT_STREQ(v, "null");

  // A stored value too long for a 40-byte buffer reads "null" whole.
  std::string node_line = "UID32=" + std::string(pair_uid) + "&EUID=" + pair_euid + "&NAME=n&DEP=" +
                          std::string(200, 'd') + "&PUID=" + std::string(40, '9') + "&PORTP=1&PORTQ=2&NODES=3&";
  parsed<dpt_stored_field_size> q(node_line);
  EXPECT_STREQ(q.dep, "null");
  EXPECT_STREQ(q.puid, "null");
  EXPECT_STREQ(q.portq, "2");

  parsed<dpt_stored_field_size> empty("");
  EXPECT_EQ(empty.verdict, 0);
  EXPECT_STREQ(empty.uid32, "null");
  EXPECT_STREQ(empty.name, "null");
}

TEST(StripSmallDptString, VerdictTable) {
  struct row {
    std::string text;
    int verdict;
    const char* dep;
  } rows[] = {
      {"OP=block_department&DEP=null&NIP=null&REGON=null&", 1, "null"},
      {"DEP=7&NIP=" + std::string(nip_ok) + "&REGON=null&", 1, "7"},
      {"DEP=7&NIP=null&REGON=" + std::string(regon_ok) + "&", 1, "7"},
      {"NIP=null&REGON=" + std::string(regon_ok) + "&", 0, "null"},
      {"DEP=7&REGON=" + std::string(regon_ok) + "&", 0, "7"},
      {"DEP=7&NIP=N1234567884&REGON=null&", 0, "7"},
      {"DEP=" + std::string(16, 'd') + "&NIP=null&REGON=null&", 0, nullptr},
      {"DEP=" + std::string(80, 'd') + "&NIP=null&REGON=null&", 0, "null"},
  };
  for (const row& r : rows) {
    char nip[dpt_stored_field_size], regon[dpt_stored_field_size], dep[dpt_stored_field_size];
    EXPECT_EQ(strip_small_dpt_string(r.text.c_str(), nip, regon, dep), r.verdict) << r.text;
    if (r.dep) {
      EXPECT_STREQ(dep, r.dep) << r.text;
    }
  }
}

constexpr char date[] = "DATE=20261207-09:05:03&";

// A department with the given fields; the others stay empty.
department dept(std::initializer_list<std::pair<char*(*)(department&), const char*>> fields) {
  department d{};
  for (auto [member, value] : fields) EXPECT_TRUE(copy_text(member(d), dpt_request_field_size, value)) << value;
  return d;
}
char* uid(department& d) { return d.uid32; }
char* euid(department& d) { return d.euid; }
char* dep(department& d) { return d.dep; }
char* nip(department& d) { return d.nip; }
char* regon(department& d) { return d.regon; }
char* puid(department& d) { return d.puid; }
char* portp(department& d) { return d.portp; }
char* portq(department& d) { return d.portq; }
char* nodes(department& d) { return d.nodes; }

department sample() {
  department d = dept({{uid, "U"}, {euid, "E"}, {dep, "D"}, {nip, "I"}, {regon, "R"}, {puid, "P"},
                       {portp, "PP"}, {portq, "PQ"}, {nodes, "NO"}});
  copy_text(d.name, "N");
  return d;
}

TEST(DepStrings, FieldOrderWithAndWithoutTheDate) {
  const department d = sample();
  char out[512];
  ASSERT_EQ(make_department_text(department_text::pesel_line, d, date, out), 0);
  EXPECT_STREQ(out, "UID32=U&EUID=E&NAME=N&DEP=D&NIP=I&REGON=R&DATE=20261207-09:05:03&");
  ASSERT_EQ(make_department_text(department_text::pesel_line, d, nullptr, out), 0);
  EXPECT_STREQ(out, "UID32=U&EUID=E&NAME=N&DEP=D&NIP=I&REGON=R&");

  ASSERT_EQ(make_department_text(department_text::node_line, d, date, out), 0);
  EXPECT_STREQ(out, "UID32=U&EUID=E&NAME=N&DEP=D&PUID=P&PORTP=PP&PORTQ=PQ&NODES=NO&DATE=20261207-09:05:03&");
  ASSERT_EQ(make_department_text(department_text::node_line, d, nullptr, out), 0);
  EXPECT_STREQ(out, "UID32=U&EUID=E&NAME=N&DEP=D&PUID=P&PORTP=PP&PORTQ=PQ&NODES=NO&");

  ASSERT_EQ(make_department_text(department_text::full, d, date, out), 0);
  EXPECT_STREQ(out,
               "UID32=U&EUID=E&NAME=N&DEP=D&NIP=I&REGON=R&PUID=P&PORTP=PP&PORTQ=PQ&NODES=NO&"
               "DATE=20261207-09:05:03&");
  ASSERT_EQ(make_department_text(department_text::full, d, nullptr, out), 0);
  EXPECT_STREQ(out, "UID32=U&EUID=E&NAME=N&DEP=D&NIP=I&REGON=R&PUID=P&PORTP=PP&PORTQ=PQ&NODES=NO&");
}

TEST(DepStrings, TextsStopAt510Characters) {
  // The widest NAME, and the short fields of the PESEL node line filled one
  // after another until the text is exactly 510, then 511 characters long.
  department d{};
  const std::string name(dpt_name_size - 1, 'n');
  copy_text(d.name, name);
  const std::size_t empty_fields = std::string("UID32=&EUID=&NAME=&DEP=&NIP=&REGON=&").size();
  std::size_t need = 510 - empty_fields - name.size() - std::string(date).size();
  for (char* f : {d.uid32, d.euid, d.dep, d.nip, d.regon}) {
    const std::size_t n = std::min(need, dpt_request_field_size - 2);
    copy_text(f, dpt_request_field_size, std::string(n, 'v'));
    need -= n;
  }
  ASSERT_EQ(need, 0u);
  char out[512];
  ASSERT_EQ(make_department_text(department_text::pesel_line, d, date, out), 0);
  EXPECT_EQ(std::string(out).size(), 510u);
  copy_text(d.regon, dpt_request_field_size, std::string(d.regon) + "v");
  EXPECT_EQ(make_department_text(department_text::pesel_line, d, date, out), -1);
  EXPECT_STREQ(out, "");

  // Every field at its widest passes 510 in each text.
  department huge{};
  const std::string wide(dpt_request_field_size - 1, 'x');
  for (char* f : {huge.uid32, huge.euid, huge.dep, huge.nip, huge.regon, huge.puid, huge.portp, huge.portq,
                  huge.nodes})
    copy_text(f, dpt_request_field_size, wide);
  copy_text(huge.name, name);
  EXPECT_EQ(make_department_text(department_text::node_line, huge, nullptr, out), -1);
  EXPECT_EQ(make_department_text(department_text::full, huge, date, out), -1);
  EXPECT_EQ(make_department_text(department_text::pesel_line, huge, nullptr, out), -1);
  EXPECT_STREQ(out, "");
}

TEST(DepStrings, TodaysDateEndsEachText) {
  auto expect_dated = [](const char* out, const std::string& head) {
    std::string text(out);
    EXPECT_EQ(text.substr(0, head.size()), head);
    EXPECT_TRUE(testing_support::is_date_field(text.substr(head.size()))) << text;
  };
  const department d = sample();
  char today[24];
  ASSERT_NE(date_now(today), nullptr);
  char out[512];
  ASSERT_EQ(make_department_text(department_text::pesel_line, d, today, out), 0);
  expect_dated(out, "UID32=U&EUID=E&NAME=N&DEP=D&NIP=I&REGON=R&");
  ASSERT_EQ(make_department_text(department_text::node_line, d, today, out), 0);
  expect_dated(out, "UID32=U&EUID=E&NAME=N&DEP=D&PUID=P&PORTP=PP&PORTQ=PQ&NODES=NO&");
  ASSERT_EQ(make_department_text(department_text::full, d, today, out), 0);
  expect_dated(out, "UID32=U&EUID=E&NAME=N&DEP=D&NIP=I&REGON=R&PUID=P&PORTP=PP&PORTQ=PQ&NODES=NO&");
}

}  // namespace
