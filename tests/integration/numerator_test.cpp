// velmor-numerator on its own: the sequence, the counter file, refusals for a
// damaged or exhausted counter, and concurrent runs.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "base/owners.h"
#include "tests/support/server_fixture.h"

namespace {

using testing_support::file_exists;
using testing_support::read_file;
using testing_support::temp_dir;
using testing_support::write_file;

// Starts the numerator in dir without waiting for it.
std::FILE* start_numerator(const temp_dir& dir) {
  std::string command = "cd '" + dir.path() + "' && exec '" + VELMOR_BUILD_DIR + "/velmor-numerator'";
  return ::popen(command.c_str(), "r");
}

std::string output_of(std::FILE* pipe) {
  unique_pipe owner(pipe);
  std::string out;
  char buf[64];
  while (owner && std::fgets(buf, sizeof buf, owner.get())) out += buf;
  return out;
}

std::string run_numerator(const temp_dir& dir) { return output_of(start_numerator(dir)); }

class NumeratorTest : public ::testing::Test {
 protected:
  void SetUp() override { testing_support::make_dirs(dir / "DISK"); }
  std::string counter() const { return read_file(dir / "DISK/rs_last_number.txt"); }
  temp_dir dir;
};

TEST_F(NumeratorTest, CountsFromOneAndKeepsTheLastNumber) {
  EXPECT_EQ(run_numerator(dir), "RS000000001\n");
  EXPECT_EQ(counter(), "RS000000001\n");
  EXPECT_EQ(run_numerator(dir), "RS000000002\n");
  EXPECT_EQ(counter(), "RS000000002\n");
  write_file(dir / "DISK/rs_last_number.txt", "RS000000499");  // a counter put back without its newline
  EXPECT_EQ(run_numerator(dir), "RS000000500\n");
  EXPECT_FALSE(file_exists(dir / "DISK/rs_last_number.tmp"));
}

TEST_F(NumeratorTest, GivesNullAndKeepsTheCounterWhenItCannotCount) {
  for (const char* damaged : {"", "\n", "RS12\n", "RS00000001x\n", "rs000000001\n", "RS000000001\n\n",
                              "RS000000001 \n", "RS0000000001\n", "garbage that is rather long for a counter file......"}) {
    write_file(dir / "DISK/rs_last_number.txt", damaged);
    EXPECT_EQ(run_numerator(dir), "null\n") << damaged;
    EXPECT_EQ(counter(), damaged);
  }
  write_file(dir / "DISK/rs_last_number.txt", "RS999999998\n");
  EXPECT_EQ(run_numerator(dir), "RS999999999\n");
  EXPECT_EQ(run_numerator(dir), "null\n") << "the range is exhausted";
  EXPECT_EQ(counter(), "RS999999999\n");
}

TEST(Numerator, GivesNullWithoutItsDataFolder) {
  temp_dir dir;
  EXPECT_EQ(run_numerator(dir), "null\n");
}

TEST_F(NumeratorTest, ConcurrentRunsNeverRepeatANumber) {
  constexpr int runs = 20;
  std::vector<std::FILE*> pipes;
  for (int i = 0; i < runs; ++i) pipes.push_back(start_numerator(dir));
  std::set<std::string> numbers;
  for (std::FILE* p : pipes) numbers.insert(output_of(p));
  std::set<std::string> expected;
  for (int i = 1; i <= runs; ++i) {
    char n[16];
    std::snprintf(n, sizeof n, "RS%09d\n", i);
    expected.insert(n);
  }
  EXPECT_EQ(numbers, expected);
  EXPECT_EQ(counter(), "RS000000020\n");
}

}  // namespace
