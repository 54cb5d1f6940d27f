#include "admin/tree_prune.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "base/io.h"
#include "base/owners.h"

namespace {

struct dir_item {
  std::string name;
  unsigned char type;  // DT_DIR, DT_REG, ... or DT_UNKNOWN
};

constexpr int dir_flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;

// Every entry of an open folder but "." and "..", read before anything in
// the folder is changed. What could be read is kept even after an error.
void list_entries(int dfd, std::vector<dir_item>& out) {
  out.clear();
  alignas(8) static thread_local char buf[32768];
  for (;;) {
    ssize_t n = ::getdents64(dfd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    for (ssize_t at = 0; at < n;) {
      const auto* d = reinterpret_cast<const struct dirent64*>(buf + at);
      at += d->d_reclen;
      std::string_view name(d->d_name);
      if (name == "." || name == "..") continue;
      out.push_back(dir_item{std::string(name), d->d_type});
    }
  }
}

// The entry's own type (a link is a link), for file systems that report none.
unsigned char type_at(int dfd, const char* name) {
  struct stat st;
  if (::fstatat(dfd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return DT_UNKNOWN;
  if (S_ISDIR(st.st_mode)) return DT_DIR;
  if (S_ISREG(st.st_mode)) return DT_REG;
  return DT_LNK;
}

void remove_entry(int dfd, const char* name, unsigned char type) {
  if (type == DT_UNKNOWN) type = type_at(dfd, name);
  if (type != DT_DIR) {
    ::unlinkat(dfd, name, 0);
    return;
  }
  unique_fd fd(::openat(dfd, name, dir_flags | O_NOFOLLOW));
  if (fd) {
    std::vector<dir_item> items;
    list_entries(fd.get(), items);
    for (const dir_item& it : items) remove_entry(fd.get(), it.name.c_str(), it.type);
  }
  if (::unlinkat(dfd, name, AT_REMOVEDIR) != 0 && errno == ENOTDIR) ::unlinkat(dfd, name, 0);
}

struct prune_context {
  replay_plan& plan;
  fresh_modes fresh = fresh_modes_now();
  std::string scratch = {};
};

void prune_entries(int dfd, std::string& path, bool keep_dot_names, prune_context& ctx);

// A folder kept for the replay looks as a fresh mkdir would make it.
void settle_kept_folder(int fd, const prune_context& ctx) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return;
  if ((st.st_mode & 07777) != ctx.fresh.folder) ::fchmod(fd, ctx.fresh.folder);
  if (st.st_uid != ctx.fresh.uid || st.st_gid != ctx.fresh.gid) {
    int r = ::fchown(fd, ctx.fresh.uid, ctx.fresh.gid);
    (void)r;
  }
}

// True when the file's bytes are exactly the planned lines, each with its
// newline.
bool holds_exactly(int fd, const planned_target& t, off_t size, std::string& scratch) {
  off_t planned = 0;
  for (const planned_line& l : t.lines) planned += static_cast<off_t>(l.text.size() + 1);
  if (planned != size) return false;
  scratch.resize(static_cast<std::size_t>(size));
  if (!read_exact(fd, scratch.data(), scratch.size(), 0)) return false;
  std::string_view rest(scratch);
  for (const planned_line& l : t.lines) {
    if (!rest.starts_with(l.text) || rest[l.text.size()] != '\n') return false;
    rest.remove_prefix(l.text.size() + 1);
  }
  return true;
}

// A kept file that already holds its planned lines (a plain file of its
// own) needs no writing, only the mode and owner of a fresh file; looked at
// here, through its folder, rather than by path later.
void settle_kept_file(int dfd, const std::string& name, planned_target& t, prune_context& ctx) {
  unique_fd fd(::openat(dfd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  struct stat st;
  if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1) return;
  if (!holds_exactly(fd.get(), t, st.st_size, ctx.scratch)) return;
  if ((st.st_mode & 07777) != ctx.fresh.file && ::fchmod(fd.get(), ctx.fresh.file) != 0) return;
  if ((st.st_uid != ctx.fresh.uid || st.st_gid != ctx.fresh.gid) &&
      ::fchown(fd.get(), ctx.fresh.uid, ctx.fresh.gid) != 0)
    return;
  t.settled = true;
  t.base = 0;
  t.end = st.st_size;
}

// True when the entry at path is one the replay makes again: a kept folder
// is emptied of everything else, a kept file waits for its new content.
bool keep_entry(int dfd, const std::string& name, unsigned char type, std::string& path,
                prune_context& ctx) {
  if (type == DT_DIR) {
    planned_dir* d = ctx.plan.find_dir(path);
    if (!d) return false;
    unique_fd fd(::openat(dfd, name.c_str(), dir_flags | O_NOFOLLOW));
    if (!fd) return false;
    settle_kept_folder(fd.get(), ctx);
    d->kept = d->present = true;
    prune_entries(fd.get(), path, false, ctx);
    return true;
  }
  if (type == DT_REG) {
    planned_target* t = ctx.plan.find_target(path);
    if (!t) return false;
    t->kept = true;
    settle_kept_file(dfd, name, *t, ctx);
    return true;
  }
  return false;
}

void prune_entries(int dfd, std::string& path, bool keep_dot_names, prune_context& ctx) {
  std::vector<dir_item> items;
  list_entries(dfd, items);
  for (const dir_item& it : items) {
    if (keep_dot_names && it.name[0] == '.') continue;
    std::size_t mark = path.size();
    path += '/';
    path += it.name;
    unsigned char type = it.type == DT_UNKNOWN ? type_at(dfd, it.name.c_str()) : it.type;
    if (!keep_entry(dfd, it.name, type, path, ctx)) remove_entry(dfd, it.name.c_str(), type);
    path.resize(mark);
  }
}

}  // namespace

void prune_folder(const std::string& folder, replay_plan& plan) {
  // The folder itself is followed like the shell follows it in "folder/*".
  unique_fd fd(::open(folder.c_str(), dir_flags));
  if (!fd) return;
  prune_context ctx{plan};
  std::string path = folder;
  prune_entries(fd.get(), path, true, ctx);
}

void lay_letter_tree(const char* top, const char* marker, replay_plan& plan) {
  ::umask(0);
  ::mkdir(top, 0777);
  std::string name = std::string(top) + "/name";
  ::unlink(name.c_str());
  {
    unique_fd f(::open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    std::string text = std::string(marker) + "\n";
    // A marker that cannot be written changes nothing else.
    if (f) {
      ssize_t w = ::write(f.get(), text.data(), text.size());
      (void)w;
    }
  }
  unique_fd t(::open(top, dir_flags));
  if (!t) return;
  prune_context ctx{plan};  // after the mask is 0
  std::string path;
  char l1[2] = "A", l2[2] = "A", l3[2] = "A";
  for (l1[0] = 'A'; l1[0] <= 'Z'; ++l1[0]) {
    ::mkdirat(t.get(), l1, 0777);
    unique_fd f1(::openat(t.get(), l1, dir_flags));
    if (!f1) continue;
    for (l2[0] = 'A'; l2[0] <= 'Z'; ++l2[0]) {
      ::mkdirat(f1.get(), l2, 0777);
      unique_fd f2(::openat(f1.get(), l2, dir_flags));
      if (!f2) continue;
      for (l3[0] = 'A'; l3[0] <= 'Z'; ++l3[0]) {
        // Most of these exist: open first, make only what is missing (a new
        // folder is empty already).
        unique_fd f3(::openat(f2.get(), l3, dir_flags));
        if (!f3) {
          ::mkdirat(f2.get(), l3, 0777);
          continue;
        }
        path.assign(top).append("/").append(l1).append("/").append(l2).append("/").append(l3);
        prune_entries(f3.get(), path, true, ctx);
      }
    }
  }
}

void remove_path(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return;
  if (!S_ISDIR(st.st_mode)) {
    ::unlink(path.c_str());
    return;
  }
  unique_fd fd(::open(path.c_str(), dir_flags | O_NOFOLLOW));
  if (fd) {
    std::vector<dir_item> items;
    list_entries(fd.get(), items);
    for (const dir_item& it : items) remove_entry(fd.get(), it.name.c_str(), it.type);
  }
  ::rmdir(path.c_str());
}
