#include "tests/support/memory_dir.h"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include "tests/support/server_fixture.h"

namespace testing_support {

memory_dir::memory_dir() {
  for (const char* base : {"/dev/shm", "/tmp"}) {
    std::string tmpl = std::string(base) + "/velmor-test-XXXXXX";
    if (::mkdtemp(tmpl.data())) {
      path_ = tmpl;
      return;
    }
  }
  throw std::runtime_error("no scratch directory");
}

memory_dir::~memory_dir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

void disk_in_memory(const central_server& server, const memory_dir& storage, bool letter_levels) {
  std::filesystem::remove_all(server.path("DISK"));
  for (const char* d : {"DISK/PESEL", "DISK/LIST"}) make_dirs(storage / d);
  for (const char* d : {"DISK/UID32BASE", "DISK/START"}) {
    if (letter_levels)
      make_letter_levels(storage / d);
    else
      make_dirs(storage / d);
  }
  std::filesystem::create_directory_symlink(storage / "DISK", server.path("DISK"));
}

}  // namespace testing_support
