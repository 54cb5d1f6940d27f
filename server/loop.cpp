#include "server/loop.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <memory>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include "base/format.h"
#include "server/connections.h"
#include "server/jobs.h"
#include "server/pipeline.h"
#include "server/reply_batch.h"
#include "server/sync_worker.h"
#include "store/durable.h"
#include "store/file_cache.h"
#include "store/settings.h"
#include "wire/message.h"

namespace {

constexpr int max_events = 64;
// Long enough that a burst of connections is queued rather than dropped: a
// dropped handshake is retried only after a second, then three, then seven,
// and under pressure the queue is what keeps a newcomer's turn. The kernel
// caps it at net.core.somaxconn.
constexpr int listen_backlog = 4096;
// A connection whose request has not arrived this long after its accept is
// closed, so nobody can hold the server's descriptors for ever.
constexpr std::int64_t idle_limit_ms = 30000;
// A frame that stops short is answered with what came once its bytes have
// paused this long: a split segment follows within a round trip.
constexpr std::int64_t partial_gap_ms = 1000;
// Under pressure a connection gives way to a newcomer only after it has had
// this long to send its request, so a client whose request is on its way
// (sent with the last packet of the handshake) is not closed by the very
// burst it arrived in.
constexpr std::int64_t eviction_grace_ms = 50;
// Descriptors kept free for handlers (their files, pipes and outgoing
// connections, and the files kept open between requests): accepting stops
// while only these remain.
constexpr std::size_t reserved_descriptors = 32 + kept_files_max;
// How soon accepting is tried again after the process ran out of descriptors.
constexpr std::int64_t accept_retry_ms = 100;

std::int64_t monotonic_ms() {
  timespec ts;
  ::clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

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

// The dotted-decimal text of four address bytes into out[16], as inet_ntop
// writes it, without its formatted printing on every accept.
void dotted_quad(const unsigned char* a, char* out) {
  char* p = out;
  for (int i = 0; i < 4; ++i) {
    const unsigned v = a[i];
    if (v >= 100) *p++ = static_cast<char>('0' + v / 100);
    if (v >= 10) *p++ = static_cast<char>('0' + v / 10 % 10);
    *p++ = static_cast<char>('0' + v % 10);
    *p++ = i < 3 ? '.' : '\0';
  }
}

}  // namespace

// An IPv4-mapped peer is its plain IPv4 text, so the local-network rule works
// whichever wildcard address was bound.
void render_peer(const sockaddr_storage& sa, char* out) {
  out[0] = '\0';
  if (sa.ss_family == AF_INET) {
    const auto& in = reinterpret_cast<const sockaddr_in&>(sa);
    dotted_quad(reinterpret_cast<const unsigned char*>(&in.sin_addr), out);
  } else if (sa.ss_family == AF_INET6) {
    const auto& in6 = reinterpret_cast<const sockaddr_in6&>(sa);
    if (IN6_IS_ADDR_V4MAPPED(&in6.sin6_addr)) {
      dotted_quad(&in6.sin6_addr.s6_addr[12], out);
    } else {
      char text[INET6_ADDRSTRLEN];
      if (::inet_ntop(AF_INET6, &in6.sin6_addr, text, sizeof text)) copy_text(out, fmt::peer_size, text);
    }
  }
}

namespace {

struct loop_state {
  int listen_fd = -1;
  int epoll_fd = -1;
  connection_table connections;
  std::unique_ptr<job_queue> jobs;
  reply_batch replies;  // held for the next sync (SYNC=1&)
  std::unique_ptr<sync_worker> syncer;
  std::size_t max_clients = 1;
  // Accepting is paused after the process ran out of descriptors, or while
  // the client limit is reached by connections that cannot give way. The
  // listening socket is edge-triggered, so every resume drains the backlog
  // at once: no burst is forgotten.
  bool accept_paused = false;
  std::int64_t accept_retry_at = 0;
  bool short_of_descriptors = false;

