#include "server/jobs.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "base/io.h"
#include "server/pipeline.h"
#include "server/instance_lock.h"
#include "store/durable.h"
#include "store/file_cache.h"
#include "store/settings.h"
#include "wire/message.h"

job_kind kind_of(const char* message) {
  char op[40] = "";
  select_value(message, "OP", op);
  std::string_view o(op);
  job_kind kind = job_kind::here;
  if (o == "block_department" || o == "block_user_by_central_admin" || o == "get_special_pesel")
    kind = job_kind::child;
  else if (o == "restore_files_local" || o == "chg_tavr_config")
    kind = job_kind::exclusive;
  if (kind == job_kind::here) return kind;
  // The liveness request never reaches a handler, whatever its OP.
  char test[8] = "";
  select_value(message, "TEST", test);
  return std::string_view(test) == "H00" ? job_kind::here : kind;
}

void answer_job(job& j) {
  answer_request(j.message, j.frame, j.peer);
  // With SYNC=1& nothing is acknowledged before it is on the disk; when the
  // sync fails the connection closes without a reply, and the client asks
  // again.
  if (sync_writes && sync_stored_data() != 0)
    std::perror("syncfs");
  else if (!write_all(j.fd, j.frame, sizeof j.frame))
    std::perror("write");
  if (test_mode) std::printf("Closed connection on descriptor %d\n", j.fd);
  ::close(j.fd);
  j.fd = -1;
}

namespace {

// Every descriptor but the standard streams, keep and the instance lock: the
// child must not hold the listening socket, the event set or other clients'
// connections (their peers would wait for a close that never comes).
void close_all_but(int keep) {
  const int lock = instance_lock_fd();
  const int first = keep < lock || lock < 3 ? keep : lock;
  const int second = first == keep ? lock : keep;
  bool ranged = true;
  unsigned from = 3;
  for (int k : {first, second}) {
    if (k < 3) continue;
    if (static_cast<unsigned>(k) > from)
      ranged = ::syscall(SYS_close_range, from, static_cast<unsigned>(k - 1), 0u) == 0 && ranged;
    from = static_cast<unsigned>(k) + 1;
  }
  ranged = ::syscall(SYS_close_range, from, ~0u, 0u) == 0 && ranged;
  if (!ranged) {
    // A kernel without close_range: one by one, up to the descriptor limit.
    rlimit rl{};
    const long last = ::getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY
                          ? static_cast<long>(rl.rlim_cur) : 65536;
    for (long fd = 3; fd < last; ++fd)
      if (fd != keep && fd != lock) ::close(static_cast<int>(fd));
  }
  forget_sync_targets();
}

[[noreturn]] void child_main(job& j) {
  close_all_but(j.fd);
  // The kept files were closed with the rest; the child opens what it needs.
  file_cache_abandon();
  answer_job(j);
  std::fflush(stdout);
  std::fflush(stderr);
  ::_exit(0);
}

}  // namespace

bool job_queue::may_start(const job& j, std::size_t at) const {
  if (j.kind == job_kind::child && children_.size() >= max_children) return false;
  if (j.kind == job_kind::exclusive && (!children_.empty() || at > 0)) return false;
  for (const auto& [fd, c] : children_)
    if (j.keys.meets(c.keys)) return false;
  for (std::size_t i = 0; i < at && i < pending_.size(); ++i) {
    const job& before = *pending_[i];
    if (before.kind == job_kind::exclusive && j.kind != job_kind::here) return false;
    if (j.keys.meets(before.keys)) return false;
  }
  return true;
}

void job_queue::submit(std::unique_ptr<job> j) {
  if (!idle()) j->keys = request_keys(j->message);
  if (may_start(*j, pending_.size()))
    start(std::move(j));
  else
    pending_.push_back(std::move(j));
}

void job_queue::start(std::unique_ptr<job> j) {
  if (j->kind == job_kind::child && start_child(*j)) return;
  if (j->kind == job_kind::exclusive) {
    // A restore rewrites the trees beside the store's primitives: nothing is
    // kept across it.
    const std::size_t kept = file_cache_capacity();
    file_cache_enable(0);
    answer_job(*j);
    file_cache_enable(kept);
    return;
  }
  answer_job(*j);
}

bool job_queue::start_child(job& j) {
  // A child started while nothing else ran has not had its keys read yet.
  if (j.keys.count == 0) j.keys = request_keys(j.message);
  // Nothing buffered may be written twice, by the parent and by the child.
  std::fflush(stdout);
  std::fflush(stderr);
  pid_t pid = ::fork();
  if (pid < 0) {
    std::perror("fork");
    return false;  // answered in the loop, as a single process would
  }
  if (pid == 0) child_main(j);
  ::close(j.fd);  // the child holds the connection now
  j.fd = -1;
  int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.fd = pidfd;
  if (pidfd < 0 || ::epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, pidfd, &ev) != 0) {
    // A kernel without pidfds: the child is waited for here.
    if (pidfd >= 0) ::close(pidfd);
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    file_cache_clear();  // what the child changed is read anew
    return true;
  }
  children_.emplace(pidfd, running{pid, j.keys});
  file_cache_set_other_writers(true);
  return true;
}

void job_queue::child_ended(int pidfd) {
  auto it = children_.find(pidfd);
  if (it == children_.end()) return;
  while (::waitpid(it->second.pid, nullptr, 0) < 0 && errno == EINTR) {
  }
  ::close(pidfd);  // leaves the event set with it
  children_.erase(it);
  // What the child changed is read anew; with no child left the loop is
  // the only writer again.
  file_cache_clear();
  file_cache_set_other_writers(!children_.empty());
  drain();
}

void job_queue::drain() {
  for (std::size_t i = 0; i < pending_.size();) {
    if (!may_start(*pending_[i], i)) {
      ++i;
      continue;
    }
    std::unique_ptr<job> j = std::move(pending_[i]);
    pending_.erase(pending_.begin() + static_cast<std::ptrdiff_t>(i));
    start(std::move(j));
  }
}
