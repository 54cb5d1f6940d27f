#include "store/append.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <memory>
#include <new>
#include <string_view>
#include <unistd.h>

#include "base/format.h"
#include "base/io.h"
#include "base/text.h"
#include "store/durable.h"
#include "store/file_cache.h"
#include "store/paths.h"
#include "store/settings.h"
#include "store/write_seam.h"

int add_text_line(const char* dir, const char* name, const char* line) {
  char path[fmt::path_size];
  if (join_path(dir, name, path, sizeof path) != 0) return -1;
  return add_string_to_file(path, line);
}

int add_string_to_file(const char* path, const char* line) {
  return append_line(path, line) == append_written ? 0 : -1;
}

namespace {

// Line and newline in one buffer, so they go out in one write and an append
// is never split by another writer's line.
class line_buffer {
 public:
  explicit line_buffer(const char* line) {
    std::string_view text(line);
    size_ = text.size() + 1;
    data_ = small_;
    if (size_ > sizeof small_) {
      large_.reset(new (std::nothrow) char[size_]);
      data_ = large_.get();
      if (!data_) return;
    }
    std::memcpy(data_, text.data(), text.size());
    data_[text.size()] = '\n';
  }
  bool ok() const { return data_ != nullptr; }
  const char* data() const { return data_; }
  std::size_t size() const { return size_; }

 private:
  char small_[1024];
  std::unique_ptr<char[]> large_;
  char* data_;
  std::size_t size_;
};

append_log* active_log = nullptr;

bool lock_file(int fd) {
  while (::flock(fd, LOCK_EX) != 0)
    if (errno != EINTR) return false;
  return true;
}

// The size of the file fd names, -1 when it has none any more: a file that a
// taken-back append removed, or a block renamed another file over, while
// this writer waited for its lock (its last name is gone).
off_t linked_size(int fd) {
  struct stat st;
  return ::fstat(fd, &st) == 0 && st.st_nlink > 0 ? st.st_size : -1;
}

// Opens path for appending, made when missing (created tells), and locks it;
// size: where the line will begin. append_not_opened when it cannot be
// opened, append_failed when it cannot be locked.
int open_locked(const char* path, unique_fd& fd, bool& created, off_t& size) {
  for (int round = 0; round < 16; ++round) {
    created = false;
    fd.reset(::open(path, O_WRONLY | O_APPEND | O_CLOEXEC));
    if (!fd && errno == ENOENT) {
      fd.reset(::open(path, O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
      if (!fd && errno == EEXIST) continue;
      created = static_cast<bool>(fd);
    }
    if (!fd) return append_not_opened;
    if (!lock_file(fd.get())) return append_failed;
    if ((size = linked_size(fd.get())) >= 0) return append_written;
  }
  return append_failed;
}

// Takes back what this writer made of path, under the lock: cut back to
// begin, or removed when the append made the file. Only while the file
// still ends at end, so another writer's later line is never touched.
bool take_back(int fd, const char* path, off_t begin, off_t end, bool created) {
  if (linked_size(fd) != end) return false;
  // A file of its own is removed, so that no empty file stands for a record
  // (an empty firm file would refuse the firm for ever).
  if (created && begin == 0) return ::unlink(path) == 0;
  return ::ftruncate(fd, begin) == 0;
}

// The line goes at the end under the file's lock; a write that stops short is
// taken back before the lock is let go, so the file ends with whole lines.
int write_and_close(const char* path, unique_fd fd, bool created, off_t begin, const line_buffer& buf) {
  std::size_t done = store_write_up_to(path, fd.get(), buf.data(), buf.size());
  if (done != buf.size()) {
    if (!take_back(fd.get(), path, begin, begin + static_cast<off_t>(done), created)) std::perror(path);
    return append_failed;
  }
  const off_t end = begin + static_cast<off_t>(buf.size());
  // close can be the first to report a failed write (network file systems):
  // the line is taken back then, as any other failed write.
  if (::close(fd.release()) != 0) {
    cut_back_append(path, begin, end, created);
    return append_failed;
  }
  if (active_log) active_log->note(path, begin, end, created);
  if (sync_writes) note_written_file(path, created);
  return append_written;
}

// The line through the loop's kept descriptor: nobody else appends to the
// file meanwhile, so no lock is taken, the line begins at the kept size, and
// a write that stops short is cut back to it at once.
int append_kept(const char* path, int fd, off_t begin, bool created, const line_buffer& buf) {
  std::size_t done = store_write_up_to(path, fd, buf.data(), buf.size());
  if (done != buf.size()) {
    const bool back = created && begin == 0 ? ::unlink(path) == 0 : ::ftruncate(fd, begin) == 0;
    if (!back) std::perror(path);
    file_cache_forget(path);
    return append_failed;
  }
  file_cache_appended(path, buf.data(), buf.size());
  if (active_log) active_log->note(path, begin, begin + static_cast<off_t>(buf.size()), created);
  if (sync_writes) note_written_file(path, created);
  return append_written;
}

}  // namespace

int append_line(const char* path, const char* line) {
  line_buffer buf(line);
  if (!buf.ok()) return append_not_opened;
  int kept_fd = -1;
  off_t begin = 0;
  bool created = false;
  switch (file_cache_for_append(path, kept_fd, begin, created)) {
    case kept_look::found:
      return append_kept(path, kept_fd, begin, created, buf);
    case kept_look::no_file:
      return append_not_opened;
    case kept_look::off:
      break;
  }
  file_cache_forget(path);  // it grows beside what is kept of it
  unique_fd fd;
  int rc = open_locked(path, fd, created, begin);
  if (rc != append_written) return rc;
  return write_and_close(path, std::move(fd), created, begin, buf);
}

append_log::append_log() : outer_(active_log) { active_log = this; }
append_log::~append_log() { active_log = outer_; }

void append_log::note(const char* path, off_t begin, off_t end, bool created) {
  entry e;
  copy_text(e.path, path);
  e.begin = begin;
  e.end = end;
  e.created = created;
  entries_.push_back(e);
}

bool append_log::undo() { return undo_outside(nullptr); }

bool append_log::undo_outside(const char* folder) {
  std::string_view inside = folder ? folder : "";
  auto in_folder = [&](const char* path) {
    std::string_view p(path);
    return !inside.empty() && p.size() > inside.size() && p.substr(0, inside.size()) == inside &&
           p[inside.size()] == '/';
  };
  std::vector<entry> kept;
  bool all = true;
  for (auto it = entries_.rbegin(); it != entries_.rend(); ++it) {
    if (in_folder(it->path)) {
      kept.insert(kept.begin(), *it);
    } else if (!cut_back_append(it->path, it->begin, it->end, it->created)) {
      kept.insert(kept.begin(), *it);
      all = false;
    }
  }
  entries_.swap(kept);
  return all;
}

bool cut_back_append(const char* path, off_t begin, off_t end, bool created) {
  file_cache_forget(path);
  unique_fd fd(::open(path, O_WRONLY | O_CLOEXEC));
  // The name may have been given to another file meanwhile (a block's
  // rename): only a file still named, under its lock, is cut.
  return fd && lock_file(fd.get()) && take_back(fd.get(), path, begin, end, created);
}
