#include "store/line_reader.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "store/file_head.h"

// Plain reads through a buffer of our own: the stream functions would add a
// status call on the file and an allocation to every reading. Most files are
// whole in the head, read without a descriptor; a larger one is opened for
// the rest (non-blocking, so a pipe in a file's place cannot hold us up).
line_reader::line_reader(const char* path) {
  const ssize_t r = read_file_head(path, data_, sizeof data_);
  if (r < 0) return;
  opened_ = true;
  end_ = static_cast<std::size_t>(r);
  offset_ = r;
  if (end_ < sizeof data_) {
    ended_ = true;
    return;
  }
  fd_.reset(::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd_) failed_ = true;  // the rest cannot be read: the walk ends in an error
}

bool line_reader::fill() {
  if (ended_ || !fd_) {
    ended_ = true;
    return false;
  }
  for (;;) {
    ssize_t r = ::pread(fd_.get(), data_, sizeof data_, offset_);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) {
      ended_ = true;  // nothing more comes either way
      failed_ = r < 0;
      return false;
    }
    offset_ += r;
    begin_ = 0;
    end_ = static_cast<std::size_t>(r);
    return true;
  }
}

const char* line_reader::next() {
  // Up to 511 bytes, through the newline if one comes first.
  constexpr std::size_t piece_max = sizeof line_ - 1;
  std::size_t n = 0;
  while (n < piece_max) {
    if (begin_ == end_ && !fill()) break;
    const std::size_t avail = end_ - begin_ < piece_max - n ? end_ - begin_ : piece_max - n;
    const char* from = data_ + begin_;
    const void* nl = std::memchr(from, '\n', avail);
    const std::size_t take = nl ? static_cast<std::size_t>(static_cast<const char*>(nl) - from) + 1 : avail;
    std::memcpy(line_ + n, from, take);
    n += take;
    begin_ += take;
    if (nl) break;
  }
  // As fgets: a read error loses the line it cut short.
  if (n == 0 || failed_) return nullptr;
  line_[n] = '\0';
  line_[std::strcspn(line_, "\n")] = '\0';
  return line_;
}
