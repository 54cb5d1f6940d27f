#include "server/reply_batch.h"

#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "base/io.h"
#include "store/durable.h"
#include "store/settings.h"

void reply_batch::hold(int fd, const unsigned char* frame) {
  held h;
  h.fd = fd;
  std::memcpy(h.frame, frame, sizeof h.frame);
  held_.push_back(h);
}

void reply_batch::release() {
  if (held_.empty()) return;
  const bool synced = sync_stored_data() == 0;
  if (!synced) std::perror("sync");
  send(synced);
}

void reply_batch::take_from(reply_batch& other) {
  held_.insert(held_.end(), other.held_.begin(), other.held_.end());
  other.held_.clear();
}

void reply_batch::send(bool synced) {
  for (const held& h : held_) {
    if (synced && ::write(h.fd, h.frame, sizeof h.frame) < 0) std::perror("write");
    if (test_mode) std::printf("Closed connection on descriptor %d\n", h.fd);
    ::close(h.fd);
  }
  held_.clear();
}
