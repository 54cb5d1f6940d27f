#include "server/connections.h"

#include <cstdlib>

#include "wire/message.h"

connection_table::~connection_table() { std::free(slots_); }

bool connection_table::init(std::size_t descriptors) {
  // calloc: pages of descriptors never used are never touched.
  slots_ = static_cast<slot*>(std::calloc(descriptors, sizeof(slot)));
  size_ = slots_ ? descriptors : 0;
  return slots_ != nullptr;
}

bool connection_table::add(int fd, const char* peer, std::int64_t deadline_ms) {
  if (fd < 0 || static_cast<std::size_t>(fd) >= size_) return false;
  remove(fd);
  slot& s = slots_[fd];
  copy_text(s.peer, sizeof s.peer, peer);
  s.deadline_ms = deadline_ms;
  s.used = true;
  s.prev = tail_;
  s.next = -1;
  if (tail_ >= 0)
    slots_[tail_].next = fd;
  else
    head_ = fd;
  tail_ = fd;
  ++count_;
  return true;
}

void connection_table::remove(int fd) {
  if (fd < 0 || static_cast<std::size_t>(fd) >= size_ || !slots_[fd].used) return;
  slot& s = slots_[fd];
  if (s.prev >= 0)
    slots_[s.prev].next = s.next;
  else
    head_ = s.next;
  if (s.next >= 0)
    slots_[s.next].prev = s.prev;
  else
    tail_ = s.prev;
  s.used = false;
  --count_;
}

const char* connection_table::peer(int fd) const {
  if (fd < 0 || static_cast<std::size_t>(fd) >= size_ || !slots_[fd].used) return "";
  return slots_[fd].peer;
}

std::int64_t connection_table::deadline(int fd) const {
  return fd >= 0 && static_cast<std::size_t>(fd) < size_ ? slots_[fd].deadline_ms : 0;
}
