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

class central_server;

// What a mounted storage device gives the server: its DISK replaced by a
// link to storage/DISK, with the four trees made there (the UID32 base and
// the start folder with their letter levels when letter_levels).
void disk_in_memory(const central_server& server, const memory_dir& storage, bool letter_levels);

}  // namespace testing_support
