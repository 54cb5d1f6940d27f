// Cost of the backward line readers against the size of the file: prints the
// mean microseconds per call for a short file and a 100,000-line file.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "store/line_reader.h"
#include "store/lines.h"

namespace {

// A node.q-like line of about 150 characters, unique by its DEP field.
std::string node_line(int i) {
  char buf[256];
  std::snprintf(buf, sizeof buf,
                "UID32=ABC%029d&EUID=qwertyuiopasdfghjklzxcvbnmqwerty&NAME=Dept%d&DEP=%d&"
                "NIP=N1234567890&REGON=null&PUID=9000&DATE=20261207-09:05:03&",
                i, i, i);
  return buf;
}

bool build(const std::string& path, int lines) {
  std::FILE* f = std::fopen(path.c_str(), "w");
  if (!f) return false;
  for (int i = 0; i < lines; ++i) std::fprintf(f, "%s\n", node_line(i).c_str());
  return std::fclose(f) == 0;
}

// Mean microseconds per call of fn over n calls; aborts when a call fails.
template <class F>
double mean_us(int n, F fn) {
  fn();
  auto t0 = std::chrono::steady_clock::now();
  for (int i = 0; i < n; ++i) {
    if (fn() != line_found) {
      std::fprintf(stderr, "reader did not find its line\n");
      std::exit(1);
    }
  }
  std::chrono::duration<double, std::micro> d = std::chrono::steady_clock::now() - t0;
  return d.count() / n;
}

}  // namespace

int main() {
  char dir[] = "/tmp/velmor-bench-XXXXXX";
  if (!::mkdtemp(dir)) {
    std::perror("mkdtemp");
    return 1;
  }
  const int sizes[] = {1, 51, 100000};
  const int calls = 20000;
  std::printf("%-12s %12s %18s %20s\n", "lines", "last_line", "containing(last)",
              "containing(-50)");
  for (int lines : sizes) {
    std::string path = std::string(dir) + "/node" + std::to_string(lines) + ".q";
    if (!build(path, lines)) {
      std::perror(path.c_str());
      return 1;
    }
    char out[512];
    std::string last = "DEP=" + std::to_string(lines - 1) + "&";
    double a = mean_us(calls, [&] { return read_last_line(path.c_str(), out, sizeof out); });
    double b = mean_us(calls, [&] {
      return read_last_line_containing(path.c_str(), last.c_str(), out, sizeof out);
    });
    char c_text[32] = "n/a";
    if (lines > 50) {
      std::string back50 = "DEP=" + std::to_string(lines - 51) + "&";
      double c = mean_us(calls, [&] {
        return read_last_line_containing(path.c_str(), back50.c_str(), out, sizeof out);
      });
      std::snprintf(c_text, sizeof c_text, "%.2f", c);
    }
    std::printf("%-12d %12.2f %18.2f %20s\n", lines, a, b, c_text);
  }
  // For scale: one forward walk over the large file.
  std::string big = std::string(dir) + "/node100000.q";
  double walk = mean_us(20, [&] {
    line_reader r(big.c_str());
    int n = 0;
    while (r.next()) ++n;
    return n == 100000 ? line_found : line_none;
  });
  std::printf("forward walk of 100000 lines (line_reader): %.0f us\n", walk);
  for (int lines : sizes) ::unlink((std::string(dir) + "/node" + std::to_string(lines) + ".q").c_str());
  ::rmdir(dir);
  return 0;
}
