#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "store/append.h"
#include "store/date_field.h"
#include "store/file_cache.h"
#include "store/line_reader.h"
#include "store/lines.h"
#include "store/paths.h"
#include "store/replace.h"
#include "store/settings.h"
#include "wire/message.h"

namespace {

namespace fs = std::filesystem;

void write_file(const std::string& path, const std::string& content) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(content.data(), static_cast<std::streamsize>(content.size()));
}

std::string file_text(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

// Puts the settings back however a test ends.
struct settings_guard {
  settings_guard() { reset_settings(); }
  ~settings_guard() { reset_settings(); }
};

// A temporary root per test with the four trees pointing into it.
class StoreDir : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/velmor-store-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    root_ = tmpl;
    ASSERT_TRUE(copy_text(pesel_base, root_ + "/PESEL"));
    ASSERT_TRUE(copy_text(uid32base, root_ + "/UID32BASE"));
    ASSERT_TRUE(copy_text(list_base, root_ + "/LIST"));
    ASSERT_TRUE(copy_text(start_base, root_ + "/START"));
    ASSERT_EQ(::mkdir(pesel_base, 0755), 0);
  }
  void TearDown() override {
    reset_settings();
    std::error_code ec;
    fs::remove_all(root_, ec);
  }
  std::string at(const std::string& rel) const { return root_ + "/" + rel; }
  // Every entry below the root: shows what a call created.
  std::vector<std::string> listing() const {
    std::vector<std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(root_)) out.push_back(e.path().string());
    std::sort(out.begin(), out.end());
    return out;
  }
  // Entries beside the root: a ".." level would create there.
  long siblings() const {
    return std::distance(fs::directory_iterator(fs::path(root_).parent_path()), {});
  }

  std::string root_;
};

TEST(StorePaths, PeselPathWithDefaultRoot) {
  settings_guard guard;
  char out[512];
  ASSERT_EQ(make_path_pesel("12345678901", out), 0);
  EXPECT_STREQ(out, "DISK/PESEL/12/34/56/78/90/1/");
}

TEST_F(StoreDir, WrongOrUnsafePeselFieldsAreRefusedAndCreateNothing) {
  const char* refused[] = {
      "1234567890",  "123456789012", "",            "12/4567890a", "..345678901",
      "12..5678901", "12345678..1",  "1234567890.", "1234567890/", "123456789/1",
  };
  auto before = listing();
  long siblings_before = siblings();
  for (const char* f : refused) {
    char out[512] = "untouched";
    EXPECT_EQ(make_path_pesel(f, out), -1) << f;
    EXPECT_STREQ(out, "untouched") << f;
    EXPECT_EQ(make_dir_pesel(f), -1) << f;
  }
  EXPECT_EQ(listing(), before);
  EXPECT_EQ(siblings(), siblings_before);
}

TEST_F(StoreDir, DotsInsideALevelAreOrdinaryNames) {
  struct {
    const char* field;
    const char* tail;
  } cases[] = {
      {".2345678901", "/.2/34/56/78/90/1/"},
      {"1.3.5.7.9.x", "/1./3./5./7./9./x/"},
      {"12.4567890a", "/12/.4/56/78/90/a/"},
  };
  for (const auto& c : cases) {
    char out[512];
    ASSERT_EQ(make_path_pesel(c.field, out), 0) << c.field;
    EXPECT_EQ(std::string(out), std::string(pesel_base) + c.tail);
    ASSERT_EQ(make_dir_pesel(c.field), 0);
    EXPECT_TRUE(fs::is_directory(out)) << out;
  }
}

TEST_F(StoreDir, MakeDirPeselCreatesTheLeafAndMayRepeat) {
  char leaf[512];
  ASSERT_EQ(make_path_pesel("12345678901", leaf), 0);
  EXPECT_EQ(make_dir_pesel("12345678901"), 0);
  EXPECT_EQ(make_dir_pesel("12345678901"), 0);
  EXPECT_TRUE(fs::is_directory(leaf));
  EXPECT_EQ(add_text_line(leaf, "pesel.usr", "PESEL=12345678901&"), 0);
}

