// Open client connections: the peer address of each, and their idle
// deadlines. Every connection gets the same idle limit from its accept, so
// accept order is deadline order: a FIFO list gives the next expiry in O(1),
// with no scan of the connections on any event.
#pragma once
#include <cstddef>
#include <cstdint>

class connection_table {
 public:
  connection_table() = default;
  ~connection_table();
  connection_table(const connection_table&) = delete;
  connection_table& operator=(const connection_table&) = delete;

  // Allocates one slot per possible descriptor, once; false without memory.
  bool init(std::size_t descriptors);
  // Records an accepted connection; false when fd lies beyond the table.
  bool add(int fd, const char* peer, std::int64_t deadline_ms);
  // Forgets fd (no effect when it is not recorded).
  void remove(int fd);
  // The peer text of fd, "" when it is not recorded.
  const char* peer(int fd) const;
  // The connection with the earliest deadline, -1 when there is none.
  int oldest() const { return head_; }
  std::int64_t deadline(int fd) const;
  std::size_t count() const { return count_; }

 private:
  struct slot {
    char peer[16];
    std::int64_t deadline_ms;
    int prev, next;
    bool used;
  };
  slot* slots_ = nullptr;
  std::size_t size_ = 0;
  std::size_t count_ = 0;
  int head_ = -1, tail_ = -1;
};
