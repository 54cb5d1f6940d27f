// Cost of check_user_in_uid32base against the length of node.q and usr.q:
// prints the mean microseconds per call for 1-line and 100,000-line files.
#include <chrono>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

#include "registry/users.h"
#include "store/settings.h"
#include "wire/message.h"

namespace {

const std::string node_id = "NOD12345678901234567890123456789";
const std::string node_euid = "nnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnn";
const std::string user_id = "ABC12345678901234567890123456789";
const std::string user_euidp = "pppppppppppppppppppppppppppppppp";

// Earlier versions carry other EUIDs, so only the last line can answer 0.
std::string node_line(int i, bool last) {
  char buf[512];
  std::snprintf(buf, sizeof buf,
                "UID32=%s&EUID=%s&NAME=Firm&DEP=%d&PUID=9100&PORTP=9101&PORTQ=9102&NODES=1&"
                "DATE=20261207-09:05:03&",
                node_id.c_str(), last ? node_euid.c_str() : "oooooooooooooooooooooooooooooooo", i);
  return buf;
}

std::string user_line(int i, bool last) {
  char buf[512];
  std::snprintf(buf, sizeof buf,
                "UID32=%s&EUID=%s&UIDP=%s&EUIDP=%s&PESEL=44051401359&DEP=%d&NAME=Jan Kowalski&STAT=user&"
                "RANGE=null&ACT=null&DATE=20261207-09:05:03&",
                node_id.c_str(), node_euid.c_str(), user_id.c_str(),
                last ? user_euidp.c_str() : "oooooooooooooooooooooooooooooooo", i);
  return buf;
}

bool build(const std::string& path, int lines, std::string (*line)(int, bool)) {
  std::FILE* f = std::fopen(path.c_str(), "w");
  if (!f) return false;
  for (int i = 0; i < lines; ++i) std::fprintf(f, "%s\n", line(i, i == lines - 1).c_str());
  return std::fclose(f) == 0;
}

std::string entry(const std::string& base, const std::string& key) {
  return base + "/" + key.substr(0, 1) + "/" + key.substr(1, 1) + "/" + key.substr(2, 1) + "/" + key;
}

}  // namespace

int main() {
  char dir[] = "/tmp/velmor-bench-users-XXXXXX";
  if (!::mkdtemp(dir)) {
    std::perror("mkdtemp");
    return 1;
  }
  const std::string base = std::string(dir) + "/UID32BASE";
  copy_text(uid32base, base);
  std::filesystem::create_directories(entry(base, node_id));
  std::filesystem::create_directories(entry(base, user_id));

  const int calls = 20000;
  std::printf("%-10s %12s %14s\n", "lines", "bytes(usr.q)", "mean_us/call");
  int status = 0;
  for (int lines : {1, 100000}) {
    std::string usr = entry(base, user_id) + "/usr.q";
    if (!build(entry(base, node_id) + "/node.q", lines, node_line) || !build(usr, lines, user_line)) {
      std::fprintf(stderr, "cannot write the record files\n");
      status = 1;
      break;
    }
    auto call = [] {
      return check_user_in_uid32base(node_id.c_str(), node_euid.c_str(), user_id.c_str(), user_euidp.c_str());
    };
    if (call() != user_valid) {
      std::fprintf(stderr, "check did not find the last versions\n");
      status = 1;
      break;
    }
    auto t0 = std::chrono::steady_clock::now();
    int bad = 0;
    for (int i = 0; i < calls; ++i) bad += call() != user_valid;
    std::chrono::duration<double, std::micro> d = std::chrono::steady_clock::now() - t0;
    if (bad != 0) {
      std::fprintf(stderr, "%d calls did not answer valid\n", bad);
      status = 1;
      break;
    }
    std::printf("%-10d %12ju %14.2f\n", lines, static_cast<std::uintmax_t>(std::filesystem::file_size(usr)),
                d.count() / calls);
  }
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  reset_settings();
  return status;
}
