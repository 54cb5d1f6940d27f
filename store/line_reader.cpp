#include "store/line_reader.h"

#include <cstdio>
#include <cstring>

line_reader::line_reader(const char* path) : file_(std::fopen(path, "re")) {}

const char* line_reader::next() {
  if (!file_ || std::fgets(buf_, sizeof buf_, file_.get()) == nullptr) return nullptr;
  buf_[std::strcspn(buf_, "\n")] = '\0';
  return buf_;
}
