// File systems in image files, mounted through loop devices, for tests that
// need a real block device under DISK/: what reached the device is exactly
// what the image file holds, so a copy of it taken at any moment is the disk
// as a power cut at that moment would leave it.
#pragma once
#include <string>

#include "base/owners.h"

namespace testing_support {

// Makes a fresh ext4 file system in a new image file of size_mib MiB at
// image. "" when made, else why not (mkfs.ext4 missing or failing).
std::string make_ext4_image(const std::string& image, int size_mib);

// Copies the image file at from to to with plain reads and writes (holes
// kept as holes): the device's contents as they are now.
bool copy_image(const std::string& from, const std::string& to);

// An image file on a free loop device, its ext4 file system mounted at a
// folder; unmounted and detached on destruction.
class loop_mount {
 public:
  loop_mount() = default;
  ~loop_mount();
  loop_mount(const loop_mount&) = delete;
  loop_mount& operator=(const loop_mount&) = delete;

  // "" when mounted, else why not (no loop device to be had, mount refused).
  std::string mount(const std::string& image, const std::string& at, const std::string& options);
  // Unmounts and detaches now; true when the file system was let go.
  bool release();

 private:
  unique_fd loop_;
  std::string at_;
};

}  // namespace testing_support
