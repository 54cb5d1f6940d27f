// select_value on arbitrary messages and keys, into destinations of every
// size the code uses: a value never overruns and is never silently cut.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "wire/message.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  std::size_t cap = 1 + data[0] % 64;  // destination size
  std::size_t key_len = data[1] % 8;
  std::string rest(reinterpret_cast<const char*>(data + 2), size - 2);
  std::string key = rest.substr(0, key_len);
  std::string message = rest.substr(std::min(key_len, rest.size()));
  key = key.c_str();          // keys and messages are C texts
  message = message.c_str();
  if (key.empty()) key = "OP";

  char* dst = static_cast<char*>(std::malloc(cap));  // exact size: ASan sees any overrun
  std::memset(dst, 'x', cap);
  dst[cap - 1] = '\0';
  int rc = select_value(message.c_str(), key.c_str(), dst, cap);
  if (rc == field_found) {
    std::string pattern = key + "=";
    std::size_t at = message.find(pattern);
    if (at == std::string::npos || message.size() <= 3) std::abort();
    std::size_t amp = message.find('&', at);
    if (message.substr(at + pattern.size(), amp - at - pattern.size()) != dst) std::abort();
  } else if (rc == field_too_long && std::strlen(dst) >= cap) {
    std::abort();
  }
  std::free(dst);
  return 0;
}
