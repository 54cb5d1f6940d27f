#include "server/pipeline.h"

#include <cstdio>
#include <cstring>

#include "base/format.h"
#include "server/dispatch.h"
#include "store/durable.h"
#include "store/file_cache.h"
#include "store/settings.h"
#include "wire/message.h"
#include "wire/v1.h"

void decode_request(unsigned char* frame, char* message) {
  decodeV1(frame, message);
  if (test_mode) {
    std::printf("EXEC REC[2]: %s\n", message);
    std::fflush(stdout);
  }
}

namespace {

// Operations that write beside the store's primitives: their requests are
// covered by a sync of the whole file system.
bool writes_unlisted(const char* message) {
  char op[40] = "";
  select_value(message, "OP", op);
  for (const char* name : {"restore_files_local", "chg_tavr_config", "log_adm", "get_special_pesel"})
    if (std::strcmp(op, name) == 0) return true;
  return false;
}

}  // namespace

int answer_request(char* message, unsigned char* frame, const char* peer) {
  file_cache_next_request();
  if (sync_writes && writes_unlisted(message)) note_unlisted_writes();
  int rc = analizator(message, message, peer);
  if (rc == dispatch_unknown) {
    if (test_mode) std::printf("TEST: I love you.\n");
    // The rest of the frame is zeros, so nothing of the request goes back.
    std::memset(frame, 0, fmt::frame_size);
    std::memcpy(frame, fmt::unknown_reply, sizeof fmt::unknown_reply);
    return 0;
  }
  if (test_mode) {
    std::printf("EXEC OUT[2]: %s\n", message);
    std::fflush(stdout);
  }
  codeV1(message, frame);
  return rc;
}

int executor(unsigned char* frame, const char* peer) {
  char message[fmt::message_size];
  decode_request(frame, message);
  return answer_request(message, frame, peer);
}
