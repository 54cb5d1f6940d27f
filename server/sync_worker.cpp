#include "server/sync_worker.h"

#include <cstdint>
#include <cstdio>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

sync_worker::sync_worker(int epoll_fd) {
  event_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.fd = event_fd_;
  if (event_fd_ < 0 || ::epoll_ctl(epoll_fd, EPOLL_CTL_ADD, event_fd_, &ev) != 0) std::perror("eventfd");
  thread_ = std::thread([this] { run(); });
}

sync_worker::~sync_worker() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stop_ = true;
  }
  cv_.notify_one();
  thread_.join();
  if (event_fd_ >= 0) ::close(event_fd_);
}

void sync_worker::submit(reply_batch& held) {
  in_flight_.take_from(held);
  busy_ = true;
  {
    std::lock_guard<std::mutex> lock(mu_);
    work_ = take_noted();
    has_work_ = true;
  }
  cv_.notify_one();
}

void sync_worker::finished() {
  std::uint64_t count;
  if (::read(event_fd_, &count, sizeof count) < 0) return;  // not yet
  int result;
  {
    std::lock_guard<std::mutex> lock(mu_);
    result = result_;
  }
  if (result != 0) std::perror("sync");
  in_flight_.send(result == 0);
  busy_ = false;
}

void sync_worker::run() {
  for (;;) {
    sync_set s;
    {
      std::unique_lock<std::mutex> lock(mu_);
      cv_.wait(lock, [this] { return has_work_ || stop_; });
      if (stop_) return;
      s = work_;
      has_work_ = false;
    }
    int rc = sync_set_now(s);
    {
      std::lock_guard<std::mutex> lock(mu_);
      result_ = rc;
    }
    std::uint64_t one = 1;
    if (::write(event_fd_, &one, sizeof one) < 0) std::perror("eventfd");
  }
}
