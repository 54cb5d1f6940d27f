// velmor-bench-load: a closed-loop load generator. Keeps -c connections in
// flight on one epoll loop; each carries one request (one precoded frame,
// reused) and waits for the 1024-byte reply and the server's close, then the
// slot starts the next connection. Every reply is checked; wrong replies are
// counted apart from transport errors. Prints one result line:
//
//   requests=N mismatches=M errors=E seconds=S rps=R p50_us=X p99_us=Y
//
//   velmor-bench-load -p PORT [-h ADDR] [-c CONNS] [-d SECONDS | -n REQUESTS]
//                     [-m MESSAGE] CHECK
//   CHECK: --expect TEXT             the decoded reply equals TEXT
//          --prefix TEXT --length N  it begins with TEXT and has N characters
//          --any                     only that 1024 bytes came back (the floor)
//   --show  send one request and print the decoded reply (set-up mode)
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <string_view>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "base/format.h"
#include "wire/v1.h"

namespace {

using clock_type = std::chrono::steady_clock;

enum class check_kind { exact, prefix, any };

struct options {
  std::string host = "127.0.0.1";
  int port = 0;
  int conns = 32;
  double seconds = 5.0;
  long requests = 0;  // > 0: stop after this many instead of after seconds
  std::string message = "TEST=H00&";
  check_kind check = check_kind::exact;
  std::string text;         // expected text or prefix
  std::size_t length = 0;   // expected length with --prefix
  bool have_check = false;
  bool show = false;
};

[[noreturn]] void usage() {
  std::fprintf(stderr,
               "usage: velmor-bench-load -p PORT [-h ADDR] [-c CONNS] [-d SECONDS | -n REQUESTS]\n"
               "                         [-m MESSAGE] (--expect TEXT | --prefix TEXT --length N | --any | --show)\n");
  std::exit(2);
}

options parse(int argc, char** argv) {
  options o;
  for (int i = 1; i < argc; ++i) {
    const std::string_view a = argv[i];
    auto value = [&]() -> const char* {
      if (i + 1 >= argc) usage();
      return argv[++i];
    };
    if (a == "-p") o.port = std::atoi(value());
    else if (a == "-h") o.host = value();
    else if (a == "-c") o.conns = std::atoi(value());
    else if (a == "-d") o.seconds = std::atof(value());
    else if (a == "-n") o.requests = std::atol(value());
    else if (a == "-m") o.message = value();
    else if (a == "--expect") { o.check = check_kind::exact; o.text = value(); o.have_check = true; }
    else if (a == "--prefix") { o.check = check_kind::prefix; o.text = value(); o.have_check = true; }
    else if (a == "--length") o.length = static_cast<std::size_t>(std::atol(value()));
    else if (a == "--any") { o.check = check_kind::any; o.have_check = true; }
    else if (a == "--show") o.show = true;
    else usage();
  }
  if (o.port <= 0 || o.port > 65535 || o.conns <= 0 || (!o.have_check && !o.show)) usage();
  if (o.message.size() > fmt::message_max) {
    std::fprintf(stderr, "velmor-bench-load: message over %zu characters\n", fmt::message_max);
    std::exit(2);
  }
  return o;
}

// The reply text of a frame: the plain unknown-operation text, or the decoded message.
std::string_view reply_text(unsigned char* frame, char* text) {
  if (std::memcmp(frame, fmt::unknown_reply, sizeof fmt::unknown_reply) == 0) return fmt::unknown_reply;
  decodeV1(frame, text);
  return text;
}

struct slot {
  int fd = -1;
  std::size_t sent = 0;
  std::size_t got = 0;
  bool replied = false;  // all 1024 bytes are in; waiting for the close
  clock_type::time_point started;
  unsigned char reply[fmt::frame_size];
};

class runner {
 public:
  explicit runner(const options& o) : o_(o), hist_(max_us + 1, 0) {
    codeV1(o.message.c_str(), frame_);
    addr_.sin_family = AF_INET;
    addr_.sin_port = htons(static_cast<uint16_t>(o.port));
    if (::inet_pton(AF_INET, o.host.c_str(), &addr_.sin_addr) != 1) {
      std::fprintf(stderr, "velmor-bench-load: bad address %s\n", o.host.c_str());
      std::exit(2);
    }
    ep_ = ::epoll_create1(EPOLL_CLOEXEC);
    if (ep_ < 0) {
      std::perror("epoll_create1");
      std::exit(1);
    }
  }

