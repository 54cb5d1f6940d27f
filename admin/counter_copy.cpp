#include "admin/counter_copy.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "store/paths.h"
#include "store/settings.h"
#include "wire/owners.h"

namespace {

constexpr std::size_t path_cap = 512;
constexpr char counter_name[] = "rs_last_number.txt";

bool read_whole(int fd, std::string& out) {
  char chunk[4096];
  for (;;) {
    ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    out.append(chunk, static_cast<std::size_t>(n));
  }
}

bool write_whole(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    ssize_t w = ::write(fd, text.data() + done, text.size() - done);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    done += static_cast<std::size_t>(w);
  }
  return true;
}

mode_t creation_mask() {
  mode_t m = ::umask(0);
  ::umask(m);
  return m;
}

}  // namespace

void restore_counter_file() {
  char data[path_cap], from[path_cap], to[path_cap];
  data_folder(data, sizeof data);
  if (join_path(list_base, counter_name, from, sizeof from) != 0 ||
      join_path(data, counter_name, to, sizeof to) != 0)
    return;
  unique_fd in(::open(from, O_RDONLY | O_CLOEXEC));
  struct stat src;
  if (!in || ::fstat(in.get(), &src) != 0 || !S_ISREG(src.st_mode)) return;
  std::string text;
  if (!read_whole(in.get(), text)) return;

  struct stat dst;
  bool exists = ::stat(to, &dst) == 0;
  if (exists && !S_ISREG(dst.st_mode)) return;
  struct stat link;
  if (::lstat(to, &link) == 0 && S_ISLNK(link.st_mode)) {
    // cp writes through a link into the file it names.
    unique_fd out(::open(to, O_WRONLY | O_TRUNC | O_CLOEXEC));
    if (out) {
      bool written = write_whole(out.get(), text);
      (void)written;  // as a failing cp, it leaves what it could write
    }
    return;
  }
  std::string tmpl = std::string(data) + "/." + counter_name + ".XXXXXX";
  std::vector<char> tmp(tmpl.begin(), tmpl.end());
  tmp.push_back('\0');
  unique_fd out(::mkostemp(tmp.data(), O_CLOEXEC));
  if (!out) return;
  // Mode and owner as cp leaves them: those of the file it overwrites, or
  // the source's mode under the file-creation mask for a new file.
  bool ok = write_whole(out.get(), text) &&
            ::fchmod(out.get(), exists ? (dst.st_mode & 07777) : (src.st_mode & 0777 & ~creation_mask())) == 0 &&
            (!exists || ::fchown(out.get(), dst.st_uid, dst.st_gid) == 0);
  if (::close(out.release()) != 0) ok = false;
  if (!ok || ::rename(tmp.data(), to) != 0) ::unlink(tmp.data());
}
