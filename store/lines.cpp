#include "store/lines.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <new>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

#include "base/format.h"
#include "base/io.h"
#include "base/owners.h"
#include "base/text.h"
#include "store/file_cache.h"
#include "store/file_head.h"
#include "store/paths.h"

namespace {

// Readers see a file the way fgets with a 512-byte buffer does: a line is cut
// into pieces of at most 511 bytes, its newline included.
constexpr off_t piece_max = 511;
// Backward window: 4 KiB of older text plus room for the tail of the line
// being scanned, so a line of normal length is always whole in the window.
constexpr off_t window_tail = 512;
constexpr off_t window_cap = 4096 + window_tail;

// Opened for reading; O_NONBLOCK so that a pipe put in a file's place cannot
// hold the server up (it changes nothing for regular files).
unique_fd open_for_reading(const char* path) {
  return unique_fd(::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK));
}

// The text of a piece as a C string holds it: up to a NUL byte, if any.
std::string_view as_c_text(std::string_view piece) {
  return piece.substr(0, piece.find('\0'));
}

// A piece without its newline, cut to fit out[cap].
void put_piece(std::string_view text, char* out, std::size_t cap) {
  if (cap == 0) return;
  if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
  std::size_t n = text.size() < cap - 1 ? text.size() : cap - 1;
  std::memcpy(out, text.data(), n);
  out[n] = '\0';
}

// Walks a file's lines from the end through a window read with pread, and
// tests each line's pieces last first. Holds nothing beyond one call.
class backward_lines {
 public:
  explicit backward_lines(int fd) : fd_(fd) {}

  // For a file read whole into window() (it was smaller than the window):
  // the search needs no descriptor.
  void start_whole(off_t size) { start_memory(win_, size); }
  // For text held elsewhere (a kept file's whole lines), searched in place
  // as a file of its own.
  void start_memory(const char* text, off_t size) {
    data_ = text;
    win_begin_ = 0;
    win_end_ = size;
    size_ = size;
  }
  // For a file of known size, or the part of it before the given offset.
  void start_at(off_t size) {
    size_ = size;
    win_begin_ = win_end_ = 0;
  }
  // For a file opened by the caller: only its size is asked for, and the
  // window is read where the search begins.
  bool start_sized() {
    struct stat st;
    if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) return false;
    size_ = st.st_size;
    win_begin_ = win_end_ = 0;
    return true;
  }
  char* window() { return win_; }

  // line_found with out written, line_none, or line_no_file on a read error.
  int last_containing(std::string_view needle, char* out, std::size_t cap) {
    off_t stop = size_;  // end of the current line, newline included
    while (stop > 0) {
      char last;
      if (!byte_at(stop - 1, last)) return line_no_file;
      off_t content_end = last == '\n' ? stop - 1 : stop;
      off_t start = line_start(content_end, stop);
      if (start < 0) return line_no_file;
      off_t pieces = (stop - start + piece_max - 1) / piece_max;
      for (off_t k = pieces - 1; k >= 0; --k) {
        off_t from = start + k * piece_max;
        off_t to = from + piece_max < stop ? from + piece_max : stop;
        std::string_view piece;
        if (!bytes(from, to, piece)) return line_no_file;
        std::string_view text = as_c_text(piece);
        if (text.find(needle) != std::string_view::npos) {
          put_piece(text, out, cap);
          return line_found;
        }
      }
      stop = start;
    }
    return line_none;
  }

 private:
  // Window [win_begin_, win_end_) ending at end.
  bool load(off_t end) {
    off_t begin = end > window_cap ? end - window_cap : 0;
    std::size_t n = static_cast<std::size_t>(end - begin);
    if (read_up_to(fd_, win_, n, begin) != static_cast<ssize_t>(n)) {
      win_begin_ = win_end_ = 0;  // the file shrank or cannot be read
      return false;
    }
    data_ = win_;
    win_begin_ = begin;
    win_end_ = end;
    return true;
  }

  bool byte_at(off_t at, char& c) {
    if (at < win_begin_ || at >= win_end_) {
      if (!load(at + 1)) return false;
    }
    c = data_[at - win_begin_];
    return true;
  }

  // First byte of the line whose text ends at content_end and which ends at
  // stop; -1 on a read error.
  off_t line_start(off_t content_end, off_t stop) {
    off_t limit = content_end;  // [.., limit) is still to be searched
    while (limit > 0) {
      if (limit <= win_begin_ || limit > win_end_) {
        // Keep the line's tail in the window while it is short enough, so its
        // pieces can be tested in place.
        if (!load(stop - limit <= window_tail ? stop : limit)) return -1;
      }
      const void* nl = ::memrchr(data_, '\n', static_cast<std::size_t>(limit - win_begin_));
      if (nl) return win_begin_ + (static_cast<const char*>(nl) - data_) + 1;
      limit = win_begin_;
    }
    return 0;
  }

  // Bytes [from, to) of the file, at most piece_max of them.
  bool bytes(off_t from, off_t to, std::string_view& v) {
    std::size_t n = static_cast<std::size_t>(to - from);
    if (from >= win_begin_ && to <= win_end_) {
      v = std::string_view(data_ + (from - win_begin_), n);
      return true;
    }
    if (read_up_to(fd_, scratch_, n, from) != static_cast<ssize_t>(n)) return false;
    v = std::string_view(scratch_, n);
    return true;
  }

  int fd_;
  const char* data_ = win_;  // the window's bytes: win_, or text held elsewhere
  off_t size_ = 0;
  off_t win_begin_ = 0;
  off_t win_end_ = 0;
  char win_[window_cap];
  char scratch_[piece_max];
};

}  // namespace

