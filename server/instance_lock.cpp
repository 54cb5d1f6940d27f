#include "server/instance_lock.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
int lock_fd = -1;
}

int instance_lock_fd() { return lock_fd; }

int take_instance_lock() {
  ::mkdir("DISK", 0755);
  // Close-on-exec: commands the server runs must not hold the directory.
  int fd = ::open(instance_lock_name, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return instance_lock_unusable;
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    int rc = errno == EWOULDBLOCK ? instance_lock_held : instance_lock_unusable;
    ::close(fd);
    return rc;
  }
  lock_fd = fd;  // open for the life of the process
  return 0;
}
