// velmor-numerator: prints the next special number, "RS" and nine digits,
// and remembers it. The central server runs it as BIN/numerator, with no
// arguments, from its own working directory.
//
// Files, relative to the working directory (the server's data folder with its
// default configuration):
//   DISK/rs_last_number.txt   the counter: one line holding the last number
//                             issued, in the form it was printed
//                             ("RS000000017\n"). No file: nothing issued yet,
//                             so the first number is RS000000001.
//   DISK/rs_last_number.tmp   the next counter while it is being written
//   DISK/rs_last_number.lock  held with flock while one run counts, so runs
//                             started at the same time take turns
//
// A number is printed only after the counter that records it is on disk: the
// new counter is written whole into the temporary file, synced, renamed over
// the old one and the folder synced. A crash at any point leaves either the
// old counter or the new one, never a partial file, so a number is never
// handed out twice; at worst a crash between the rename and the print skips
// one number.
//
// Prints "null" (exit status 1) instead of a number when none can be given:
// the counter is unreadable or not in the form above, the range ended with
// RS999999999, or the new counter cannot be written.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/io.h"
#include "base/owners.h"

namespace {

constexpr char folder[] = "DISK";
constexpr char counter_path[] = "DISK/rs_last_number.txt";
constexpr char temp_path[] = "DISK/rs_last_number.tmp";
constexpr char lock_path[] = "DISK/rs_last_number.lock";
constexpr long last_possible = 999999999;
constexpr std::size_t number_len = 11;  // "RS" + nine digits

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// "RS" + nine digits, optionally followed by one newline -> its value.
bool parse_counter(std::string_view text, long& value) {
  if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
  if (text.size() != number_len || text.substr(0, 2) != "RS") return false;
  long v = 0;
  for (char c : text.substr(2)) {
    if (!is_digit(c)) return false;
    v = v * 10 + (c - '0');
  }
  value = v;
  return true;
}

// The last number issued: 0 when there is no counter yet; false when the
// counter cannot be read or is damaged.
bool read_last(long& last) {
  unique_fd f(::open(counter_path, O_RDONLY | O_CLOEXEC));
  if (!f) {
    if (errno != ENOENT) return false;
    last = 0;
    return true;
  }
  char buf[64];
  ssize_t len = read_up_to(f.get(), buf, sizeof buf);
  if (len < 0 || len == static_cast<ssize_t>(sizeof buf)) return false;  // far longer than any counter
  return parse_counter(std::string_view(buf, static_cast<std::size_t>(len)), last);
}

// The complete new counter in the temporary file, on disk.
bool write_temp(const char* text, std::size_t len) {
  unique_fd t(::open(temp_path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (!t) return false;
  if (!write_all(t.get(), text, len) || ::fsync(t.get()) != 0) return false;
  return ::close(t.release()) == 0;
}

// Replaces the counter with text in one step.
bool commit(const char* text, std::size_t len) {
  if (!write_temp(text, len) || ::rename(temp_path, counter_path) != 0) {
    ::unlink(temp_path);
    return false;
  }
  unique_fd dir(::open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return dir && ::fsync(dir.get()) == 0;
}

// The next number into out[number_len + 1]; false when none can be given.
bool next_number(char* out) {
  unique_fd lock(::open(lock_path, O_RDWR | O_CREAT | O_CLOEXEC, 0644));
  if (!lock) return false;
  while (::flock(lock.get(), LOCK_EX) != 0)
    if (errno != EINTR) return false;
  long last = 0;
  if (!read_last(last) || last >= last_possible) return false;
  char line[number_len + 2];
  int n = std::snprintf(line, sizeof line, "RS%09ld\n", last + 1);
  if (n != static_cast<int>(number_len + 1)) return false;
  if (!commit(line, static_cast<std::size_t>(n))) return false;
  std::memcpy(out, line, number_len);
  out[number_len] = '\0';
  return true;  // the lock goes with the descriptor
}

}  // namespace

int main() {
  char number[number_len + 1];
  if (!next_number(number)) {
    std::puts("null");
    return 1;
  }
  std::puts(number);
  return std::fflush(stdout) == 0 ? 0 : 1;
}
