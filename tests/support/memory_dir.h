// Scratch directories for tests that lay down whole storage trees (tens of
// thousands of folders): on a memory file system when the machine has one,
// where such trees are made and removed in a moment rather than in minutes.
#pragma once
#include <string>
#include <string_view>

namespace testing_support {

// A fresh directory under /dev/shm (or /tmp when that is not usable), removed
// with everything below it on destruction.
class memory_dir {
 public:
  memory_dir();
  ~memory_dir();
  memory_dir(const memory_dir&) = delete;
  memory_dir& operator=(const memory_dir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(std::string_view rel) const { return path_ + "/" + std::string(rel); }

 private:
  std::string path_;
};

}  // namespace testing_support
