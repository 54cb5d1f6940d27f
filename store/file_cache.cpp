#include "store/file_cache.h"

#include <cerrno>
#include <charconv>
#include <cstdint>
#include <fcntl.h>
#include <list>
#include <string>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>

#include "base/io.h"
#include "base/owners.h"
#include "base/text.h"

namespace {

struct entry {
  std::string path;
  unique_fd fd;
  bool writable = false;
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = 0;
  bool tail_loaded = false;
  off_t tail_begin = 0;
  std::string tail;  // bytes [tail_begin, size) once loaded
  std::uint64_t checked = 0;  // turn of the last check against the path
  int watch = -1;             // the inotify watch of the file, -1 without
};

// Changes made by other processes to a kept file: written and closed,
// renamed over or removed (its link count changes), moved. The loop's own
// appends through the kept descriptor raise none of these.
constexpr std::uint32_t watched_changes = IN_CLOSE_WRITE | IN_ATTRIB | IN_MOVE_SELF | IN_DELETE_SELF;

struct cache {
  bool on = false;
  std::size_t capacity = 0;
  unique_fd notify;            // inotify instance while on; without one, nothing is kept
  bool changes_unread = true;  // a request began since the notices were last read
  bool others = false;
  std::uint64_t turn = 1;
  std::list<entry> order;  // most recently used first
  std::unordered_map<std::string_view, std::list<entry>::iterator> by_path;  // keys view entry::path

  void unwatch(const entry& e) {
    if (e.watch < 0 || !notify) return;
    for (const entry& other : order)
      if (&other != &e && other.watch == e.watch) return;  // one inode under two names
    ::inotify_rm_watch(notify.get(), e.watch);
  }

  void erase(std::list<entry>::iterator it) {
    unwatch(*it);
    by_path.erase(it->path);
    order.erase(it);
  }

  void clear() {
    for (const entry& e : order)
      if (e.watch >= 0 && notify) ::inotify_rm_watch(notify.get(), e.watch);
    by_path.clear();
    order.clear();
  }

  // Forgets every kept file another process changed: read once per request,
  // before its first look at a kept file.
  void read_changes() {
    if (!changes_unread) return;
    changes_unread = false;
    alignas(inotify_event) char buf[4096];
    for (;;) {
      const ssize_t n = ::read(notify.get(), buf, sizeof buf);
      if (n <= 0) {
        if (n < 0 && errno == EINTR) continue;
        return;  // EAGAIN: nothing (more) changed
      }
      for (ssize_t at = 0; at < n;) {
        const auto* ev = reinterpret_cast<const inotify_event*>(buf + at);
        at += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
        if (ev->mask & IN_Q_OVERFLOW) {
          clear();
          continue;
        }
        for (auto it = order.begin(); it != order.end();) {
          auto next = std::next(it);
          if (it->watch == ev->wd) {
            if (ev->mask & IN_IGNORED) it->watch = -1;  // the watch is gone already
            erase(it);
          }
          it = next;
        }
      }
    }
  }

  // The kept entry of path, checked once per turn: the name must still lead
  // to the same regular file, of the size this process left it at.
  entry* find(std::string_view path) {
    read_changes();
    auto at = by_path.find(path);
    if (at == by_path.end()) return nullptr;
    auto it = at->second;
    if (it->checked != turn) {
      struct stat st;
      if (::stat(it->path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_dev != it->dev ||
          st.st_ino != it->ino || st.st_size != it->size) {
        erase(it);
        return nullptr;
      }
      it->checked = turn;
    }
    if (it != order.begin()) order.splice(order.begin(), order, it);
    return &*it;
  }

  // Opens path and keeps it; nullptr with look telling why not.
  entry* open(const char* path, bool create, bool& created, kept_look& look) {
    created = false;
    unique_fd fd(::open(path, O_RDWR | O_APPEND | O_CLOEXEC | O_NONBLOCK));
    bool writable = static_cast<bool>(fd);
    if (!fd && errno == ENOENT && create) {
      fd.reset(::open(path, O_RDWR | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC | O_NONBLOCK, 0666));
      created = writable = static_cast<bool>(fd);
    }
    if (!fd && !create && (errno == EROFS || errno == EACCES || errno == ETXTBSY))
      fd.reset(::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK));  // read-only, still kept
    if (!fd) {
      // Out of descriptors: what is kept gives way, and this call goes the
      // plain way.
      if (errno == EMFILE || errno == ENFILE) {
        clear();
        look = kept_look::off;
      } else {
        look = kept_look::no_file;
      }
      return nullptr;
    }
    struct stat st;
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
      look = kept_look::no_file;
      return nullptr;
    }
    // Watched through the descriptor's own link, so that the watch is on the
    // file opened even if the name was given to another meanwhile.
    char digits[16];
    const auto [end, err] = std::to_chars(digits, digits + sizeof digits, fd.get());
    char link[40];
    text_builder(link).add("/proc/self/fd/").add(std::string_view(digits, static_cast<std::size_t>(end - digits)));
    (void)err;
    const int watch = ::inotify_add_watch(notify.get(), link, watched_changes);
    if (watch < 0) {
      look = kept_look::off;  // not kept unwatched: the plain way
      return nullptr;
    }
    if (order.size() >= capacity) erase(std::prev(order.end()));
    entry& e = order.emplace_front();
    e.watch = watch;
    e.path = path;
    e.fd = std::move(fd);
    e.writable = writable;
    e.dev = st.st_dev;
    e.ino = st.st_ino;
    e.size = st.st_size;
    e.checked = turn;
    by_path.emplace(e.path, order.begin());
    look = kept_look::found;
    return &e;
  }

