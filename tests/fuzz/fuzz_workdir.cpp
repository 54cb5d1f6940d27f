#include "tests/fuzz/fuzz_workdir.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ftw.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "store/settings.h"

// Linked with --wrap=connect: every outgoing connection is refused at once,
// so a fuzzed block notice never leaves the process.
extern "C" int __wrap_connect(int, const sockaddr*, socklen_t) {
  errno = ECONNREFUSED;
  return -1;
}

namespace {

void make(const std::string& p) { ::mkdir(p.c_str(), 0777); }

void letter_levels(const std::string& root) {
  make(root);
  for (char a = 'A'; a <= 'Z'; ++a) {
    std::string l1 = root + "/" + a;
    make(l1);
    for (char b = 'A'; b <= 'Z'; ++b) {
      std::string l2 = l1 + "/" + b;
      make(l2);
      for (char c = 'A'; c <= 'Z'; ++c) make(l2 + "/" + c);
    }
  }
}

char workdir[32];

int remove_entry(const char* path, const struct stat*, int, FTW*) { return ::remove(path); }

// The scratch tree goes when the fuzzing process ends.
void remove_workdir() { ::nftw(workdir, remove_entry, 64, FTW_DEPTH | FTW_PHYS); }

}  // namespace

void enter_fuzz_workdir() {
  static bool done = false;
  if (done) return;
  done = true;
  // On a memory file system when there is one: the letter levels are 35,000
  // folders, which a loaded disk takes minutes to make and remove.
  for (const char* base : {"/dev/shm", "/tmp"}) {
    int n = std::snprintf(workdir, sizeof workdir, "%s/velmor-fuzz-XXXXXX", base);
    if (n > 0 && static_cast<std::size_t>(n) < sizeof workdir && ::mkdtemp(workdir)) break;
    workdir[0] = '\0';
  }
  if (!workdir[0] || ::chdir(workdir) != 0) std::abort();
  std::atexit(remove_workdir);
  make("BIN");
  make("DISK");
  for (const char* d : {"DISK/PESEL", "DISK/LIST"}) make(d);
  letter_levels("DISK/UID32BASE");
  letter_levels("DISK/START");
  if (FILE* f = std::fopen("BIN/version", "w")) {
    std::fputs("1.0.0\nLinux\n", f);
    std::fclose(f);
  }
  if (FILE* f = std::fopen("velmorTAVR.config", "w")) {
    std::fputs("PORT_CENTRAL=8809&\n", f);
    std::fclose(f);
  }
  reset_settings();
}
