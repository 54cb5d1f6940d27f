#include "store/replace.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

#include "base/format.h"
#include "base/io.h"
#include "base/owners.h"
#include "base/text.h"

int replace_by_rename(const char* from, const char* to) { return ::rename(from, to) == 0 ? 0 : -1; }

int remove_file(const char* path) { return ::unlink(path) == 0 || errno == ENOENT ? 0 : -1; }

int replace_with_copy(const char* src, const char* dst) {
  char tmp[fmt::path_size];
  text_builder name(tmp);
  name.add(dst).add(".copy");
  if (!name.ok()) return -1;
  unique_fd in(::open(src, O_RDONLY | O_CLOEXEC));
  if (!in) return -1;
  unique_fd out(::open(tmp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  if (!out) return -1;
  char buf[65536];
  for (;;) {
    ssize_t n = read_up_to(in.get(), buf, sizeof buf);
    if (n < 0 || !write_all(out.get(), buf, static_cast<std::size_t>(n))) break;
    if (static_cast<std::size_t>(n) < sizeof buf) {
      if (::close(out.release()) != 0 || ::rename(tmp, dst) != 0) break;
      return 0;
    }
  }
  out.reset();
  ::unlink(tmp);
  return -1;
}
