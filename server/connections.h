// Open client connections whose request has not come whole yet: the peer
// address of each, the bytes of its frame so far, and its deadline.
//
// A connection is in one of two lists. Waiting: nothing received yet; its
// deadline is the idle limit from its accept. Partial: some bytes came; its
// deadline is a short gap after its last bytes, and every arrival moves it
// to the end. Within each list every connection gets the same delay from its
// last event, so list order is deadline order: a FIFO gives the next expiry
// in O(1), with no scan of the connections on any event.
#pragma once
#include <cstddef>
#include <cstdint>

class connection_table {
 public:
  enum list_id { waiting = 0, partial = 1 };

  connection_table() = default;
  ~connection_table();
  connection_table(const connection_table&) = delete;
  connection_table& operator=(const connection_table&) = delete;

  // Allocates one slot per possible descriptor, once; false without memory.
  bool init(std::size_t descriptors);
  // Records an accepted connection in the waiting list; false when fd lies
  // beyond the table.
  bool add(int fd, const char* peer, std::int64_t deadline_ms);
  // Forgets fd and its bytes (no effect when it is not recorded).
  void remove(int fd);
  // The peer text of fd, "" when it is not recorded.
  const char* peer(int fd) const;

  // The frame buffer of fd (fmt::frame_size bytes, zero-filled when made),
  // made on first use; nullptr without memory or for an unknown fd.
  unsigned char* frame(int fd);
  std::size_t received(int fd) const;
  // Records that fd's frame now holds count bytes: the connection moves to
  // the end of the partial list with the new deadline.
  void note_received(int fd, std::size_t count, std::int64_t deadline_ms);

  // The connection of a list with the earliest deadline, -1 when it is empty.
  int oldest(list_id list) const { return lists_[list].head; }
  // The earliest deadline of both lists, -1 when there is none.
  std::int64_t next_deadline() const;
  std::int64_t deadline(int fd) const;
  std::size_t count() const { return count_; }

 private:
  struct slot {
    char peer[16];
    std::int64_t deadline_ms;
    unsigned char* frame;
    std::size_t received;
    int prev, next;
    bool used;
    unsigned char list;
  };
  struct fifo {
    int head = -1, tail = -1;
  };
  void link(int fd, list_id list);
  void unlink(int fd);
  slot* slots_ = nullptr;
  std::size_t size_ = 0;
  std::size_t count_ = 0;
  fifo lists_[2];
};
