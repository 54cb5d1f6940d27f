// Object lists through the real server: adding (with the duplicate rule),
// counting and reading back by line number, and every refusal.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/support/server_fixture.h"

namespace {

using testing_support::central_server;
using testing_support::file_exists;
using testing_support::read_file;
using testing_support::write_file;

constexpr char person[] = "44051401359";  // a well-formed PESEL
constexpr char person_dir[] = "DISK/PESEL/44/05/14/01/35/9/";
constexpr char special[] = "RS000000017";
constexpr char special_dir[] = "DISK/PESEL/RS/00/00/00/01/7/";

std::string add(const std::string& pesel, const std::string& uid32, const std::string& dep) {
  return "OP=add_pesel_obj&PESEL=" + pesel + "&UID32=" + uid32 + "&DEP=" + dep + "&";
}
std::string object_line(const std::string& pesel, const std::string& uid32, const std::string& dep) {
  return "PESEL=" + pesel + "&UID32=" + uid32 + "&DEP=" + dep + "&";
}
std::string nlines(const std::string& pesel) { return "OP=get_nlines_pesel&PESEL=" + pesel + "&"; }
std::string line(const std::string& pesel, const std::string& n) {
  return "OP=get_line_pesel_obj&PESEL=" + pesel + "&NLINE=" + n + "&";
}

constexpr char done[] = "RE=add_pesel_obj&STATUS=done&";
constexpr char bad_line[] = "RE=get_line_pesel_obj&STATUS=refused&CP=";

class ObjectsTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(server.start()) << server.output() << server.errors(); }
  std::string journal() const { return read_file(server.path("DISK/LIST/list_pesel_obj.q")); }
  central_server server;
};

TEST_F(ObjectsTest, ObjectsAreListedOnceCountedAndReadBackByNumber) {
  const std::string a = object_line(person, "ABC1", "7"), b = object_line(person, "ABC2", ""),
                    c = object_line(person, "ABC3", "dep x=y");
  EXPECT_EQ(server.ask(add(person, "ABC1", "7")), done);
  EXPECT_EQ(server.ask(add(person, "ABC1", "7")), done) << "a repeated object is acknowledged";
  EXPECT_EQ(server.ask(add(person, "ABC2", "")), done) << "an empty DEP is present, not missing";
  EXPECT_EQ(server.ask(add(person, "ABC3", "dep x=y")), done);
  EXPECT_EQ(server.ask(add(person, "ABC1", "7")), done);

  const std::string all = a + "\n" + b + "\n" + c + "\n";
  EXPECT_EQ(read_file(server.path(std::string(person_dir) + "pesel.obj")), all);
  EXPECT_EQ(journal(), all);

  EXPECT_EQ(server.ask(nlines(person)), "RE=get_nlines_pesel&NLINES=3&");
  EXPECT_EQ(server.ask(line(person, "1")), a) << "the stored line alone, no RE";
  EXPECT_EQ(server.ask(line(person, "2")), b);
  EXPECT_EQ(server.ask(line(person, "3")), c);
  EXPECT_EQ(server.ask(line(person, "4")), std::string(bad_line) + "wrong_nline[2]&");
  for (const char* n : {"0", "-1", "abc", ""})
    EXPECT_EQ(server.ask(line(person, n)), std::string(bad_line) + "wrong_nline[1]&") << n;
}

TEST_F(ObjectsTest, TheSameObjectUnderTwoIdentifiersIsListedForEach) {
  EXPECT_EQ(server.ask(add(person, "ABC1", "7")), done);
  EXPECT_EQ(server.ask(add(special, "ABC1", "7")), done);
  EXPECT_EQ(read_file(server.path(std::string(person_dir) + "pesel.obj")), object_line(person, "ABC1", "7") + "\n");
  EXPECT_EQ(read_file(server.path(std::string(special_dir) + "pesel.obj")), object_line(special, "ABC1", "7") + "\n");
  EXPECT_EQ(journal(), object_line(person, "ABC1", "7") + "\n" + object_line(special, "ABC1", "7") + "\n");
  EXPECT_EQ(server.ask(nlines(special)), "RE=get_nlines_pesel&NLINES=1&");
}