  bool load_tail(entry& e) {
    const off_t n = e.size < static_cast<off_t>(kept_tail) ? e.size : static_cast<off_t>(kept_tail);
    e.tail.resize(static_cast<std::size_t>(n));
    e.tail_begin = e.size - n;
    if (n > 0 && read_up_to(e.fd.get(), e.tail.data(), e.tail.size(), e.tail_begin) != n) return false;
    e.tail_loaded = true;
    return true;
  }
};

cache kept;

}  // namespace

void file_cache_enable(std::size_t files) {
  kept.clear();
  kept.capacity = files < kept_files_max ? files : kept_files_max;
  if (kept.capacity > 0 && !kept.notify) kept.notify.reset(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  if (kept.capacity == 0) kept.notify.reset();
  // Without change notices nothing is kept: the plain way is always right.
  kept.on = kept.capacity > 0 && kept.notify;
}

void file_cache_next_request() { kept.changes_unread = true; }

std::size_t file_cache_capacity() { return kept.capacity; }

void file_cache_next_turn() { ++kept.turn; }

void file_cache_clear() { kept.clear(); }

void file_cache_abandon() {
  for (entry& e : kept.order) e.fd.release();
  kept.notify.release();
  kept.by_path.clear();
  kept.order.clear();
  kept.on = false;
  kept.capacity = 0;
}

void file_cache_set_other_writers(bool others) { kept.others = others; }

void file_cache_forget(const char* path) {
  if (kept.by_path.empty()) return;
  auto at = kept.by_path.find(path);
  if (at != kept.by_path.end()) kept.erase(at->second);
}

kept_look file_cache_look(const char* path, kept_file& out) {
  if (!kept.on) return kept_look::off;
  entry* e = kept.find(path);
  if (!e) {
    bool created;
    kept_look look;
    e = kept.open(path, false, created, look);
    if (!e) return look;
  }
  if (!e->tail_loaded && !kept.load_tail(*e)) {
    file_cache_forget(path);
    return kept_look::off;  // the plain readers tell what the error is
  }
  out.fd = e->fd.get();
  out.size = e->size;
  out.tail_begin = e->tail_begin;
  out.tail = e->tail;
  return kept_look::found;
}

kept_look file_cache_for_append(const char* path, int& fd, off_t& begin, bool& created) {
  created = false;
  if (!kept.on || kept.others) return kept_look::off;
  entry* e = kept.find(path);
  if (e && !e->writable) {
    file_cache_forget(path);
    return kept_look::off;
  }
  if (!e) {
    kept_look look;
    e = kept.open(path, true, created, look);
    if (!e) return look;
  }
  fd = e->fd.get();
  begin = e->size;
  return kept_look::found;
}

void file_cache_appended(const char* path, const char* data, std::size_t n) {
  auto at = kept.by_path.find(path);
  if (at == kept.by_path.end()) return;
  entry& e = *at->second;
  e.size += static_cast<off_t>(n);
  if (!e.tail_loaded) return;
  e.tail.append(data, n);
  if (e.tail.size() > 2 * kept_tail) {
    // Trimmed now and then rather than on every append.
    const std::size_t drop = e.tail.size() - kept_tail;
    e.tail.erase(0, drop);
    e.tail_begin += static_cast<off_t>(drop);
  }
}
