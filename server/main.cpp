// velmor-central: the central server. No arguments, no environment; the
// working directory holds the configuration, BIN/ and DISK/.
#include <cerrno>
#include <csignal>
#include <cstring>
#include <unistd.h>
#include <cstdio>

#include "server/access.h"
#include "server/config.h"
#include "server/instance_lock.h"
#include "server/loop.h"
#include "store/settings.h"

int main() {
  // Log files and pipes see every line at once.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  // A peer that closed early must not end the process; the write reports it.
  std::signal(SIGPIPE, SIG_IGN);

  // Before anything is mounted or written: a second server on the same
  // working directory would hand out the same identifiers twice. (Only root
  // gets that far; read_config tells anyone else to log in as root.)
  if (::getuid() == 0) {
    int lock = take_instance_lock();
    if (lock == instance_lock_held) {
      std::printf("velmor-central: another server holds this working directory (%s)\n", instance_lock_name);
      return 1;
    }
    if (lock != 0) {
      std::printf("velmor-central: cannot lock %s: %s\n", instance_lock_name, std::strerror(errno));
      return 1;
    }
  }
  read_config();
  // A security setting that does not apply is worse than none: a malformed
  // rule stops the start.
  char why[256];
  if (load_access_rules(access_file_name, why, sizeof why) != 0) {
    std::printf("\n ERROR: %s\n", why);
    return 1;
  }
  if (access_rule_count() > 0) std::printf(" ACCESS RULES:      %zu networks from %s\n", access_rule_count(), access_file_name);
  if (port_central == 0) {
    std::printf("\n\n   Error: Incorrect port number in config file\n\n");
    return 0;
  }
  std::snprintf(port, sizeof port, "%d", port_central);
  std::printf("\n ... velmor_TAVR works ...\n\n");
  server();
}
