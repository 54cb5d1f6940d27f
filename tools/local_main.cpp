// velmor-local: a reference local server. It speaks the central server's
// protocol on its own port, accepts the block notices the central server
// sends, and prints one line per notice. Options make it misbehave on
// purpose, so the central server's failure handling can be tried.
//
//   velmor-local [-b ADDRESS] -p PORT [--delay MS] [--refuse | --unknown | --close | --silent]
//
// A department's own local server can start from here: decode a frame,
// dispatch on OP, answer one coded frame.
#include <arpa/inet.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <string>
#include <string_view>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "base/format.h"
#include "base/owners.h"
#include "wire/message.h"
#include "wire/v1.h"

namespace {

enum class behaviour { accept, refuse, unknown, close, silent };

struct options {
  std::string bind_address = "0.0.0.0";
  int port = 0;
  behaviour mode = behaviour::accept;
  int delay_ms = 0;  // how long each notice waits for its answer
};

bool is_notice(std::string_view op) { return op == "block_department" || op == "block_user_by_TAVR"; }

// Builds the reply for one decoded request; false means "answer I love you.".
bool answer(const char* request, behaviour mode, char* reply) {
  char op[80] = "";
  char test[80] = "";
  select_value(request, "TEST", test);
  if (std::strcmp(test, "H00") == 0) {
    copy_text(reply, fmt::message_size, "REPLY=velmorSOLK_LOCAL&");
    return true;
  }
  if (select_value(request, "OP", op) != field_found || !is_notice(op) || mode == behaviour::unknown) return false;
  std::printf("notice: %s\n", request);
  text_builder r(reply, fmt::message_size);
  r.add("RE=").add(op).add("&STATUS=").add(mode == behaviour::refuse ? "refused&CP=refused_by_local&" : "done&");
  return true;
}

void serve(int client, behaviour mode, int delay_ms) {
  unsigned char frame[fmt::frame_size] = {};
  ssize_t n = ::recv(client, frame, sizeof frame, MSG_WAITALL);
  if (n <= 0 || mode == behaviour::close) return;
  if (delay_ms > 0) ::usleep(static_cast<useconds_t>(delay_ms) * 1000);
  char message[fmt::message_size];
  decodeV1(frame, message);
  char reply[fmt::message_size];
  if (answer(message, mode, reply)) {
    codeV1(reply, frame);
  } else {
    std::memset(frame, 0, sizeof frame);
    std::memcpy(frame, fmt::unknown_reply, sizeof fmt::unknown_reply);
  }
  if (::send(client, frame, sizeof frame, MSG_NOSIGNAL) < 0) std::perror("write");
}

int usage() {
  std::fprintf(stderr, "usage: velmor-local [-b ADDRESS] -p PORT [--delay MS] [--refuse | --unknown | --close | --silent]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  std::signal(SIGPIPE, SIG_IGN);
  options o;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--delay" && i + 1 < argc) {
      o.delay_ms = std::atoi(argv[++i]);
    } else if ((a == "-p" || a == "-b") && i + 1 < argc) {
      if (a == "-p") o.port = std::atoi(argv[++i]);
      else o.bind_address = argv[++i];
    } else if (a == "--refuse") {
      o.mode = behaviour::refuse;
    } else if (a == "--unknown") {
      o.mode = behaviour::unknown;
    } else if (a == "--close") {
      o.mode = behaviour::close;
    } else if (a == "--silent") {
      o.mode = behaviour::silent;
    } else {
      return usage();
    }
  }
  if (o.port <= 0 || o.port > 65535) return usage();

  unique_fd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  int one = 1;
  ::setsockopt(listener.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(o.port));
  if (::inet_pton(AF_INET, o.bind_address.c_str(), &addr.sin_addr) != 1) return usage();
  if (::bind(listener.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0 ||
      ::listen(listener.get(), 16) < 0) {
    std::perror("velmor-local: listen");
    return 1;
  }
  std::printf("velmor-local listening on %s:%d\n", o.bind_address.c_str(), o.port);
  // Silent: every connection is accepted and kept, and nothing is ever read
  // or answered, as a local server that hangs.
  std::vector<unique_fd> held;
  for (;;) {
    unique_fd client(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!client) continue;
    if (o.mode == behaviour::silent) {
      held.push_back(std::move(client));
      continue;
    }
    timeval tv{10, 0};  // a silent client must not hold the only thread for ever
    ::setsockopt(client.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    serve(client.get(), o.mode, o.delay_ms);
  }
}
