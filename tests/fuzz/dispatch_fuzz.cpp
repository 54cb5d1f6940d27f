// Arbitrary frames, and messages built from the dispatch table's operation
// names and field keys, through decodeV1 and the dispatcher with every
// handler reachable, in a scratch working directory.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "server/dispatch.h"
#include "server/pipeline.h"
#include "tests/fuzz/fuzz_workdir.h"
#include "wire/v1.h"

namespace {

const char* const keys[] = {"TEST", "OP", "UID32", "EUID", "UIDP", "EUIDP", "PESEL", "NAME", "DEP", "NIP",
                            "REGON", "PUID", "PORTP", "PORTQ", "NODES", "STAT", "RANGE", "ACT", "IPNODE",
                            "VDATE", "CODE", "NLINE", "NICK", "PORTTAVR", "DATE"};
const char* const values[] = {"null", "", "7", "..", "../..", "/", "12345678901", "N1234563218",
                              "RN123456785", "RS000000001", "127.0.0.1", "8809", "AAA", "ABC/../../x",
                              "admin", "20991231"};

// Builds a message from the input: one byte picks the operation, then pairs
// of bytes pick a key and either a dictionary value or raw input text.
std::string build_message(const std::uint8_t* data, std::size_t size) {
  std::string m = "OP=";
  m += operation_table[data[0] % operation_count].name;
  m += "&";
  std::size_t i = 1;
  while (i + 1 < size && m.size() < 600) {
    m += keys[data[i] % (sizeof keys / sizeof *keys)];
    m += "=";
    std::uint8_t pick = data[i + 1];
    i += 2;
    if (pick < 128) {
      m += values[pick % (sizeof values / sizeof *values)];
    } else {
      std::size_t n = std::min<std::size_t>(pick - 127, size - i);
      for (std::size_t k = 0; k < n; ++k) m += data[i + k] ? static_cast<char>(data[i + k]) : '0';
      i += n;
    }
    m += "&";
  }
  return m.substr(0, 511);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  enter_fuzz_workdir();
  if (size == 0) return 0;
  // The restore rebuilds 35,000 folders: only now and then.
  const char* peer = (data[0] & 0x80) ? "8.8.8.8" : "127.0.0.1";
  if (size >= 1024) {
    unsigned char frame[1024];
    std::memcpy(frame, data, sizeof frame);
    executor(frame, peer);
    return 0;
  }
  std::string message = build_message(data, size);
  if (message.find("restore_files_local") != std::string::npos && (data[0] & 0x40) == 0) return 0;
  char buf[512];
  std::memcpy(buf, message.c_str(), message.size() + 1);
  analizator(buf, buf, peer);
  if (std::strlen(buf) > 511) std::abort();
  unsigned char frame[1024];
  codeV1(buf, frame);
  return 0;
}
