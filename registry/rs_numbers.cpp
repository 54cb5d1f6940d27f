#include "registry/rs_numbers.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <ctime>
#include <unistd.h>
#include <cstring>
#include <string_view>

#include "base/format.h"
#include "base/owners.h"
#include "store/paths.h"
#include "store/settings.h"
#include "wire/message.h"
#include "wire/reply.h"

namespace {

constexpr char op[] = "get_special_pesel";

// One shell word: the text in single quotes, each quote written as '\''.
// Folder names from the configuration then never reach the shell as syntax.
void add_quoted(text_builder& b, std::string_view text) {
  b.add("'");
  for (std::size_t at; (at = text.find('\'')) != std::string_view::npos; text.remove_prefix(at + 1))
    b.add(text.substr(0, at)).add("'\\''");
  b.add(text).add("'");
}

// "cp D/rs_last_number.txt L/rs_last_number.txt" into out; false when it does
// not fit.
bool copy_command(char* out, std::size_t cap) {
  char data[sizeof list_base];
  data_folder(data, sizeof data);
  text_builder b(out, cap);
  b.add("cp ");
  add_quoted(b, data);
  b.add("/").add(fname::counter).add(" ");
  add_quoted(b, list_base);
  b.add("/").add(fname::counter);
  return b.ok();
}

// The first line of the numerator's output (at most cap - 1 characters, its
// newline kept, as fgets reads it) into line, "" when it prints none. The
// numerator may take numerator_timeout_ms in all: one that hangs is ended,
// with everything it started, so no request waits on it for longer. False
// when it cannot be started.
bool run_numerator(char* line, std::size_t cap) {
  line[0] = '\0';
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return false;
  unique_fd reader(out[0]), writer(out[1]);
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  ::posix_spawn_file_actions_init(&actions);
  ::posix_spawn_file_actions_adddup2(&actions, writer.get(), STDOUT_FILENO);
  ::posix_spawnattr_init(&attr);
  // A group of its own: the shell and whatever the numerator starts end together.
  ::posix_spawnattr_setpgroup(&attr, 0);
  ::posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
  char sh[] = "sh", dash_c[] = "-c", command[] = "BIN/numerator";
  char* argv[] = {sh, dash_c, command, nullptr};
  pid_t pid = -1;
  const int rc = ::posix_spawn(&pid, "/bin/sh", &actions, &attr, argv, environ);
  ::posix_spawn_file_actions_destroy(&actions);
  ::posix_spawnattr_destroy(&attr);
  writer.reset();
  if (rc != 0) return false;

  timespec start;
  ::clock_gettime(CLOCK_MONOTONIC, &start);
  auto left_ms = [&start] {
    timespec now;
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    const long spent = (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
    return spent >= numerator_timeout_ms ? 0 : static_cast<int>(numerator_timeout_ms - spent);
  };
  std::size_t got = 0;
  while (got + 1 < cap && (got == 0 || line[got - 1] != '\n')) {
    pollfd p{reader.get(), POLLIN, 0};
    const int ready = ::poll(&p, 1, left_ms());
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) break;  // the time is up
    const ssize_t n = ::read(reader.get(), line + got, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    ++got;
  }
  line[got] = '\0';
  // Waited for as pclose would, but no longer than the time left.
  for (;;) {
    const pid_t r = ::waitpid(pid, nullptr, WNOHANG);
    if (r == pid || (r < 0 && errno != EINTR)) return true;
    if (left_ms() == 0) break;
    ::usleep(2000);
  }
  ::kill(-pid, SIGKILL);
  while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
  if (got > 0 && line[got - 1] != '\n') line[0] = '\0';  // cut off by the end: no whole number
  return true;
}

}  // namespace

long numerator_timeout_ms = 10000;

int get_special_pesel(char*, char* reply) {
  // At most 19 characters of the numerator's first line.
  char number[20] = "null";
  char line[sizeof number];
  if (!run_numerator(line, sizeof line)) return reply_refused(reply, op, "no_file[1]");
  if (line[0] != '\0') copy_text(number, line);
  number[std::strcspn(number, "\n")] = '\0';
  // An empty line is no number either; an '&' would end the reply's field.
  if (is_null_value(number) || number[0] == '\0' || std::strchr(number, '&')) return reply_refused(reply, op, "no_reply");

  char command[4 * sizeof list_base + 64];
  if (!copy_command(command, sizeof command)) return reply_refused(reply, op, "no_copy[1]");
  {
    unique_pipe copy(::popen(command, "re"));
    if (!copy) return reply_refused(reply, op, "no_copy[1]");
    char out[80] = "";
    if (!std::fgets(out, sizeof out, copy.get())) out[0] = '\0';
    if (std::strlen(out) >= 4) return reply_refused(reply, op, "no_copy[2]");
  }
  done_reply(reply, op).field("PESEL", number);
  return 0;
}