int read_last_line(const char* path, char* out, std::size_t cap) {
  return read_last_line_containing(path, "", out, cap);
}

namespace {

// The search over a kept file: its whole lines in memory first (all of them
// when the whole file is kept, else those after the first newline of the
// kept end), and only when they hold no match, the older part through the
// kept descriptor. The lines are the same, so the answer is too.
int last_containing_kept(const kept_file& k, std::string_view needle, char* out, std::size_t cap) {
  std::string_view whole = k.tail;
  off_t older_end = 0;  // the older part is [0, older_end)
  if (k.tail_begin > 0) {
    const std::size_t nl = whole.find('\n');
    if (nl == std::string_view::npos) {
      whole = {};
      older_end = k.size;  // one line longer than what is kept: all from the file
    } else {
      whole.remove_prefix(nl + 1);
      older_end = k.tail_begin + static_cast<off_t>(nl + 1);
    }
  }
  {
    backward_lines mem(-1);
    mem.start_memory(whole.data(), static_cast<off_t>(whole.size()));
    const int found = mem.last_containing(needle, out, cap);
    if (found != line_none || older_end == 0) return found;
  }
  backward_lines lines(k.fd);
  lines.start_at(older_end);
  return lines.last_containing(needle, out, cap);
}

}  // namespace

int read_last_line_containing(const char* path, const char* needle, char* out, std::size_t cap) {
  kept_file k;
  switch (file_cache_look(path, k)) {
    case kept_look::found:
      return last_containing_kept(k, needle, out, cap);
    case kept_look::no_file:
      return line_no_file;
    case kept_look::off:
      break;
  }
  unique_fd fd = open_for_reading(path);
  if (!fd) return line_no_file;
  {
    // Most files are whole in the first read, with no status call.
    backward_lines head(-1);
    const ssize_t r = read_up_to(fd.get(), head.window(), window_cap, 0);
    if (r < 0) return line_no_file;
    if (r < window_cap) {
      head.start_whole(r);
      return head.last_containing(needle, out, cap);
    }
  }
  // A larger one is searched from its end through the same descriptor.
  backward_lines lines(fd.get());
  if (!lines.start_sized()) return line_no_file;
  return lines.last_containing(needle, out, cap);
}

int read_first_line(const char* path, char* out, std::size_t cap) {
  char buf[piece_max];
  ssize_t got = read_file_head(path, buf, sizeof buf);
  if (got < 0) return line_no_file;
  if (got == 0) return line_none;
  std::string_view piece(buf, static_cast<std::size_t>(got));
  std::size_t nl = piece.find('\n');
  if (nl != std::string_view::npos) piece = piece.substr(0, nl + 1);
  put_piece(as_c_text(piece), out, cap);
  return line_found;
}