TEST_F(ObjectsTest, AddingRefusesBadInputBeforeWritingAnything) {
  const std::string refused = "RE=add_pesel_obj&STATUS=refused&CP=";
  struct row {
    std::string request, cause;
  } rows[] = {
      {"OP=add_pesel_obj&UID32=ABC1&DEP=7&", "incorrect_qvector"},
      {"OP=add_pesel_obj&PESEL=44051401359&DEP=7&", "incorrect_qvector"},
      {"OP=add_pesel_obj&PESEL=44051401359&UID32=ABC1&", "incorrect_qvector"},
      {"OP=add_pesel_obj&PESEL=44051401359&UID32=ABC1&DEP=7", "incorrect_qvector"},
      {add(std::string(48, '4'), "ABC1", "7"), "incorrect_qvector"},  // longer than the 48-byte buffers
      {add(person, std::string(44, 'U'), "7"), "incorrect_qvector"},
      {add(person, "ABC1", std::string(48, 'd')), "incorrect_qvector"},
      {add(person, "ABC1", "7\nPESEL=x&"), "incorrect_qvector"},  // would split the stored line
      {add("44051401358", "ABC1", "7"), "incorrect_pesel"},       // wrong check digit
      {add("4405140135", "ABC1", "7"), "incorrect_pesel"},        // 10 characters
      {add("../../../..", "ABC1", "7"), "incorrect_pesel"},
      {add(std::string(47, '4'), "ABC1", "7"), "incorrect_pesel"},
  };
  for (const row& r : rows) EXPECT_EQ(server.ask(r.request), refused + r.cause + "&") << r.request;
  EXPECT_FALSE(file_exists(server.path("DISK/LIST/list_pesel_obj.q")));
  EXPECT_FALSE(file_exists(server.path("DISK/PESEL/44")));

  // The longest values that fit are stored whole.
  const std::string uid(43, 'U'), dep(47, 'd');
  EXPECT_EQ(server.ask(add(person, uid, dep)), done);
  EXPECT_EQ(server.ask(line(person, "1")), object_line(person, uid, dep));
}

TEST_F(ObjectsTest, AStoreThatCannotBeWrittenGivesNoFile) {
  std::filesystem::remove_all(server.path("DISK/PESEL"));
  write_file(server.path("DISK/PESEL"), "not a folder");
  EXPECT_EQ(server.ask(add(person, "ABC1", "7")), "RE=add_pesel_obj&STATUS=refused&CP=no_file&");
  EXPECT_FALSE(file_exists(server.path("DISK/LIST/list_pesel_obj.q")));
}

TEST_F(ObjectsTest, ReadingAnswersForAnyElevenCharactersAndNothingElse) {
  EXPECT_EQ(server.ask(add(person, "ABC1", "7")), done);
  const std::string zero = "RE=get_nlines_pesel&NLINES=0&";
  for (const std::string& p : {std::string("44051401358"), std::string("4405140135"), std::string("440514013599"),
                                std::string("../../../.."), std::string(48, '4')})
    EXPECT_EQ(server.ask(nlines(p)), zero) << p;
  EXPECT_EQ(server.ask("OP=get_nlines_pesel&"), zero);

  // Any 11 characters are read; the form is checked only when adding.
  const std::string unchecked_dir = "DISK/PESEL/ab/cd/ef/gh/ij/k/";
  testing_support::make_dirs(server.path(unchecked_dir));
  write_file(server.path(unchecked_dir + "pesel.obj"), "first\n\nthird");
  EXPECT_EQ(server.ask(nlines("abcdefghijk")), "RE=get_nlines_pesel&NLINES=3&");
  EXPECT_EQ(server.ask(line("abcdefghijk", "3")), "third");

  struct row {
    std::string request, cause;
  } rows[] = {
      {line("4405140135", "1"), "incorrect_qvector"},
      {"OP=get_line_pesel_obj&PESEL=44051401359&", "incorrect_qvector"},
      {"OP=get_line_pesel_obj&NLINE=1&", "incorrect_qvector"},
      {line(std::string(48, '4'), "1"), "incorrect_qvector"},
      {line("44051401358", "1"), "wrong_nline[2]"},  // no file
      {line("../../../..", "1"), "wrong_nline[2]"},  // names no folder of the base
      {line("../../../..", "0"), "wrong_nline[1]"},
  };
  for (const row& r : rows) EXPECT_EQ(server.ask(r.request), bad_line + r.cause + "&") << r.request;
}

TEST_F(ObjectsTest, CountAndReadingAgreeOnALineLongerThanTheReader) {
  testing_support::make_dirs(server.path(person_dir));
  write_file(server.path(std::string(person_dir) + "pesel.obj"), std::string(600, 'x') + "\nshort\n");
  EXPECT_EQ(server.ask(nlines(person)), "RE=get_nlines_pesel&NLINES=3&");
  EXPECT_EQ(server.ask(line(person, "1")), std::string(511, 'x'));
  EXPECT_EQ(server.ask(line(person, "2")), std::string(89, 'x'));
  EXPECT_EQ(server.ask(line(person, "3")), "short");
  EXPECT_EQ(server.ask(line(person, "4")), std::string(bad_line) + "wrong_nline[2]&");
}

}  // namespace
