// Group commit for SYNC=1&: the loop hands a batch of held replies and the
// writes they acknowledge to a thread that syncs them, and goes on serving;
// the replies that arrive meanwhile form the next batch. When the sync is
// done the thread says so through an eventfd in the loop's event set, and
// the loop sends the batch's replies (none when the sync failed).
#pragma once
#include <condition_variable>
#include <mutex>
#include <thread>

#include "server/reply_batch.h"
#include "store/durable.h"

class sync_worker {
 public:
  // Starts the thread and adds its eventfd to the event set.
  explicit sync_worker(int epoll_fd);
  ~sync_worker();
  sync_worker(const sync_worker&) = delete;
  sync_worker& operator=(const sync_worker&) = delete;

  bool busy() const { return busy_; }
  bool is_done_event(int fd) const { return fd == event_fd_; }
  // Hands held over with what was noted since the last sync; only while not busy.
  void submit(reply_batch& held);
  // The eventfd fired: sends the finished batch's replies (after a
  // successful sync) and closes their connections.
  void finished();

 private:
  void run();
  int event_fd_ = -1;
  reply_batch in_flight_;
  sync_set work_;
  bool busy_ = false;  // loop side
  std::mutex mu_;
  std::condition_variable cv_;
  bool has_work_ = false, stop_ = false;
  int result_ = 0;
  std::thread thread_;
};
