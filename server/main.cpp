// velmor-central: the central server. No arguments, no environment; the
// working directory holds the configuration, BIN/ and DISK/.
#include <csignal>
#include <cstdio>

#include "server/config.h"
#include "server/loop.h"
#include "store/settings.h"

int main() {
  // Log files and pipes see every line at once.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  // A peer that closed early must not end the process; the write reports it.
  std::signal(SIGPIPE, SIG_IGN);

  read_config();
  if (port_central == 0) {
    std::printf("\n\n   Error: Incorrect port number in config file\n\n");
    return 0;
  }
  std::snprintf(port, sizeof port, "%d", port_central);
  std::printf("\n ... velmor_TAVR works ...\n\n");
  server();
}
