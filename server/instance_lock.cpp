#include "server/instance_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

int take_instance_lock() {
  ::mkdir("DISK", 0755);
  // Close-on-exec: commands the server runs must not hold the directory.
  int fd = ::open(instance_lock_name, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return -1;
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    return -1;
  }
  return 0;  // fd stays open for the life of the process
}
