#include "store/append.h"

#include <cstring>
#include <fcntl.h>
#include <memory>
#include <new>
#include <string_view>
#include <unistd.h>

#include "base/format.h"
#include "base/io.h"
#include "store/paths.h"

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

int write_and_close(unique_fd fd, const line_buffer& buf) {
  bool ok = write_all(fd.get(), buf.data(), buf.size());
  // close can be the first to report a failed write (network file systems).
  if (::close(fd.release()) != 0) ok = false;
  return ok ? append_written : append_failed;
}

}  // namespace

int append_line(const char* path, const char* line) {
  line_buffer buf(line);
  if (!buf.ok()) return append_not_opened;
  unique_fd fd(::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666));
  if (!fd) return append_not_opened;
  return write_and_close(std::move(fd), buf);
}

int append_line_and_close(unique_fd fd, const char* line) {
  line_buffer buf(line);
  if (!buf.ok() || !fd) return append_failed;
  return write_and_close(std::move(fd), buf);
}

unique_fd open_for_update(const char* path) {
  return unique_fd(::open(path, O_RDWR | O_APPEND | O_CLOEXEC | O_NONBLOCK));
}