TEST_F(StoreDir, MissingPeselBaseIsNotAnErrorUntilTheFileIsOpened) {
  ASSERT_TRUE(copy_text(pesel_base, at("NOPE")));
  auto before = listing();
  EXPECT_EQ(make_dir_pesel("12345678901"), 0);
  EXPECT_EQ(listing(), before);
  char leaf[512];
  ASSERT_EQ(make_path_pesel("12345678901", leaf), 0);
  EXPECT_EQ(add_text_line(leaf, "pesel.usr", "X=1&"), -1);
  EXPECT_EQ(listing(), before);
}

TEST(StorePaths, PeselPathMustFitItsBuffer) {
  settings_guard guard;
  // The levels add 18 characters: a 493-character root fills 511.
  ASSERT_TRUE(copy_text(pesel_base, std::string(493, 'p')));
  char out[512] = "untouched";
  EXPECT_EQ(make_path_pesel("12345678901", out), 0);
  EXPECT_EQ(std::strlen(out), 511u);
  ASSERT_TRUE(copy_text(pesel_base, std::string(494, 'p')));
  copy_text(out, "untouched");
  EXPECT_EQ(make_path_pesel("12345678901", out), -1);
  EXPECT_EQ(make_dir_pesel("12345678901"), -1);
  EXPECT_STREQ(out, "untouched");
}

TEST(StorePaths, StAbcTakesTheFirstThreeCharacters) {
  char out[8];
  st_abc("ABCxyz", out);
  EXPECT_STREQ(out, "/A/B/C/");
  st_abc("AB", out);
  EXPECT_STREQ(out, "");
}

TEST(StorePaths, TreeKeysNeverLeaveTheirTree) {
  settings_guard guard;
  const char* unsafe[] = {"./", "ab", "a/bcd", "..", ".", "", "abc/", "/abc", "../x", "ABC/../../x"};
  for (const char* k : unsafe) {
    char out[512] = "untouched";
    EXPECT_FALSE(safe_tree_key(k)) << k;
    EXPECT_EQ(uid32_entry_path(k, out, sizeof out), -1) << k;
    EXPECT_EQ(start_code_dir(k, out, sizeof out), -1) << k;
    EXPECT_STREQ(out, "untouched") << k;
  }
  struct {
    const char* key;
    const char* entry;
    const char* start;
  } safe[] = {
      {"ABCxyz", "DISK/UID32BASE/A/B/C/ABCxyz", "DISK/START/A/B/C"},
      {"ABCD-EFGH-IJKL-MNOP-QRST", "DISK/UID32BASE/A/B/C/ABCD-EFGH-IJKL-MNOP-QRST",
       "DISK/START/A/B/C"},
      {"...", "DISK/UID32BASE/./././...", "DISK/START/././."},
  };
  for (const auto& c : safe) {
    char out[512];
    EXPECT_TRUE(safe_tree_key(c.key)) << c.key;
    ASSERT_EQ(uid32_entry_path(c.key, out, sizeof out), 0) << c.key;
    EXPECT_STREQ(out, c.entry);
    ASSERT_EQ(start_code_dir(c.key, out, sizeof out), 0) << c.key;
    EXPECT_STREQ(out, c.start);
  }
}

TEST(StorePaths, BuiltPathsMustFitTheirBuffer) {
  settings_guard guard;
  const std::string entry = "DISK/UID32BASE/A/B/C/ABCxyz";
  std::vector<char> out(entry.size() + 1, 'x');
  EXPECT_EQ(uid32_entry_path("ABCxyz", out.data(), out.size()), 0);
  EXPECT_EQ(std::string(out.data()), entry);
  out.assign(entry.size(), 'x');
  EXPECT_EQ(uid32_entry_path("ABCxyz", out.data(), out.size()), -1);
  EXPECT_EQ(std::string(out.begin(), out.end()), std::string(entry.size(), 'x'));

  char joined[8] = "xxxxxxx";
  EXPECT_EQ(join_path("abc", "def", joined, 8), 0);
  EXPECT_STREQ(joined, "abc/def");
  EXPECT_EQ(join_path("abc", "defg", joined, 8), -1);
  EXPECT_STREQ(joined, "abc/def");
}

