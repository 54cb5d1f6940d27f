// velmor-bench-floor PORT: the least a single-threaded server of this protocol
// can spend per request. The same skeleton as velmor-central (non-blocking
// listening socket, backlog 128, edge-triggered epoll, accept until EAGAIN, one
// receive, one 1024-byte write, close) and no work at all: it answers every
// request with 1024 zero bytes. Listens on 127.0.0.1 only; runs until killed.
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int max_events = 64;
constexpr int backlog = 128;
constexpr std::size_t frame_size = 1024;

[[noreturn]] void die(const char* what) {
  std::perror(what);
  std::exit(1);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: velmor-bench-floor PORT\n");
    return 2;
  }
  const long port = std::strtol(argv[1], nullptr, 10);
  if (port <= 0 || port > 65535) {
    std::fprintf(stderr, "velmor-bench-floor: bad port %s\n", argv[1]);
    return 2;
  }
  std::signal(SIGPIPE, SIG_IGN);

  const int lfd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (lfd < 0) die("socket");
  int one = 1;
  ::setsockopt(lfd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  if (::bind(lfd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) die("bind");
  const int flags = ::fcntl(lfd, F_GETFL, 0);
  if (flags == -1 || ::fcntl(lfd, F_SETFL, flags | O_NONBLOCK) == -1) die("fcntl");
  if (::listen(lfd, backlog) != 0) die("listen");
  const int ep = ::epoll_create1(EPOLL_CLOEXEC);
  if (ep < 0) die("epoll_create1");
  epoll_event ev{};
  ev.events = EPOLLIN | EPOLLET;
  ev.data.fd = lfd;
  if (::epoll_ctl(ep, EPOLL_CTL_ADD, lfd, &ev) != 0) die("epoll_ctl");
  std::printf("floor listening on 127.0.0.1:%ld\n", port);
  std::fflush(stdout);

  epoll_event events[max_events];
  for (;;) {
    const int n = ::epoll_wait(ep, events, max_events, -1);
    for (int i = 0; i < n; ++i) {
      const int fd = events[i].data.fd;
      if ((events[i].events & (EPOLLERR | EPOLLHUP)) || !(events[i].events & EPOLLIN)) {
        ::close(fd);
        continue;
      }
      if (fd == lfd) {
        for (;;) {
          const int c = ::accept4(lfd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
          if (c < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            break;  // EAGAIN ends the burst; anything else too
          }
          epoll_event cev{};
          cev.events = EPOLLIN | EPOLLET;
          cev.data.fd = c;
          if (::epoll_ctl(ep, EPOLL_CTL_ADD, c, &cev) != 0) die("epoll_ctl");
        }
        continue;
      }
      unsigned char frame[frame_size];
      std::memset(frame, 0, sizeof frame);
      if (::recv(fd, frame, sizeof frame, 0) > 0) {
        if (::write(fd, frame, sizeof frame) < 0) std::perror("write");
      }
      ::close(fd);
    }
  }
}
