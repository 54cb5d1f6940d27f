// The dispatcher: liveness, the table of operations, the unknown reply.
#pragma once
#include <cstddef>

// Handler shapes. Each reads its request fields from message first and then
// writes its reply over it (the same 512-byte buffer); 0 done, -1 refused.
using plain_handler = int (*)(char* message, char* reply);
using peer_handler = int (*)(char* message, char* reply, const char* peer);

struct operation_row {
  const char* name;       // the exact OP value
  plain_handler plain;    // set for most operations
  peer_handler with_peer; // set for the operations reserved to the local network
};

// One row per served operation; exact, case-sensitive names.
extern const operation_row operation_table[];
extern const std::size_t operation_count;

inline constexpr int dispatch_liveness = 1;
inline constexpr int dispatch_unknown = -2;

// Answers the liveness request or runs the operation named by OP. Returns the
// handler's result, dispatch_liveness, or dispatch_unknown ("I love you." in
// reply).
int analizator(char* message, char* reply, const char* peer);