TEST(StorePaths, DataFolderIsTheListFolderUpToItsFirstSlash) {
  settings_guard guard;
  const char* cases[][2] = {{"DISK/LIST", "DISK"}, {"LIST", "LIST"}, {"a/b/c", "a"}};
  for (const auto& c : cases) {
    ASSERT_TRUE(copy_text(list_base, c[0]));
    char out[256];
    data_folder(out, sizeof out);
    EXPECT_STREQ(out, c[1]) << c[0];
  }
}

TEST(StoreDate, FormatsTheFieldExactly) {
  std::tm t{};
  t.tm_year = 2026 - 1900;
  t.tm_mon = 11;
  t.tm_mday = 7;
  t.tm_hour = 9;
  t.tm_min = 5;
  t.tm_sec = 3;
  char out[24];
  ASSERT_EQ(format_date_field(t, out), 0);
  EXPECT_STREQ(out, "DATE=20261207-09:05:03&");
  t.tm_year = 10000 - 1900;
  EXPECT_EQ(format_date_field(t, out), -1);
  EXPECT_STREQ(out, "NULL");
}

// The field is written digit by digit for four-digit years; it must read as
// the formatted printing it replaces, at the edges of every part too.
TEST(StoreDate, DigitsAgreeWithFormattedPrinting) {
  auto printed = [](const std::tm& t) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "DATE=%lld%02d%02d-%02d:%02d:%02d&", static_cast<long long>(t.tm_year) + 1900,
                  t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
    return std::strlen(buf) < 24 ? std::string(buf) : std::string("NULL");
  };
  std::vector<std::tm> times;
  for (int year : {-5, 0, 9, 999, 1000, 1970, 2026, 9999, 10000})
    for (int v : {0, 1, 9, 10, 59, 60, 99}) {
      std::tm t{};
      t.tm_year = year - 1900;
      t.tm_mon = v % 12;
      t.tm_mday = v;
      t.tm_hour = v;
      t.tm_min = v;
      t.tm_sec = v;
      times.push_back(t);
    }
  for (std::time_t when = 0; when < 4'000'000'000; when += 7'777'777) {
    std::tm t{};
    ::gmtime_r(&when, &t);
    times.push_back(t);
  }
  for (const std::tm& t : times) {
    char out[24];
    const int rc = format_date_field(t, out);
    const std::string want = printed(t);
    EXPECT_EQ(out, want) << "year " << t.tm_year + 1900 << " day " << t.tm_mday;
    EXPECT_EQ(rc, want == "NULL" ? -1 : 0);
  }
}

TEST(StoreDate, GetTimeWritesTheLocalTimeFromTheFirstByte) {
  auto local_field = [](std::time_t when) {
    std::tm t{};
    ::localtime_r(&when, &t);
    char buf[24];
    format_date_field(t, buf);
    return std::string(buf);
  };
  char out[24];
  std::memset(out, 'z', sizeof out);
  std::time_t before = std::time(nullptr);
  ASSERT_EQ(get_time(out), 0);
  std::time_t after = std::time(nullptr);
  EXPECT_EQ(std::strlen(out), 23u);
  EXPECT_TRUE(out == local_field(before) || out == local_field(after)) << out;
}

TEST_F(StoreDir, AppendToAMissingDirectoryFailsAndCreatesNothing) {
  auto before = listing();
  EXPECT_EQ(add_text_line(at("missing").c_str(), "node.q", "X=1&"), -1);
  EXPECT_EQ(add_string_to_file(at("missing/node.q").c_str(), "X=1&"), -1);
  EXPECT_EQ(listing(), before);
}

