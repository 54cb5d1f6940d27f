#include "server/connections.h"

#include <cstdlib>

#include "base/format.h"
#include "base/text.h"

connection_table::~connection_table() {
  for (std::size_t fd = 0; slots_ && fd < size_; ++fd)
    if (slots_[fd].used) std::free(slots_[fd].frame);
  std::free(slots_);
}

bool connection_table::init(std::size_t descriptors) {
  // calloc: pages of descriptors never used are never touched.
  slots_ = static_cast<slot*>(std::calloc(descriptors, sizeof(slot)));
  size_ = slots_ ? descriptors : 0;
  return slots_ != nullptr;
}

void connection_table::link(int fd, list_id list) {
  slot& s = slots_[fd];
  fifo& l = lists_[list];
  s.list = static_cast<unsigned char>(list);
  s.prev = l.tail;
  s.next = -1;
  if (l.tail >= 0)
    slots_[l.tail].next = fd;
  else
    l.head = fd;
  l.tail = fd;
}

void connection_table::unlink(int fd) {
  slot& s = slots_[fd];
  fifo& l = lists_[s.list];
  if (s.prev >= 0)
    slots_[s.prev].next = s.next;
  else
    l.head = s.next;
  if (s.next >= 0)
    slots_[s.next].prev = s.prev;
  else
    l.tail = s.prev;
}

bool connection_table::add(int fd, const char* peer, std::int64_t deadline_ms) {
  if (fd < 0 || static_cast<std::size_t>(fd) >= size_) return false;
  remove(fd);
  slot& s = slots_[fd];
  copy_text(s.peer, sizeof s.peer, peer);
  s.deadline_ms = deadline_ms;
  s.frame = nullptr;
  s.received = 0;
  s.used = true;
  link(fd, waiting);
  ++count_;
  return true;
}

void connection_table::remove(int fd) {
  if (fd < 0 || static_cast<std::size_t>(fd) >= size_ || !slots_[fd].used) return;
  unlink(fd);
  slot& s = slots_[fd];
  std::free(s.frame);
  s.frame = nullptr;
  s.used = false;
  --count_;
}

const char* connection_table::peer(int fd) const {
  if (fd < 0 || static_cast<std::size_t>(fd) >= size_ || !slots_[fd].used) return "";
  return slots_[fd].peer;
}

unsigned char* connection_table::frame(int fd) {
  if (fd < 0 || static_cast<std::size_t>(fd) >= size_ || !slots_[fd].used) return nullptr;
  slot& s = slots_[fd];
  // Most requests come whole in their first receive and never need one.
  if (!s.frame) s.frame = static_cast<unsigned char*>(std::calloc(1, fmt::frame_size));
  return s.frame;
}

std::size_t connection_table::received(int fd) const {
  return fd >= 0 && static_cast<std::size_t>(fd) < size_ && slots_[fd].used ? slots_[fd].received : 0;
}

void connection_table::note_received(int fd, std::size_t count, std::int64_t deadline_ms) {
  if (fd < 0 || static_cast<std::size_t>(fd) >= size_ || !slots_[fd].used) return;
  unlink(fd);
  slots_[fd].received = count;
  slots_[fd].deadline_ms = deadline_ms;
  link(fd, partial);
}

std::int64_t connection_table::next_deadline() const {
  std::int64_t next = -1;
  for (const fifo& l : lists_)
    if (l.head >= 0 && (next < 0 || slots_[l.head].deadline_ms < next)) next = slots_[l.head].deadline_ms;
  return next;
}

std::int64_t connection_table::deadline(int fd) const {
  return fd >= 0 && static_cast<std::size_t>(fd) < size_ ? slots_[fd].deadline_ms : 0;
}
