#include "store/durable.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <string>
#include <string_view>
#include <vector>

#include "base/format.h"
#include "store/paths.h"
#include "store/settings.h"
#include "store/write_seam.h"

namespace {

std::vector<int> targets;
bool opened = false;

// Files and folders to sync; past max_noted a whole-file-system sync is cheaper.
constexpr std::size_t max_noted = 512;
std::vector<std::string> files, folders;
bool whole_fs = false;

void add_once(std::vector<std::string>& list, std::string_view path) {
  for (const std::string& p : list)
    if (p == path) return;
  if (list.size() >= max_noted) {
    whole_fs = true;
    return;
  }
  list.emplace_back(path);
}

int sync_path(const char* path, bool folder) {
  int fd = ::open(path, (folder ? O_RDONLY | O_DIRECTORY : O_RDONLY) | O_CLOEXEC);
  if (fd < 0) return -1;
  int rc = store_ops().sync(path, fd);
  ::close(fd);
  return rc;
}

}  // namespace

void open_sync_targets() {
  for (int fd : targets) ::close(fd);
  targets.clear();
  opened = true;
  char data[fmt::path_size];
  data_folder(data, sizeof data);
  std::vector<dev_t> devices;
  for (const char* folder : {static_cast<const char*>(data), static_cast<const char*>(uid32base),
                             static_cast<const char*>(pesel_base), static_cast<const char*>(list_base),
                             static_cast<const char*>(start_base)}) {
    int fd = ::open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    struct stat st;
    if (fd < 0) continue;
    bool known = ::fstat(fd, &st) != 0;
    for (dev_t d : devices) known = known || d == st.st_dev;
    if (known) {
      ::close(fd);
      continue;
    }
    devices.push_back(st.st_dev);
    targets.push_back(fd);
  }
}

void note_written_file(const char* path, bool new_entry) {
  std::string_view p(path);
  add_once(files, p);
  if (!new_entry) return;
  // The folder holding the entry, and every folder above it inside the
  // working directory: any of them may have been made for this file.
  for (std::size_t slash = p.rfind('/'); slash != std::string_view::npos && slash > 0; slash = p.rfind('/')) {
    p = p.substr(0, slash);
    while (!p.empty() && p.back() == '/') p.remove_suffix(1);
    if (p.empty()) break;
    add_once(folders, p);
  }
  add_once(folders, ".");
}

void note_unlisted_writes() { whole_fs = true; }

int sync_stored_data() {
  int rc = 0;
  if (whole_fs) {
    if (!opened) open_sync_targets();
    for (int fd : targets)
      if (store_ops().sync_fs(fd) != 0) rc = -1;
  } else {
    for (const std::string& f : files)
      if (sync_path(f.c_str(), false) != 0) rc = -1;
    for (const std::string& d : folders)
      if (sync_path(d.c_str(), true) != 0) rc = -1;
  }
  files.clear();
  folders.clear();
  whole_fs = false;
  return rc;
}

void forget_sync_targets() {
  targets.clear();
  opened = false;
  // A child starts with nothing of its own to sync.
  files.clear();
  folders.clear();
  whole_fs = false;
}