  std::size_t clients() const { return connections.count() + jobs->held(); }
};

void close_connection(loop_state& st, int fd) {
  st.connections.remove(fd);
  if (test_mode) std::printf("Closed connection on descriptor %d\n", fd);
  ::close(fd);
}

// What has come of a connection's frame.
enum class gathered {
  whole,    // all 1024 bytes
  cut,      // the peer closed, or could not be read, after some bytes: answered with those
  none,     // closed or failed before any byte: closed without a reply
  waiting,  // nothing yet
  partial,  // some bytes; the rest may follow
};

// Receives what is there of fd's frame into frame[1024] (zero-filled past
// the bytes), after the bytes kept from earlier receives. A frame still
// short is kept in the table with a deadline partial_gap_ms from now.
gathered receive_frame(loop_state& st, int fd, unsigned char* frame, std::int64_t now) {
  std::size_t have = st.connections.received(fd);
  if (have > 0) std::memcpy(frame, st.connections.frame(fd), have);
  std::memset(frame + have, 0, fmt::frame_size - have);
  for (;;) {
    ssize_t n = ::recv(fd, frame + have, fmt::frame_size - have, 0);
    if (n > 0) {
      have += static_cast<std::size_t>(n);
      if (have == fmt::frame_size) return gathered::whole;
      continue;
    }
    if (n == 0) return have > 0 ? gathered::cut : gathered::none;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      if (have == 0) return gathered::waiting;
      unsigned char* keep = st.connections.frame(fd);
      if (!keep) return gathered::cut;  // no memory to wait with: answered with what came
      if (have > st.connections.received(fd)) {
        std::memcpy(keep, frame, have);
        st.connections.note_received(fd, have, now + partial_gap_ms);
      }
      return gathered::partial;
    }
    std::perror("read");
    return have > 0 ? gathered::cut : gathered::none;
  }
}

// The request in frame leaves the connection table: answered at once when
// nothing else is under way, else handed to the job queue.
void take_request(loop_state& st, int fd, unsigned char* frame) {
  char message[fmt::message_size];
  decode_request(frame, message);
  const job_kind kind = kind_of(message);
  if (kind == job_kind::here && st.jobs->idle()) {
    answer_request(message, frame, st.connections.peer(fd));
    if (sync_writes) {
      // Sent after the turn's sync, with the other replies of the turn.
      st.connections.remove(fd);
      ::epoll_ctl(st.epoll_fd, EPOLL_CTL_DEL, fd, nullptr);
      st.replies.hold(fd, frame);
      if (st.replies.full() && !st.syncer->busy()) st.syncer->submit(st.replies);
      return;
    }
    if (::write(fd, frame, fmt::frame_size) < 0) std::perror("write");
    close_connection(st, fd);
    return;
  }
  auto j = std::make_unique<job>();
  j->fd = fd;
  copy_text(j->peer, st.connections.peer(fd));
  std::memcpy(j->frame, frame, fmt::frame_size);
  std::memcpy(j->message, message, fmt::message_size);
  j->kind = kind;
  st.connections.remove(fd);
  // Its request has come: the connection no longer waits in the event set.
  ::epoll_ctl(st.epoll_fd, EPOLL_CTL_DEL, fd, nullptr);
  st.jobs->submit(std::move(j));
}

// Reads fd and answers its request once it is whole (or cut short). False
// while the request has not come whole yet: the connection stays.
bool serve_connection(loop_state& st, int fd, std::int64_t now) {
  unsigned char frame[fmt::frame_size];
  switch (receive_frame(st, fd, frame, now)) {
    case gathered::whole:
    case gathered::cut:
      take_request(st, fd, frame);
      return true;
    case gathered::none:
      close_connection(st, fd);
      return true;
    case gathered::waiting:
    case gathered::partial:
      break;
  }
  return false;
}

// The connection that has waited longest without a whole request, -1 when
// there is none; since: when it was accepted, or sent its last bytes.
int longest_waiting(const loop_state& st, std::int64_t& since) {
  int fd = st.connections.oldest(connection_table::waiting);
  if (fd >= 0) {
    since = st.connections.deadline(fd) - idle_limit_ms;
    return fd;
  }
  fd = st.connections.oldest(connection_table::partial);
  since = fd >= 0 ? st.connections.deadline(fd) - partial_gap_ms : 0;
  return fd;
}

void accept_burst(loop_state& st, std::int64_t now) {
  st.accept_paused = false;
  for (;;) {
    // A full table gives way to a newcomer: the connection that has waited
    // longest without a whole request is closed, so that connections which
    // send nothing cannot keep everyone else out.
    const bool full = st.clients() >= st.max_clients;
    std::int64_t since = 0;
    const int victim = full ? longest_waiting(st, since) : -1;
    if (full && (victim < 0 || since + eviction_grace_ms > now)) {
      st.accept_paused = true;
      // Resumed when a connection closes, or once the victim's grace is over.
      st.accept_retry_at = victim < 0 ? 0 : std::max(since + eviction_grace_ms, now + 1);
      return;
    }
    sockaddr_storage sa;
    socklen_t len = sizeof sa;
    int fd = ::accept4(st.listen_fd, reinterpret_cast<sockaddr*>(&sa), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return;
      int err = errno;
      bool exhausted = err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM;
      // Reported once per shortage, not on every retry.
      if (!exhausted || !st.short_of_descriptors) std::perror("accept");
      st.short_of_descriptors = exhausted;
      if (exhausted) {
        st.accept_paused = true;
        st.accept_retry_at = now + accept_retry_ms;
      }
      return;
    }
    st.short_of_descriptors = false;
    if (full) close_connection(st, victim);
    char peer[fmt::peer_size];
    render_peer(sa, peer);
    if (!st.connections.add(fd, peer, now + idle_limit_ms)) {  // beyond the table: cannot be tracked
      ::close(fd);
      continue;
    }
    if (test_mode) {
      char host[1025], serv[32];
      if (::getnameinfo(reinterpret_cast<sockaddr*>(&sa), len, host, sizeof host, serv, sizeof serv,
                        NI_NUMERICHOST | NI_NUMERICSERV) == 0)
        std::printf("Accepted connection on descriptor %d (host=%s, port=%s)\n", fd, host, serv);
    }
    // A client sends its request right after connecting, so it is usually
    // there already: answered at once, the connection never joins the event
    // set. Only one whose request is still on its way is waited for.
    if (serve_connection(st, fd, now)) {
      now = monotonic_ms();  // a handler may have taken a while: later deadlines count from now
      continue;
    }
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLET;
    ev.data.fd = fd;
    if (::epoll_ctl(st.epoll_fd, EPOLL_CTL_ADD, fd, &ev) == -1) error("epoll_ctl");
  }
}

// Closes connections that sent nothing within the idle limit, and answers
// those whose frame stopped short with what came.
void expire(loop_state& st, std::int64_t now) {
  for (int fd; (fd = st.connections.oldest(connection_table::waiting)) >= 0 && st.connections.deadline(fd) <= now;)
    close_connection(st, fd);
  for (int fd; (fd = st.connections.oldest(connection_table::partial)) >= 0 && st.connections.deadline(fd) <= now;) {
    unsigned char frame[fmt::frame_size];
    std::size_t have = st.connections.received(fd);
    std::memcpy(frame, st.connections.frame(fd), have);
    std::memset(frame + have, 0, fmt::frame_size - have);
    take_request(st, fd, frame);
  }
}

// How long the wait may sleep: until the next deadline or accept retry.
int wait_timeout(const loop_state& st, std::int64_t now) {
  std::int64_t next = st.connections.next_deadline();
  if (st.accept_paused && st.accept_retry_at > 0 && (next < 0 || st.accept_retry_at < next))
    next = st.accept_retry_at;
  if (next < 0) return -1;
  return next <= now ? 0 : static_cast<int>(next - now);
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
  loop_state st;
  std::size_t limit = raise_descriptor_limit();
  if (!st.connections.init(limit)) error("calloc");
  st.max_clients = limit > 2 * reserved_descriptors ? limit - reserved_descriptors : limit / 2 + 1;

  st.listen_fd = create_and_bind(port);
  if (st.listen_fd == -1) error("create_and_bind");
  if (ake_socket_nonblocking(st.listen_fd) == -1) std::abort();
  if (::listen(st.listen_fd, listen_backlog) == -1) error("listen");
  st.epoll_fd = ::epoll_create1(EPOLL_CLOEXEC);
  if (st.epoll_fd == -1) error("epoll_create");
  epoll_event ev{};
  ev.events = EPOLLIN | EPOLLET;
  ev.data.fd = st.listen_fd;
  if (::epoll_ctl(st.epoll_fd, EPOLL_CTL_ADD, st.listen_fd, &ev) == -1) error("epoll_ctl");
  auto events = std::make_unique<epoll_event[]>(max_events);
  st.jobs = std::make_unique<job_queue>(st.epoll_fd);
  // Under a small descriptor limit fewer files are kept.
  file_cache_enable(std::min(kept_files_max, limit / 16));
  if (sync_writes) {
    open_sync_targets();
    st.syncer = std::make_unique<sync_worker>(st.epoll_fd);
  }

  for (;;) {
    int n = ::epoll_wait(st.epoll_fd, events.get(), max_events, wait_timeout(st, monotonic_ms()));
    file_cache_next_turn();
    std::int64_t now = monotonic_ms();
    for (int i = 0; i < n; ++i) {
      const epoll_event& e = events[i];
      int fd = e.data.fd;
      if (st.jobs->is_child(fd)) {
        st.jobs->child_ended(fd);
        continue;
      }
      if (st.syncer && st.syncer->is_done_event(fd)) {
        st.syncer->finished();
        continue;
      }
      if ((e.events & (EPOLLERR | EPOLLHUP)) || !(e.events & EPOLLIN)) {
        if (test_mode) std::fprintf(stderr, "epoll error\n");
        if (fd == st.listen_fd) {
          ::close(fd);
          continue;
        }
        close_connection(st, fd);
        continue;
      }
      if (fd == st.listen_fd) {
        if (!st.accept_paused) accept_burst(st, now);
      } else {
        serve_connection(st, fd, now);
      }
    }
    expire(st, now);
    if (st.accept_paused && (st.clients() < st.max_clients || (st.accept_retry_at > 0 && now >= st.accept_retry_at)))
      accept_burst(st, now);
    // The replies of this turn (and of any turn during the last sync) go to
    // the next sync as soon as the one under way is done.
    if (!st.replies.empty() && !st.syncer->busy()) st.syncer->submit(st.replies);
  }
}