  int run() {
    std::vector<slot> slots(static_cast<std::size_t>(o_.conns));
    start_ = clock_type::now();
    deadline_ = start_ + std::chrono::duration_cast<clock_type::duration>(std::chrono::duration<double>(o_.seconds));
    for (std::size_t i = 0; i < slots.size(); ++i) idle_.push_back(i);

    epoll_event events[64];
    const auto drain_limit = std::chrono::seconds(10);
    for (;;) {
      // Finished slots start their next connection here, not inside the
      // handling of the last one, so a dead server cannot recurse.
      while (!idle_.empty()) {
        const std::size_t i = idle_.back();
        idle_.pop_back();
        launch(slots, i);
      }
      if (in_flight_ == 0) break;
      const int n = ::epoll_wait(ep_, events, 64, idle_.empty() ? 200 : 0);
      for (int k = 0; k < n; ++k) step(slots, static_cast<std::size_t>(events[k].data.u64), events[k].events);
      if (n == 0 && clock_type::now() > deadline_ + drain_limit) break;  // a stuck server
    }
    const auto end = clock_type::now();
    for (slot& s : slots)
      if (s.fd >= 0) {
        ::close(s.fd);
        ++errors_;  // still in flight after the drain limit
      }
    const double secs = std::chrono::duration<double>(end - start_).count();
    std::printf("requests=%ld mismatches=%ld errors=%ld seconds=%.3f rps=%.0f p50_us=%ld p99_us=%ld\n", done_,
                mismatches_, errors_, secs, secs > 0 ? static_cast<double>(done_) / secs : 0.0,
                percentile(0.50), percentile(0.99));
    if (!first_mismatch_.empty()) std::fprintf(stderr, "first wrong reply: %s\n", first_mismatch_.c_str());
    return 0;
  }

 private:
  static constexpr long max_us = 1000000;  // latencies above 1 s land in the last bucket

  bool more_wanted() const {
    if (o_.requests > 0) return launched_ < o_.requests;
    return clock_type::now() < deadline_;
  }

  void launch(std::vector<slot>& slots, std::size_t i) {
    slot& s = slots[i];
    if (!more_wanted()) return;
    s.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (s.fd < 0) {
      std::perror("socket");
      std::exit(1);
    }
    s.sent = s.got = 0;
    s.replied = false;
    s.started = clock_type::now();
    ++launched_;
    ++in_flight_;
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
    ev.data.u64 = i;
    if (::epoll_ctl(ep_, EPOLL_CTL_ADD, s.fd, &ev) != 0) {
      std::perror("epoll_ctl");
      std::exit(1);
    }
    if (::connect(s.fd, reinterpret_cast<sockaddr*>(&addr_), sizeof addr_) != 0 && errno != EINPROGRESS) {
      fail(slots, i);
      return;
    }
    // Loopback connects usually complete at once: send without waiting for an event.
    step(slots, i, EPOLLOUT);
  }

  void fail(std::vector<slot>& slots, std::size_t i) {
    ++errors_;
    finish(slots, i);
  }

  void finish(std::vector<slot>& slots, std::size_t i) {
    slot& s = slots[i];
    ::close(s.fd);
    s.fd = -1;
    --in_flight_;
    idle_.push_back(i);
  }

