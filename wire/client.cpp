#include "wire/client.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>

#include "base/format.h"
#include "base/owners.h"
#include "wire/message.h"
#include "wire/v1.h"

long timeout_seconds = 10;
long timeout_microsec = 100;

namespace {

int fail(char* buf) {
  copy_text(buf, fmt::message_size, "null");
  return -1;
}

bool set_blocking(int fd, bool blocking) {
  int flags = ::fcntl(fd, F_GETFL, 0);
  if (flags == -1) return false;
  flags = blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
  return ::fcntl(fd, F_SETFL, flags) != -1;
}

void print_errno(int verbose, const char* prefix) {
  if (verbose) std::fprintf(stderr, "%s: %s\n", prefix, std::strerror(errno));
}

// Waits for the connection in progress. poll rather than select: a
// descriptor number above FD_SETSIZE must not overrun a descriptor set.
bool wait_connected(int fd, int verbose) {
  int ms = static_cast<int>(timeout_seconds * 1000 + (timeout_microsec + 999) / 1000);
  pollfd p{fd, POLLIN | POLLOUT, 0};
  int r;
  do {
    r = ::poll(&p, 1, ms);
  } while (r < 0 && errno == EINTR);
  if (r < 0) {
    print_errno(verbose, "select:");
    return false;
  }
  if (r == 0) {
    errno = ETIMEDOUT;
    return false;
  }
  int err = 0;
  socklen_t len = sizeof err;
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) < 0) return false;
  if (err != 0) {
    errno = err;
    return false;
  }
  return true;
}

// A local server's address: four decimal numbers 0 to 255 separated by dots
// and nothing else. inet_pton alone is not enough: its failure used to leave
// 0.0.0.0, which Linux connects to this very host. Leading zeros are refused
// because other readers take them for octal; 0.x.x.x is "this host", never a
// local server.
bool parse_peer_address(const char* text, in_addr& out) {
  unsigned char bytes[4];
  const char* p = text;
  for (int i = 0; i < 4; ++i) {
    if (i > 0 && *p++ != '.') return false;
    if (*p < '0' || *p > '9') return false;
    if (*p == '0' && p[1] >= '0' && p[1] <= '9') return false;
    unsigned v = 0;
    int digits = 0;
    for (; *p >= '0' && *p <= '9'; ++p)
      if (++digits > 3 || (v = v * 10 + static_cast<unsigned>(*p - '0')) > 255) return false;
    bytes[i] = static_cast<unsigned char>(v);
  }
  if (*p != '\0' || bytes[0] == 0) return false;
  std::memcpy(&out, bytes, sizeof bytes);
  return true;
}

// A decoded answer is a message: one line of text, no control characters.
// Bytes that were never coded under today's table decode to noise, which
// holds control characters almost surely, so they do not pass for a reply.
bool is_message_text(const char* decoded) {
  for (const char* c = decoded; *c; ++c) {
    unsigned char b = static_cast<unsigned char>(*c);
    if (b < 0x20 || b == 0x7f) return false;
  }
  return true;
}

}  // namespace

int op_message(const char* address, int port, char* buf, int verbose) {
  if (std::strlen(buf) > fmt::message_max) return fail(buf);
  sockaddr_in addr{};
  if (!parse_peer_address(address, addr.sin_addr) || port < 1 || port > 65535) {
    if (verbose) std::printf("Error: no local server at %s port %d\n", address, port);
    return fail(buf);
  }
  unique_fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) {
    if (verbose) std::printf("Error opening socket on port %d\n", port);
    return fail(buf);
  }
  timeval tv{};
  tv.tv_sec = timeout_seconds;
  tv.tv_usec = timeout_microsec;
  if (::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) < 0) {
    if (verbose) std::printf("Error: test_nodes setsockopt failed [1]\n");
    return fail(buf);
  }
  if (::setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) < 0) {
    if (verbose) std::printf("Error: test_nodes setsockopt failed [2]\n");
    return fail(buf);
  }
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));

  if (!set_blocking(fd.get(), false)) {
    print_errno(verbose, "[1] fcntl: ");
    return fail(buf);
  }
  if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0) {
    if (errno != EINPROGRESS) {
      print_errno(verbose, "connect:");
      return fail(buf);
    }
    if (!wait_connected(fd.get(), verbose)) return fail(buf);
  }
  if (!set_blocking(fd.get(), true)) {
    print_errno(verbose, "[2] fcntl: ");
    return fail(buf);
  }

  unsigned char frame[fmt::frame_size];
  codeV1(buf, frame);
  // MSG_NOSIGNAL: a peer that already closed gives an error, not a signal.
  if (::send(fd.get(), frame, sizeof frame, MSG_NOSIGNAL) < 0) {
    if (verbose) std::printf("Error writing to socket\n");
    return fail(buf);
  }
  std::memset(frame, 0, sizeof frame);
  ssize_t n = ::recv(fd.get(), frame, sizeof frame, MSG_WAITALL);
  if (n < 0) {
    if (verbose) std::printf("Error reading from socket\n");
    return fail(buf);
  }
  // A short answer (nothing, a closed connection, a time-out part-way) is no
  // answer: only a whole frame is decoded.
  if (static_cast<std::size_t>(n) != sizeof frame) return fail(buf);
  if (std::memcmp(frame, fmt::unknown_reply, sizeof fmt::unknown_reply) == 0) return fail(buf);
  char decoded[fmt::message_size];
  decodeV1(frame, decoded);
  if (!is_message_text(decoded)) return fail(buf);
  copy_text(buf, fmt::message_size, decoded);
  return 0;
}

int client_U(const char* address, int port, const char* request, char* reply) {
  char work[fmt::message_size];
  if (!copy_text(work, request)) {
    copy_text(reply, fmt::message_size, "null");
    return -1;
  }
  int rc = op_message(address, port, work, 1);
  copy_text(reply, fmt::message_size, work);
  return rc;
}
