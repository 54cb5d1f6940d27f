#include "tools/proto_client.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "base/format.h"
#include "base/owners.h"
#include "wire/v1.h"

namespace proto {
namespace {

using clock_type = std::chrono::steady_clock;

int remaining_ms(clock_type::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_type::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

// Waits for events on fd until the deadline; false on time-out.
bool wait_for(int fd, short events, clock_type::time_point deadline) {
  for (;;) {
    pollfd p{fd, events, 0};
    int r = ::poll(&p, 1, remaining_ms(deadline));
    if (r > 0) return true;
    if (r == 0) return false;
    if (errno != EINTR) return false;
  }
}

outcome connect_to(const std::string& host, int port, clock_type::time_point deadline, unique_fd& out) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  std::string service = std::to_string(port);
  if (::getaddrinfo(host.c_str(), service.c_str(), &hints, &res) != 0) return outcome::failed;
  outcome result = outcome::failed;
  for (addrinfo* rp = res; rp; rp = rp->ai_next) {
    unique_fd fd(::socket(rp->ai_family, rp->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, rp->ai_protocol));
    if (!fd) continue;
    if (::connect(fd.get(), rp->ai_addr, rp->ai_addrlen) != 0) {
      if (errno != EINPROGRESS) {
        result = errno == ECONNREFUSED ? outcome::refused : outcome::failed;
        continue;
      }
      if (!wait_for(fd.get(), POLLOUT, deadline)) {
        result = outcome::timed_out;
        continue;
      }
      int err = 0;
      socklen_t len = sizeof err;
      ::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &err, &len);
      if (err != 0) {
        result = err == ECONNREFUSED ? outcome::refused : outcome::failed;
        continue;
      }
    }
    out = std::move(fd);
    result = outcome::reply;
    break;
  }
  ::freeaddrinfo(res);
  return result;
}

}  // namespace

outcome exchange(const std::string& host, int port, std::string_view message, reply& out, int timeout_ms) {
  out = reply{};
  if (message.size() > fmt::message_max) return outcome::failed;
  auto deadline = clock_type::now() + std::chrono::milliseconds(timeout_ms);
  unique_fd fd;
  outcome c = connect_to(host, port, deadline, fd);
  if (c != outcome::reply) return c;

  char text[fmt::message_size];
  std::memcpy(text, message.data(), message.size());
  text[message.size()] = '\0';
  unsigned char frame[fmt::frame_size];
  codeV1(text, frame);
  std::size_t sent = 0;
  while (sent < sizeof frame) {
    ssize_t n = ::send(fd.get(), frame + sent, sizeof frame - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
    } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
      if (!wait_for(fd.get(), POLLOUT, deadline)) return outcome::timed_out;
    } else {
      return outcome::failed;
    }
  }

  std::memset(frame, 0, sizeof frame);
  std::size_t got = 0;
  while (got < sizeof frame) {
    ssize_t n = ::recv(fd.get(), frame + got, sizeof frame - got, 0);
    if (n > 0) {
      got += static_cast<std::size_t>(n);
    } else if (n == 0) {
      break;
    } else if (errno == EAGAIN || errno == EINTR) {
      if (!wait_for(fd.get(), POLLIN, deadline)) return outcome::timed_out;
    } else {
      return outcome::failed;
    }
  }
  if (got >= sizeof fmt::unknown_reply &&
      std::memcmp(frame, fmt::unknown_reply, sizeof fmt::unknown_reply) == 0) {
    out.text = fmt::unknown_reply;
    out.plain_unknown = true;
    return outcome::reply;
  }
  if (got != sizeof frame) return outcome::malformed;
  char decoded[fmt::message_size];
  decodeV1(frame, decoded);
  out.text = decoded;
  return outcome::reply;
}

std::string readable(std::string_view message) {
  std::string out;
  if (message.find('=') == std::string_view::npos) {
    out.append(message).append("\n");
    return out;
  }
  std::size_t start = 0;
  while (start < message.size()) {
    std::size_t amp = message.find('&', start);
    if (amp == std::string_view::npos) amp = message.size();
    out.append(message.substr(start, amp - start)).append("\n");
    start = amp + 1;
  }
  return out;
}

const char* describe(outcome o) {
  switch (o) {
    case outcome::reply: return "reply received";
    case outcome::refused: return "connection refused";
    case outcome::timed_out: return "timed out";
    case outcome::malformed: return "malformed reply";
    case outcome::failed: return "request failed";
  }
  return "request failed";
}

}  // namespace proto
