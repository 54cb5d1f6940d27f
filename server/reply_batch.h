// Replies held until the data they acknowledge is on the disk (SYNC=1&): the
// requests answered in one turn of the loop share one sync, and their
// replies go out after it, the way servers that log before replying do.
#pragma once
#include <cstddef>
#include <vector>

#include "base/format.h"

class reply_batch {
 public:
  // Replies held at most before they are released without waiting for the
  // end of the turn, so a burst does not hold every descriptor.
  static constexpr std::size_t limit = 256;

  reply_batch() = default;
  reply_batch(const reply_batch&) = delete;
  reply_batch& operator=(const reply_batch&) = delete;
  ~reply_batch() { release(); }

  // Keeps fd (the batch closes it) and a copy of its reply frame.
  void hold(int fd, const unsigned char* frame);
  bool full() const { return held_.size() >= limit; }
  bool empty() const { return held_.empty(); }
  std::size_t size() const { return held_.size(); }
  // One sync of the stored data, then every held reply, each connection
  // closed. When the sync fails no reply is sent: the connections close
  // without one, and their clients ask again.
  void release();
  // Sends every held reply (none when synced is false) and closes the
  // connections, without a sync of its own.
  void send(bool synced);
  // Takes over every reply other holds.
  void take_from(reply_batch& other);

 private:
  struct held {
    int fd;
    unsigned char frame[fmt::frame_size];
  };
  std::vector<held> held_;
};
