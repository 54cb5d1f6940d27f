// The client side of the protocol: one connection, one coded request frame,
// one reply frame. Used by velmor-cli, velmor-local's peers and the tests.
#pragma once
#include <string>
#include <string_view>

namespace proto {

enum class outcome {
  reply,             // a reply came (coded, or the plain unknown-operation text)
  refused,           // nobody listens there
  timed_out,         // no connection or no whole reply in time
  malformed,         // the peer answered something that is not a frame
  failed,            // any other socket failure, or a message over 511 characters
};

struct reply {
  std::string text;           // the decoded message, or "I love you."
  bool plain_unknown = false; // the peer did not know the operation
};

// Sends message to host:port and waits up to timeout_ms for the reply.
outcome exchange(const std::string& host, int port, std::string_view message, reply& out,
                 int timeout_ms = 40000);

// "RE=x&STATUS=done&" -> "RE=x\nSTATUS=done\n"; other text unchanged + "\n".
std::string readable(std::string_view message);

const char* describe(outcome o);

}  // namespace proto
