#include "admin/counter_copy.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "base/format.h"
#include "base/io.h"
#include "base/owners.h"
#include "store/paths.h"
#include "store/settings.h"

namespace {


mode_t creation_mask() {
  mode_t m = ::umask(0);
  ::umask(m);
  return m;
}

}  // namespace

void restore_counter_file() {
  char data[fmt::path_size], from[fmt::path_size], to[fmt::path_size];
  data_folder(data, sizeof data);
  if (join_path(list_base, fname::counter, from, sizeof from) != 0 ||
      join_path(data, fname::counter, to, sizeof to) != 0)
    return;
  unique_fd in(::open(from, O_RDONLY | O_CLOEXEC));
  struct stat src;
  if (!in || ::fstat(in.get(), &src) != 0 || !S_ISREG(src.st_mode)) return;
  std::string text;
  if (!read_rest(in.get(), text)) return;

  struct stat dst;
  bool exists = ::stat(to, &dst) == 0;
  if (exists && !S_ISREG(dst.st_mode)) return;
  struct stat link;
  if (::lstat(to, &link) == 0 && S_ISLNK(link.st_mode)) {
    // cp writes through a link into the file it names.
    unique_fd out(::open(to, O_WRONLY | O_TRUNC | O_CLOEXEC));
    if (out) {
      bool written = write_all(out.get(), text.data(), text.size());
      (void)written;  // as a failing cp, it leaves what it could write
    }
    return;
  }
  std::string tmpl = std::string(data) + "/." + fname::counter + ".XXXXXX";
  std::vector<char> tmp(tmpl.begin(), tmpl.end());
  tmp.push_back('\0');
  unique_fd out(::mkostemp(tmp.data(), O_CLOEXEC));
  if (!out) return;
  // Mode and owner as cp leaves them: those of the file it overwrites, or
  // the source's mode under the file-creation mask for a new file.
  bool ok = write_all(out.get(), text.data(), text.size()) &&
            ::fchmod(out.get(), exists ? (dst.st_mode & 07777) : (src.st_mode & 0777 & ~creation_mask())) == 0 &&
            (!exists || ::fchown(out.get(), dst.st_uid, dst.st_gid) == 0);
  if (::close(out.release()) != 0) ok = false;
  if (!ok || ::rename(tmp.data(), to) != 0) ::unlink(tmp.data());
}
