#include "server/loop.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include "server/pipeline.h"
#include "store/settings.h"
#include "wire/format.h"
#include "wire/message.h"

namespace {

constexpr int max_events = 64;
constexpr int listen_backlog = 128;

// Per-descriptor state, allocated once at start for every descriptor the
// process may hold, so the loop allocates nothing per connection.
struct connection_slot {
  char peer[fmt::peer_size];
};

struct slot_table {
  connection_slot* slots = nullptr;
  std::size_t size = 0;
  connection_slot* at(int fd) { return fd >= 0 && static_cast<std::size_t>(fd) < size ? &slots[fd] : nullptr; }
};

// Raises the soft descriptor limit to the hard one; returns the limit in force.
std::size_t raise_descriptor_limit() {
  struct rlimit rl;
  if (::getrlimit(RLIMIT_NOFILE, &rl) != 0) return 1024;
  if (rl.rlim_cur < rl.rlim_max) {
    rl.rlim_cur = rl.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &rl);
    ::getrlimit(RLIMIT_NOFILE, &rl);
  }
  if (rl.rlim_cur == RLIM_INFINITY || rl.rlim_cur > (1u << 20)) return 1u << 20;
  return static_cast<std::size_t>(rl.rlim_cur);
}

}  // namespace

// An IPv4-mapped peer is its plain IPv4 text, so the local-network rule works
// whichever wildcard address was bound.
void render_peer(const sockaddr_storage& sa, char* out) {
  out[0] = '\0';
  if (sa.ss_family == AF_INET) {
    const auto& in = reinterpret_cast<const sockaddr_in&>(sa);
    ::inet_ntop(AF_INET, &in.sin_addr, out, fmt::peer_size);
  } else if (sa.ss_family == AF_INET6) {
    const auto& in6 = reinterpret_cast<const sockaddr_in6&>(sa);
    if (IN6_IS_ADDR_V4MAPPED(&in6.sin6_addr)) {
      ::inet_ntop(AF_INET, &in6.sin6_addr.s6_addr[12], out, fmt::peer_size);
    } else {
      char text[INET6_ADDRSTRLEN];
      if (::inet_ntop(AF_INET6, &in6.sin6_addr, text, sizeof text)) copy_text(out, fmt::peer_size, text);
    }
  }
}

namespace {

void accept_burst(int listen_fd, int epoll_fd, slot_table& table) {
  for (;;) {
    sockaddr_storage sa;
    socklen_t len = sizeof sa;
    int fd = ::accept4(listen_fd, reinterpret_cast<sockaddr*>(&sa), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) std::perror("accept");
      return;
    }
    connection_slot* slot = table.at(fd);
    if (!slot) {  // beyond the limit read at start: cannot be tracked
      ::close(fd);
      continue;
    }
    render_peer(sa, slot->peer);
    if (test_mode) {
      char host[1025], serv[32];
      if (::getnameinfo(reinterpret_cast<sockaddr*>(&sa), len, host, sizeof host, serv, sizeof serv,
                        NI_NUMERICHOST | NI_NUMERICSERV) == 0)
        std::printf("Accepted connection on descriptor %d (host=%s, port=%s)\n", fd, host, serv);
    }
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLET;
    ev.data.fd = fd;
    if (::epoll_ctl(epoll_fd, EPOLL_CTL_ADD, fd, &ev) == -1) error("epoll_ctl");
  }
}

void serve_connection(int fd, slot_table& table) {
  unsigned char frame[fmt::frame_size];
  std::memset(frame, 0, sizeof frame);
  ssize_t n = ::recv(fd, frame, sizeof frame, 0);
  if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) std::perror("read");
  if (n > 0) {
    connection_slot* slot = table.at(fd);
    executor(frame, slot ? slot->peer : "");
    if (::write(fd, frame, sizeof frame) < 0) std::perror("write");
  }
  if (test_mode) std::printf("Closed connection on descriptor %d\n", fd);
  ::close(fd);
}

}  // namespace

void error(const char* prefix) {
  std::perror(prefix);
  std::abort();
}

int ake_socket_nonblocking(int fd) {
  int flags = ::fcntl(fd, F_GETFL, 0);
  if (flags == -1 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == -1) {
    std::perror("fcntl");
    return -1;
  }
  return 0;
}

int create_and_bind(const char* service) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE;
  addrinfo* result = nullptr;
  int s = ::getaddrinfo(nullptr, service, &hints, &result);
  if (s != 0) {
    if (test_mode) std::fprintf(stderr, "getaddrinfo: %s\n", ::gai_strerror(s));
    return -1;
  }
  int fd = -1;
  for (addrinfo* rp = result; rp; rp = rp->ai_next) {
    fd = ::socket(rp->ai_family, rp->ai_socktype | SOCK_CLOEXEC, rp->ai_protocol);
    if (fd == -1) continue;
    // Connections the server closed first linger in TIME_WAIT; without this a
    // restarted server could not bind its port for a minute.
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(fd, rp->ai_addr, rp->ai_addrlen) == 0) break;
    ::close(fd);
    fd = -1;
  }
  ::freeaddrinfo(result);
  if (fd == -1 && test_mode) std::fprintf(stderr, "ERROR: can't bind\n");
  return fd;
}

void server() {
  slot_table table;
  table.size = raise_descriptor_limit();
  table.slots = static_cast<connection_slot*>(std::calloc(table.size, sizeof(connection_slot)));
  if (!table.slots) error("calloc");

  int listen_fd = create_and_bind(port);
  if (listen_fd == -1) error("create_and_bind");
  if (ake_socket_nonblocking(listen_fd) == -1) std::abort();
  if (::listen(listen_fd, listen_backlog) == -1) error("listen");
  int epoll_fd = ::epoll_create1(EPOLL_CLOEXEC);
  if (epoll_fd == -1) error("epoll_create");
  epoll_event ev{};
  ev.events = EPOLLIN | EPOLLET;
  ev.data.fd = listen_fd;
  if (::epoll_ctl(epoll_fd, EPOLL_CTL_ADD, listen_fd, &ev) == -1) error("epoll_ctl");
  auto events = std::make_unique<epoll_event[]>(max_events);

  for (;;) {
    int n = ::epoll_wait(epoll_fd, events.get(), max_events, -1);
    for (int i = 0; i < n; ++i) {
      const epoll_event& e = events[i];
      int fd = e.data.fd;
      if ((e.events & (EPOLLERR | EPOLLHUP)) || !(e.events & EPOLLIN)) {
        if (test_mode) std::fprintf(stderr, "epoll error\n");
        ::close(fd);
        continue;
      }
      if (fd == listen_fd)
        accept_burst(listen_fd, epoll_fd, table);
      else
        serve_connection(fd, table);
    }
  }
}
