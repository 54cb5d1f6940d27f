// Requests taken whole from their connections, and who answers them when.
//
// Most requests are answered at once, in the loop. Those whose answer waits
// on another machine or program (a block's notices to a local server, the
// numerator) are answered by a child process, so that no one else waits
// with them; the loop watches each child through a pidfd in its event set. A
// request that touches what a child is changing (its firm's files, the
// entries of its users) waits until that child has ended, and so does every
// later request that touches the same records, in arrival order. The restore
// and the configuration change wait until no child runs, and hold new
// children until they are done.
#pragma once
#include <cstddef>
#include <deque>
#include <memory>
#include <sys/types.h>
#include <unordered_map>

#include "base/format.h"
#include "registry/request_keys.h"

enum class job_kind {
  here,       // answered in the loop
  child,      // answered by a child process
  exclusive,  // answered in the loop once no child runs
};

// The kind of a decoded request, by its OP.
job_kind kind_of(const char* message);

struct job {
  int fd = -1;  // the client connection; the job owns it
  char peer[fmt::peer_size] = "";
  unsigned char frame[fmt::frame_size];
  char message[fmt::message_size];
  job_kind kind = job_kind::here;
  key_set keys;
};

class job_queue {
 public:
  // Children at once at most; later ones wait for one of them to end.
  static constexpr std::size_t max_children = 64;

  explicit job_queue(int epoll_fd) : epoll_fd_(epoll_fd) {}
  job_queue(const job_queue&) = delete;
  job_queue& operator=(const job_queue&) = delete;

  // True when nothing waits and no child runs: a request can be answered
  // at once without looking at what it touches.
  bool idle() const { return pending_.empty() && children_.empty(); }
  // Answers j now, in a child, or after the requests it must follow.
  void submit(std::unique_ptr<job> j);
  // Whether fd is the pidfd of one of the children.
  bool is_child(int fd) const { return children_.count(fd) != 0; }
  // The child behind pidfd has ended: reaps it and starts what waited for it.
  void child_ended(int pidfd);
  // Descriptors held: waiting connections and the children's pidfds.
  std::size_t held() const { return pending_.size() + children_.size(); }

 private:
  struct running {
    pid_t pid;
    key_set keys;
  };
  // Whether the job at position at of pending_ (or a new one, at ==
  // pending_.size()) may start now.
  bool may_start(const job& j, std::size_t at) const;
  void start(std::unique_ptr<job> j);
  bool start_child(job& j);
  void drain();

  int epoll_fd_;
  std::deque<std::unique_ptr<job>> pending_;
  std::unordered_map<int, running> children_;
};

// Answers j in the calling process: dispatch, the reply frame written to its
// connection, the connection closed.
void answer_job(job& j);
