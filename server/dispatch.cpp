#include "server/dispatch.h"

#include <cstring>

#include "base/format.h"
#include "server/access.h"
#include "wire/message.h"

int analizator(char* message, char* reply, const char* peer) {
  // Initialised: a message of three characters or fewer leaves them untouched.
  char test[80] = "";
  char op[80] = "";
  select_value(message, "TEST", test);
  if (std::strcmp(test, "H00") == 0) {
    copy_text(reply, fmt::message_size, fmt::liveness_reply);
    return dispatch_liveness;
  }
  if (select_value(message, "OP", op) == field_found) {
    for (std::size_t i = 0; i < operation_count; ++i) {
      const operation_row& row = operation_table[i];
      if (std::strcmp(op, row.name) != 0) continue;
      // The operator's rules are judged before the handler reads anything.
      if (!access_allows(i, peer)) return access_refusal(row.name, reply);
      return row.with_peer ? row.with_peer(message, reply, peer) : row.plain(message, reply);
    }
  }
  copy_text(reply, fmt::message_size, fmt::unknown_reply);
  return dispatch_unknown;
}
