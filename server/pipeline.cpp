#include "server/pipeline.h"

#include <cstdio>
#include <cstring>

#include "base/format.h"
#include "server/dispatch.h"
#include "store/settings.h"
#include "wire/v1.h"

void decode_request(unsigned char* frame, char* message) {
  decodeV1(frame, message);
  if (test_mode) {
    std::printf("EXEC REC[2]: %s\n", message);
    std::fflush(stdout);
  }
}

int answer_request(char* message, unsigned char* frame, const char* peer) {
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