TEST_F(StoreDir, AppendsAddWholeLines) {
  ASSERT_EQ(add_text_line(root_.c_str(), "node.q", "UID32=A&DATE=x&"), 0);
  ASSERT_EQ(add_text_line(root_.c_str(), "node.q", "UID32=A&DATE=x&"), 0);
  EXPECT_EQ(file_text(at("node.q")), "UID32=A&DATE=x&\nUID32=A&DATE=x&\n");
  ASSERT_EQ(add_string_to_file(at("node.q").c_str(), "UID32=B&"), 0);
  char out[512];
  ASSERT_EQ(read_last_line(at("node.q").c_str(), out, sizeof out), line_found);
  EXPECT_STREQ(out, "UID32=B&");

  mode_t mask = ::umask(0);
  ::umask(mask);
  struct stat st;
  ASSERT_EQ(::stat(at("node.q").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0666u & ~mask);

  // A line longer than the stack buffer still goes out whole.
  std::string big(5000, 'q');
  ASSERT_EQ(add_string_to_file(at("big.q").c_str(), big.c_str()), 0);
  EXPECT_EQ(file_text(at("big.q")), big + "\n");
}

TEST(StoreAppend, AFailedWriteIsReported) {
  if (::access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
  EXPECT_EQ(add_string_to_file("/dev/full", "X=1&"), -1);
  EXPECT_EQ(add_text_line("/dev", "full", "X=1&"), -1);
}

TEST_F(StoreDir, FoldersAreMadeOnlyWhenTheAppendFindsThemMissing) {
  const std::string dir = at("a/b");
  const std::string path = dir + "/f.q";
  int made = 0;
  auto make = [&] {
    ++made;
    fs::create_directories(dir);
  };
  EXPECT_EQ(add_string_making_dirs(path.c_str(), "X=1&", make), 0);
  EXPECT_EQ(made, 1);
  EXPECT_EQ(add_string_making_dirs(path.c_str(), "X=2&", make), 0);
  EXPECT_EQ(made, 1) << "existing folders were made again";
  EXPECT_EQ(file_text(path), "X=1&\nX=2&\n");

  // Folders that cannot be made: one more try, then the failure.
  made = 0;
  EXPECT_EQ(add_string_making_dirs(at("c/f.q").c_str(), "X=1&", [&] { ++made; }), -1);
  EXPECT_EQ(made, 1);
  EXPECT_FALSE(fs::exists(at("c")));

  // A failed write is reported once, never written a second time.
  if (::access("/dev/full", W_OK) == 0) {
    made = 0;
    EXPECT_EQ(append_line("/dev/full", "X=1&"), append_failed);
    EXPECT_EQ(add_string_making_dirs("/dev/full", "X=1&", [&] { ++made; }), -1);
    EXPECT_EQ(made, 0);
  }
}

// The files the loop keeps open answer exactly as the plain readers do: a
// seeded mix of short lines, lines longer than a fgets piece and longer
// than what is kept of a file's end, NUL bytes and a last line without its
// newline, searched for needles near the end, far back and nowhere, before
// and after appends through the kept descriptor.
TEST_F(StoreDir, KeptFilesAnswerAsThePlainReadersDo) {
  struct cache_on {
    cache_on() { file_cache_enable(kept_files_max); }
    ~cache_on() { file_cache_enable(0); }
  };
  std::srand(7);
  std::string text;
  for (int i = 0; i < 400; ++i) {
    const int kind = std::rand() % 10;
    std::string line = "N=" + std::to_string(i) + "&";
    if (kind == 0) line += std::string(600 + std::rand() % 400, 'p');       // pieces
    if (kind == 1 && i % 50 == 1) line += std::string(9000, 'q');          // past the kept end
    if (kind == 2) line += std::string("Z=") + '\0' + "hidden&";           // text after a NUL
    text += line + "\n";
  }
  text += "N=tail&";  // no newline
  const std::string path = at("big.q");
  const std::vector<std::string> needles = {"", "N=399&", "N=3&", "N=0&", "hidden", "N=tail&", "absent", "qqqq", "pppp"};

  auto answers = [&](bool kept) {
    std::vector<std::string> out;
    std::unique_ptr<cache_on> on(kept ? new cache_on : nullptr);
    char line[512];
    for (const std::string& n : needles) {
      int rc = read_last_line_containing(path.c_str(), n.c_str(), line, sizeof line);
      out.push_back(std::to_string(rc) + ":" + (rc == line_found ? line : ""));
    }
    int rc = read_first_line(path.c_str(), line, sizeof line);
    out.push_back(std::to_string(rc) + ":" + (rc == line_found ? line : ""));
    return out;
  };
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    write_file(path, text);
    EXPECT_EQ(answers(true), answers(false));
    text += "\nN=more" + std::to_string(round) + "&";
  }

  // Appends through the kept descriptor land at the end and are read back
  // from what is kept, a long run of them past what the end holds.
  write_file(path, "D=a&U=1&\nD=b&U=2&\n");
  {
    cache_on on;
    char line[512];
    ASSERT_EQ(read_last_line_containing(path.c_str(), "D=a&", line, sizeof line), line_found);
    EXPECT_STREQ(line, "D=a&U=1&");
    std::string expected = "D=a&U=1&\nD=b&U=2&\n";
    for (int i = 0; i < 300; ++i) {
      const std::string l = "D=" + std::string(i % 7 == 0 ? "a" : "c") + "&U=" + std::to_string(i) + "&" + std::string(40, 'x');
      ASSERT_EQ(append_line(path.c_str(), l.c_str()), append_written);
      expected += l + "\n";
      ASSERT_EQ(read_last_line_containing(path.c_str(), "D=a&", line, sizeof line), line_found);
      EXPECT_EQ(std::string(line).substr(0, 4), "D=a&");
    }
    EXPECT_EQ(file_text(path), expected) << "appended at the end, whole";
    ASSERT_EQ(read_last_line_containing(path.c_str(), "D=b&", line, sizeof line), line_found)
        << "a line older than the kept end is found in the file";
    EXPECT_STREQ(line, "D=b&U=2&");
  }

  // Missing files are not made by a read, and a folder is no file.
  cache_on on;
  char line[512];
  EXPECT_EQ(read_last_line(at("missing.q").c_str(), line, sizeof line), line_no_file);
  EXPECT_FALSE(fs::exists(at("missing.q")));
  EXPECT_EQ(read_last_line(root_.c_str(), line, sizeof line), line_no_file);
  EXPECT_EQ(append_line(root_.c_str(), "X=1&"), append_not_opened);
}

// What is kept never hides a change: the store's own rewrites forget the
// file at once, a change by another process is seen by the next request.
TEST_F(StoreDir, AKeptFileIsReadAnewAfterAnyOtherChange) {
  file_cache_enable(kept_files_max);
  struct off {
    ~off() { file_cache_enable(0); }
  } guard;
  const std::string path = at("ip.q");
  write_file(path, "IPADDR=1&\n");
  char line[512];
  ASSERT_EQ(read_last_line(path.c_str(), line, sizeof line), line_found);
  EXPECT_STREQ(line, "IPADDR=1&");

  ASSERT_EQ(replace_with_text(path.c_str(), "IPADDR=2&\n", 10), 0);
  ASSERT_EQ(read_first_line(path.c_str(), line, sizeof line), line_found);
  EXPECT_STREQ(line, "IPADDR=2&") << "a rename over the file";

  struct change {
    const char* what;
    std::function<void()> make;
    const char* then;
  };
  const std::vector<change> changes = {
      {"appended from outside", [&] { std::ofstream(path, std::ios::app) << "IPADDR=3&\n"; }, "IPADDR=3&"},
      {"rewritten in place, to the same size", [&] { write_file(path, "IPADDR=4&\nIPADDR=5&\n"); }, "IPADDR=5&"},
      {"another file renamed over it",
       [&] {
         write_file(path + ".x", "IPADDR=6&\nIPADDR=7&\n");
         fs::rename(path + ".x", path);
       },
       "IPADDR=7&"},
      {"removed", [&] { fs::remove(path); }, ""},
  };
  for (const change& c : changes) {
    SCOPED_TRACE(c.what);
    read_last_line(path.c_str(), line, sizeof line);  // kept as it was
    c.make();
    file_cache_next_request();
    const int rc = read_last_line(path.c_str(), line, sizeof line);
    if (*c.then) {
      ASSERT_EQ(rc, line_found);
      EXPECT_STREQ(line, c.then);
    } else {
      EXPECT_EQ(rc, line_no_file);
    }
  }

  // An append after the file was removed makes it anew, not into the old one.
  ASSERT_EQ(append_line(path.c_str(), "IPADDR=8&"), append_written);
  EXPECT_EQ(file_text(path), "IPADDR=8&\n");
}

TEST_F(StoreDir, JoinedPathMustStayUnder512Bytes) {
  std::string dir = root_ + "/" + std::string(200, 'a') + "/" + std::string(200, 'b');
  ASSERT_TRUE(fs::create_directories(dir));
  std::string fits(511 - dir.size() - 1, 'n');  // dir + "/" + name = 511 characters
  std::string over = fits + "n";
  EXPECT_EQ(add_text_line(dir.c_str(), over.c_str(), "X=1&"), -1);
  EXPECT_FALSE(fs::exists(dir + "/" + over));
  EXPECT_EQ(add_text_line(dir.c_str(), fits.c_str(), "X=1&"), 0);
  EXPECT_EQ(file_text(dir + "/" + fits), "X=1&\n");
}

// What a forward walk with fgets and a 512-byte buffer keeps: the last piece
// containing needle (nullptr: the first piece), newline removed, cut to cap.
struct ref_result {
  int rc;
  std::string text;
};

ref_result fgets_reference(const std::string& path, const char* needle, bool first,
                           std::size_t cap) {
  std::FILE* f = std::fopen(path.c_str(), "r");
  if (!f) return {line_no_file, ""};
  char buf[512];
  ref_result r{line_none, ""};
  while (std::fgets(buf, sizeof buf, f)) {
    if (first || std::strstr(buf, needle)) {
      buf[std::strcspn(buf, "\n")] = '\0';
      r = {line_found, std::string(buf).substr(0, cap - 1)};
      if (first) break;
    }
  }
  std::fclose(f);
  return r;
}

// Runs a reader and compares it with the reference; returns the reader's text.
std::string expect_like_fgets(const std::string& path, const char* needle, bool first,
                              std::size_t cap) {
  std::vector<char> out(cap, 'x');
  int rc = first ? read_first_line(path.c_str(), out.data(), cap)
           : needle ? read_last_line_containing(path.c_str(), needle, out.data(), cap)
                    : read_last_line(path.c_str(), out.data(), cap);
  ref_result ref = fgets_reference(path, needle ? needle : "", first, cap);
  EXPECT_EQ(rc, ref.rc) << path << " needle " << (needle ? needle : "(none)") << " cap " << cap;
  if (rc != line_found) return "";
  std::string got(out.data());
  EXPECT_EQ(got, ref.text) << path << " needle " << (needle ? needle : "(none)") << " cap " << cap;
  return got;
}

// line_reader's walk through a file against fgets with a 512-byte buffer.
void expect_walk_like_fgets(const std::string& path) {
  std::vector<std::string> walked, ref;
  line_reader r(path.c_str());
  EXPECT_TRUE(r.is_open());
  while (const char* l = r.next()) walked.push_back(l);
  std::FILE* f = std::fopen(path.c_str(), "r");
  ASSERT_NE(f, nullptr);
  char buf[512];
  while (std::fgets(buf, sizeof buf, f)) {
    buf[std::strcspn(buf, "\n")] = '\0';
    ref.push_back(buf);
  }
  std::fclose(f);
  EXPECT_EQ(walked, ref);
}

TEST_F(StoreDir, ReadersOnSmallFiles) {
  enum which { last, containing, first };
  struct {
    std::string content;
    which reader;
    const char* needle;
    std::size_t cap;
    int rc;
    const char* text;
  } cases[] = {
      {"a\nb\n", last, nullptr, 512, line_found, "b"},
      {"a\nb", last, nullptr, 512, line_found, "b"},
      {"a\n\n", last, nullptr, 512, line_found, ""},
      {"\n", last, nullptr, 512, line_found, ""},
      {"", last, nullptr, 512, line_none, ""},
      {"abcdef\n", last, nullptr, 4, line_found, "abc"},
      {"abc", last, nullptr, 1, line_found, ""},
      {"X=1&K=a&\nY=2&\nZ=3&\n", containing, "K=", 512, line_found, "X=1&K=a&"},
      {"A=1&\nB=1&", containing, "1&\n", 512, line_found, "A=1&"},
      {"A=1&\nB=1&\n", containing, "1&\n", 512, line_found, "B=1&"},
      {"A=1&\nB=2&\n", containing, "", 512, line_found, "B=2&"},
      {"A=1&\nB=2&\n", containing, "C=", 512, line_none, ""},
      {"", containing, "", 512, line_none, ""},
      {"abcdef\nx\n", containing, "ef", 4, line_found, "abc"},
      {std::string("A\0B=1&\nC=2&\n", 12), containing, "B=1", 512, line_none, ""},
      {"a\nb\n", first, nullptr, 512, line_found, "a"},
      {"\nb\n", first, nullptr, 512, line_found, ""},
      {"abc", first, nullptr, 512, line_found, "abc"},
      {"abcdef\n", first, nullptr, 3, line_found, "ab"},
      {"", first, nullptr, 512, line_none, ""},
  };
  const std::string path = at("f.q");
  {
    for (const auto& c : cases) {
      write_file(path, c.content);
      std::vector<char> out(c.cap, 'x');
      int rc = c.reader == last         ? read_last_line(path.c_str(), out.data(), c.cap)
               : c.reader == containing ? read_last_line_containing(path.c_str(), c.needle,
                                                                    out.data(), c.cap)
                                        : read_first_line(path.c_str(), out.data(), c.cap);
      ASSERT_EQ(rc, c.rc) << testing::PrintToString(c.content);
      if (rc == line_found) {
        EXPECT_STREQ(out.data(), c.text) << testing::PrintToString(c.content);
      }
      expect_like_fgets(path, c.reader == last ? nullptr : c.needle, c.reader == first, c.cap);
    }
  }
}

TEST_F(StoreDir, ReadersTellAMissingFileOrADirectory) {
  char out[512];
  {
    for (const std::string& p : {at("missing.q"), root_}) {
      EXPECT_EQ(read_last_line(p.c_str(), out, sizeof out), line_no_file) << p;
      EXPECT_EQ(read_last_line_containing(p.c_str(), "", out, sizeof out), line_no_file) << p;
      EXPECT_EQ(read_first_line(p.c_str(), out, sizeof out), line_no_file) << p;
      line_reader r(p.c_str());
      EXPECT_FALSE(r.is_open()) << p;
      EXPECT_EQ(r.next(), nullptr) << p;
    }
  }
}

TEST_F(StoreDir, BackwardScanCrossesBlocksLikeAForwardWalk) {
  // 300 lines of 500 characters: every line straddles or fills a block.
  std::string content;
  char tag[16];
  for (int i = 0; i < 300; ++i) {
    std::snprintf(tag, sizeof tag, "N=%05d&", i);
    std::string line = tag + std::string(500 - std::strlen(tag), static_cast<char>('a' + i % 26));
    content += line + "\n";
  }
  const std::string path = at("long.q");
  write_file(path, content);
  EXPECT_EQ(expect_like_fgets(path, nullptr, false, 512).substr(0, 8), "N=00299&");
  for (int i = 0; i < 300; ++i) {
    std::snprintf(tag, sizeof tag, "N=%05d&", i);
    EXPECT_EQ(expect_like_fgets(path, tag, false, 512).substr(0, 8), tag);
  }
  for (const char* needle : {"", "absent", "N=00010&aaa", "&\n", "zzzz\n"}) {
    for (std::size_t cap : {512u, 40u}) expect_like_fgets(path, needle, false, cap);
  }
  // The same without the final newline.
  content.pop_back();
  write_file(path, content);
  for (const char* needle : {"", "N=00299&", "N=00298&", "zzz\n", "absent"})
    expect_like_fgets(path, needle, false, 512);
}

TEST_F(StoreDir, OverlongLinesComeInPiecesLikeAForwardWalk) {
  // Lengths around the 511-byte piece and beyond the read window, with text
  // from a small alphabet so that needles also match across piece borders.
  const std::size_t lengths[] = {0, 1, 509, 510, 511, 512, 600, 1021, 1022, 1023, 5000, 10000};
  const char alphabet[] = "AB=&xy";
  unsigned seed = 12345;
  auto next = [&seed] { return (seed = seed * 1103515245u + 12345u) >> 16; };
  const std::string path = at("mixed.q");
  for (int file = 0; file < 8; ++file) {
    std::string content;
    int lines = 1 + static_cast<int>(next() % 12);
    for (int i = 0; i < lines; ++i) {
      std::size_t len = lengths[next() % std::size(lengths)];
      for (std::size_t j = 0; j < len; ++j) content += alphabet[next() % 6];
      content += "\n";
    }
    if (file % 2) content.pop_back();
    write_file(path, content);
    for (const char* needle : {"", "AB=", "&x&", "yyyyy", "y\n", "xAxBx", "=\n"}) {
      for (std::size_t cap : {512u, 100u}) expect_like_fgets(path, needle, false, cap);
    }
    expect_like_fgets(path, nullptr, false, 512);
    expect_like_fgets(path, nullptr, true, 512);

    SCOPED_TRACE(testing::Message() << "file " << file);
    expect_walk_like_fgets(path);
  }
}

// The readers take a small file in one read and ask a larger one for its
// size: files on either side of that border, with lines of 100 bytes and one
// long line placed across it, read as a forward walk reads them.
TEST_F(StoreDir, ReadersAgreeOnBothSidesOfTheFirstRead) {
  const std::string path = at("edge.q");
  {
    for (std::size_t size : {4095u, 4096u, 4097u, 4607u, 4608u, 4609u, 8191u, 8192u, 9300u}) {
      for (int long_at : {-1, 40, 45}) {  // index of a 700-byte line, -1 for none
        std::string content;
        for (int i = 0; content.size() < size; ++i) {
          std::string line = "N=" + std::to_string(i) + "&";
          line.resize(i == long_at ? 699 : 99, static_cast<char>('a' + i % 26));
          content += line + "\n";
        }
        content.resize(size);
        write_file(path, content);
        SCOPED_TRACE(testing::Message() << "size " << size << " long line " << long_at);
        expect_like_fgets(path, nullptr, false, 512);
        expect_like_fgets(path, nullptr, true, 512);
        for (const char* needle : {"N=0&", "N=3&", "N=40&", "N=44&", "zzz", "\n"})
          expect_like_fgets(path, needle, false, 512);
        expect_walk_like_fgets(path);
      }
    }
  }
}

// A pipe left in a file's place must not hold the reader (and the server) up.
TEST_F(StoreDir, APipeInAFilesPlaceIsNoRecord) {
  const std::string path = at("pipe.q");
  ASSERT_EQ(::mkfifo(path.c_str(), 0644), 0);
  // It reads as no file or as an empty one, depending on how it is read;
  // either way it gives no line and returns at once.
  char out[512];
  auto no_line = [](int rc) { return rc == line_no_file || rc == line_none; };
  EXPECT_PRED1(no_line, read_last_line(path.c_str(), out, sizeof out));
  EXPECT_PRED1(no_line, read_last_line_containing(path.c_str(), "A=", out, sizeof out));
  EXPECT_PRED1(no_line, read_first_line(path.c_str(), out, sizeof out));
  line_reader r(path.c_str());
  EXPECT_EQ(r.next(), nullptr);
}

TEST_F(StoreDir, LineReaderWalksEveryLineInOrder) {
  write_file(at("w.q"), "a\n\nb");
  line_reader r(at("w.q").c_str());
  ASSERT_TRUE(r.is_open());
  std::vector<std::string> got;
  while (const char* l = r.next()) got.push_back(l);
  EXPECT_EQ(got, (std::vector<std::string>{"a", "", "b"}));

  line_reader missing(at("missing.q").c_str());
  EXPECT_FALSE(missing.is_open());
  EXPECT_EQ(missing.next(), nullptr);
}

}  // namespace
