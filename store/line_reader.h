// Reading a line file from its first line to its last, for callers that must
// see every line in order.
#pragma once
#include <cstddef>
#include <sys/types.h>

#include "base/format.h"
#include "base/owners.h"

// Lines as fgets with a 512-byte buffer reads them: a line longer than 511
// characters comes in pieces of 511, the newline is removed.
class line_reader {
 public:
  // Reads the head of path; is_open() tells whether the file could be read.
  explicit line_reader(const char* path);
  bool is_open() const { return opened_; }
  // The next line, valid until the next call; nullptr at the end of the file,
  // on a read error, or when the file could not be read.
  const char* next();

 private:
  bool fill();  // more of the file into data_; false at its end or on an error

  bool opened_ = false;
  bool ended_ = false;
  bool failed_ = false;  // ended by a read error
  unique_fd fd_;         // only for a file larger than its head
  off_t offset_ = 0;     // where the next read of fd_ starts
  std::size_t begin_ = 0;  // unread bytes are data_[begin_, end_)
  std::size_t end_ = 0;
  char data_[4096];
  char line_[fmt::line_size];
};