  void step(std::vector<slot>& slots, std::size_t i, std::uint32_t ev) {
    slot& s = slots[i];
    if (s.fd < 0) return;
    if (ev & EPOLLERR) {
      fail(slots, i);
      return;
    }
    while (s.sent < sizeof frame_) {
      const ssize_t n = ::send(s.fd, frame_ + s.sent, sizeof frame_ - s.sent, MSG_NOSIGNAL);
      if (n > 0) {
        s.sent += static_cast<std::size_t>(n);
        continue;
      }
      if (n < 0 && (errno == EAGAIN || errno == ENOTCONN || errno == EINTR)) return;  // not connected yet
      fail(slots, i);
      return;
    }
    for (;;) {
      unsigned char extra[64];
      unsigned char* into = s.replied ? extra : s.reply + s.got;
      const std::size_t room = s.replied ? sizeof extra : sizeof s.reply - s.got;
      const ssize_t n = ::recv(s.fd, into, room, 0);
      if (n > 0) {
        if (s.replied) {  // more than a frame: not this protocol
          fail(slots, i);
          return;
        }
        s.got += static_cast<std::size_t>(n);
        if (s.got == sizeof s.reply) complete(s);
        continue;
      }
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
      // The server closed (or reset): the exchange is over. Closing only after
      // its close keeps the TIME_WAIT state on the server's side, so the
      // load's own ports are never exhausted.
      if (!s.replied) ++errors_;
      finish(slots, i);
      return;
    }
  }

  void complete(slot& s) {
    s.replied = true;
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(clock_type::now() - s.started).count();
    ++hist_[static_cast<std::size_t>(us < max_us ? us : max_us)];
    ++done_;
    if (!matches(s.reply)) {
      ++mismatches_;
    }
  }

  bool matches(unsigned char* frame) {
    if (o_.check == check_kind::any) return true;
    char text[fmt::message_size];
    const std::string_view got = reply_text(frame, text);
    const bool ok = o_.check == check_kind::exact
                        ? got == o_.text
                        : got.size() == o_.length && got.substr(0, o_.text.size()) == o_.text;
    if (!ok && first_mismatch_.empty()) first_mismatch_ = std::string(got);
    return ok;
  }

  long percentile(double q) const {
    if (done_ == 0) return 0;
    const long want = static_cast<long>(q * static_cast<double>(done_ - 1)) + 1;
    long seen = 0;
    for (std::size_t us = 0; us < hist_.size(); ++us) {
      seen += hist_[us];
      if (seen >= want) return static_cast<long>(us);
    }
    return max_us;
  }

  const options& o_;
  unsigned char frame_[fmt::frame_size];
  sockaddr_in addr_{};
  int ep_ = -1;
  std::vector<std::uint32_t> hist_;
  clock_type::time_point start_, deadline_;
  long launched_ = 0, in_flight_ = 0, done_ = 0, mismatches_ = 0, errors_ = 0;
  std::string first_mismatch_;
  std::vector<std::size_t> idle_;  // slots waiting to start their next connection
};

// One blocking exchange; prints the reply text (set-up of the scenarios).
int show(const options& o) {
  unsigned char frame[fmt::frame_size];
  codeV1(o.message.c_str(), frame);
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(o.port));
  if (fd < 0 || ::inet_pton(AF_INET, o.host.c_str(), &a.sin_addr) != 1 ||
      ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      ::send(fd, frame, sizeof frame, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof frame)) {
    std::perror("velmor-bench-load");
    return 1;
  }
  std::size_t got = 0;
  while (got < sizeof frame) {
    const ssize_t n = ::recv(fd, frame + got, sizeof frame - got, 0);
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  ::close(fd);
  if (got != sizeof frame) {
    std::fprintf(stderr, "velmor-bench-load: short reply (%zu bytes)\n", got);
    return 1;
  }
  char text[fmt::message_size];
  const std::string_view reply = reply_text(frame, text);  // decodes in place: once only
  std::printf("%.*s\n", static_cast<int>(reply.size()), reply.data());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  const options o = parse(argc, argv);
  if (o.show) return show(o);
  runner r(o);
  return r.run();
}
