// The configuration reader on arbitrary lines: settings keep their bounds.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "server/config.h"
#include "store/settings.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  reset_settings();
  std::string text(reinterpret_cast<const char*>(data), size);
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    // Lines are read with a 1000-byte buffer.
    std::string line = text.substr(start, std::min<std::size_t>(end - start + 1, 999));
    apply_config_line(line.c_str());
    start = end + 1;
  }
  char device[20];
  check_mount_points(device);
  if (std::strlen(uid32base) >= sizeof uid32base || std::strlen(list_base) >= sizeof list_base ||
      std::strlen(mount_point_UID) >= sizeof mount_point_UID)
    std::abort();
  return 0;
}
