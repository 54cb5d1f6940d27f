// Reading a line file from its first line to its last, for callers that must
// see every line in order.
#pragma once

#include "wire/owners.h"

// Lines as fgets with a 512-byte buffer reads them: a line longer than 511
// characters comes in pieces of 511, the newline is removed.
class line_reader {
 public:
  // Opens path for reading; is_open() tells whether that worked.
  explicit line_reader(const char* path);
  bool is_open() const { return static_cast<bool>(file_); }
  // The next line, valid until the next call; nullptr at the end of the file,
  // on a read error, or when the file could not be opened.
  const char* next();

 private:
  unique_file file_;
  char buf_[512];
};
