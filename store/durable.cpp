#include "store/durable.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "base/format.h"
#include "store/paths.h"
#include "store/settings.h"
#include "store/write_seam.h"

namespace {

std::vector<int> targets;
bool opened = false;
bool written = false;

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

void forget_sync_targets() {
  targets.clear();
  opened = false;
  written = false;
}

void note_written_file(const char*, bool) { written = true; }
void note_unlisted_writes() { written = true; }

sync_set take_noted() {
  sync_set s;
  s.written = written;
  written = false;
  return s;
}

int sync_set_now(const sync_set& s) {
  if (s.empty()) return 0;
  int rc = 0;
  for (int fd : targets)
    if (store_ops().sync_fs(fd) != 0) rc = -1;
  return rc;
}

int sync_stored_data() {
  if (!opened) open_sync_targets();
  return sync_set_now(take_noted());
}
