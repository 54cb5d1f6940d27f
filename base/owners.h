// Owners that close what they hold on every path out of a scope.
#pragma once
#include <cstdio>
#include <dirent.h>
#include <unistd.h>
#include <utility>

class unique_fd {
 public:
  unique_fd() = default;
  explicit unique_fd(int fd) : fd_(fd) {}
  unique_fd(unique_fd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
  unique_fd& operator=(unique_fd&& o) noexcept {
    if (this != &o) reset(std::exchange(o.fd_, -1));
    return *this;
  }
  unique_fd(const unique_fd&) = delete;
  unique_fd& operator=(const unique_fd&) = delete;
  ~unique_fd() { reset(); }

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  int release() { return std::exchange(fd_, -1); }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

class unique_file {
 public:
  unique_file() = default;
  explicit unique_file(std::FILE* f) : f_(f) {}
  unique_file(unique_file&& o) noexcept : f_(std::exchange(o.f_, nullptr)) {}
  unique_file& operator=(unique_file&& o) noexcept {
    if (this != &o) reset(std::exchange(o.f_, nullptr));
    return *this;
  }
  unique_file(const unique_file&) = delete;
  unique_file& operator=(const unique_file&) = delete;
  ~unique_file() { reset(); }

  std::FILE* get() const { return f_; }
  explicit operator bool() const { return f_ != nullptr; }
  // Closes now and reports whether everything buffered reached the file.
  bool close() { return f_ ? std::fclose(std::exchange(f_, nullptr)) == 0 : false; }
  void reset(std::FILE* f = nullptr) {
    if (f_) std::fclose(f_);
    f_ = f;
  }

 private:
  std::FILE* f_ = nullptr;
};

// A pipe from popen is closed with pclose, which also waits for the child.
class unique_pipe {
 public:
  explicit unique_pipe(std::FILE* f) : f_(f) {}
  unique_pipe(const unique_pipe&) = delete;
  unique_pipe& operator=(const unique_pipe&) = delete;
  ~unique_pipe() { close(); }
  std::FILE* get() const { return f_; }
  explicit operator bool() const { return f_ != nullptr; }
  int close() { return f_ ? ::pclose(std::exchange(f_, nullptr)) : -1; }

 private:
  std::FILE* f_ = nullptr;
};

class unique_dir {
 public:
  explicit unique_dir(DIR* d) : d_(d) {}
  unique_dir(const unique_dir&) = delete;
  unique_dir& operator=(const unique_dir&) = delete;
  ~unique_dir() {
    if (d_) ::closedir(d_);
  }
  DIR* get() const { return d_; }
  explicit operator bool() const { return d_ != nullptr; }

 private:
  DIR* d_ = nullptr;
};
