#include "tests/support/memory_dir.h"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

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

}  // namespace testing_support
