// velmor-bench-parts: CPU microseconds per call of the pieces one request is
// made of, measured in-process (process CPU clock, so time spent waiting for
// the machine is not counted). With the connection cost of the floor server
// (scripts/bench.sh) this gives the per-request breakdown.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <unistd.h>

#include "base/format.h"
#include "base/random_reserve.h"
#include "ids/random.h"
#include "registry/identifiers.h"
#include "store/append.h"
#include "store/date_field.h"
#include "store/lines.h"
#include "wire/keytable.h"
#include "wire/noise.h"
#include "wire/v1.h"

namespace {

double cpu_now_us() {
  timespec ts;
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) * 1e6 + static_cast<double>(ts.tv_nsec) / 1e3;
}

// Median of five rounds of n calls, in microseconds per call.
template <class F>
double per_call_us(int n, F fn) {
  double r[5];
  for (double& v : r) {
    const double t0 = cpu_now_us();
    for (int i = 0; i < n; ++i) fn();
    v = (cpu_now_us() - t0) / n;
  }
  for (int i = 1; i < 5; ++i)
    for (int j = i; j > 0 && r[j] < r[j - 1]; --j) std::swap(r[j], r[j - 1]);
  return r[2];
}

void row(const char* what, double us) { std::printf("  %-58s %8.2f\n", what, us); }

int failing_source(unsigned char*, std::size_t) { return -1; }

volatile unsigned sink;  // keeps results alive

}  // namespace

int main() {
  char dir[] = "/tmp/velmor-parts-XXXXXX";
  if (!::mkdtemp(dir)) {
    std::perror("mkdtemp");
    return 1;
  }
  const int n = 20000;
  unsigned char frame[fmt::frame_size];
  char text[fmt::message_size];
  codeV1("OP=get_UID64&", frame);
  check_key_number();

  std::printf("CPU microseconds per call (median of 5 rounds of %d calls)\n", n);
  std::printf("frame coding\n");
  row("check_key_number (key table current)", per_call_us(n, [] { check_key_number(); }));
  row("decodeV1 of a request frame", per_call_us(n, [&] {
        unsigned char copy[fmt::frame_size];
        std::copy(frame, frame + sizeof frame, copy);
        decodeV1(copy, text);
        sink = static_cast<unsigned char>(text[0]);
      }));
  row("codeV1 of a 90-character reply (two noise buffers)", per_call_us(n, [&] {
        codeV1("OP=get_UID64&UID32=ABC12345678901234567890123456789&EUID=abcdefghijklmnopqrstuvwxyzabcdef&", frame);
        sink = frame[0];
      }));
  unsigned char buf[fmt::block_size];
  row("noise_gen(512), seeds from the 4 KiB random block", per_call_us(n, [&] {
        noise_gen(buf, sizeof buf);
        sink = buf[0];
      }));
  {
    const random_source previous = set_noise_seed_source(failing_source);
    row("noise_gen(512), seeds from /dev/urandom (the fall-back)", per_call_us(n, [&] {
          noise_gen(buf, sizeof buf);
          sink = buf[0];
        }));
    set_noise_seed_source(previous);
  }
  row("  of which: 512 bytes from fixed seeds (noise_fill)", per_call_us(n, [&] {
        noise_fill(buf, sizeof buf, 12345, 67890);
        sink = buf[0];
      }));
  row("  compare: srand + 256 rand() of the C library", per_call_us(n, [&] {
        std::srand(67890);
        unsigned s = 0;
        for (int i = 0; i < 256; ++i) s += static_cast<unsigned>(std::rand() % 255);
        sink = s;
      }));
  row("  compare: libc_rand seed + 256 next()", per_call_us(n, [&] {
        libc_rand r(67890);
        unsigned s = 0;
        for (int i = 0; i < 256; ++i) s += static_cast<unsigned>(r.next() % 255);
        sink = s;
      }));
  unsigned char seed[8];
  row("8 seed bytes: from the 4 KiB random block (reserve_random)", per_call_us(n, [&] {
        reserve_random(seed, sizeof seed);
        sink = seed[0];
      }));
  row("8 seed bytes: getrandom (kernel_random)", per_call_us(n, [&] {
        kernel_random(seed, sizeof seed);
        sink = seed[0];
      }));
  row("8 seed bytes: dev_urandom (open, checks, read, close)", per_call_us(n, [&] {
        dev_urandom(seed, sizeof seed);
        sink = seed[0];
      }));

  std::printf("identifiers\n");
  char out[65];
  row("true_random_generator(32 digits), from the random block", per_call_us(n, [&] {
        true_random_generator(out, 32, class_digits);
        sink = static_cast<unsigned char>(out[0]);
      }));
  {
    const random_source previous = set_true_random_source(failing_source);
    row("true_random_generator(32 digits), /dev/urandom fall-back", per_call_us(n, [&] {
          true_random_generator(out, 32, class_digits);
          sink = static_cast<unsigned char>(out[0]);
        }));
    set_true_random_source(previous);
  }
  row("get_UID64 handler (three draws, clock text, reply)", per_call_us(n, [&] {
        char message[fmt::message_size] = "OP=get_UID64&";
        get_UID64(message);
        sink = static_cast<unsigned char>(message[0]);
      }));

  std::printf("record files (page cache, small files)\n");
  const std::string line =
      "UID32=ABC12345678901234567890123456789&EUID=abcdefghijklmnopqrstuvwxyzabcdef&NAME=Bench&DEP=b1&"
      "PUID=9000&PORTP=9001&PORTQ=9002&NODES=1&DATE=20261210-02:00:00&";
  const std::string path = std::string(dir) + "/node.q";
  row("add_text_line (open, append one line, close)",
      per_call_us(2000, [&] { sink = static_cast<unsigned>(add_text_line(dir, "node.q", line.c_str())); }));
  row("read_last_line_containing, 10,000 lines, match in the last", per_call_us(n, [&] {
        sink = static_cast<unsigned>(read_last_line_containing(path.c_str(), "DEP=b1&", out, sizeof out));
      }));
  const std::string small = std::string(dir) + "/small.q";
  add_text_line(dir, "small.q", line.c_str());
  row("read_last_line_containing, one-line file (open, pread, close)", per_call_us(n, [&] {
        sink = static_cast<unsigned>(read_last_line_containing(small.c_str(), "DEP=b1&", out, sizeof out));
      }));
  row("read_last_line_containing, no such file", per_call_us(n, [&] {
        sink = static_cast<unsigned>(read_last_line_containing((path + "x").c_str(), "DEP=b1&", out, sizeof out));
      }));
  char date[24];
  row("get_time (the DATE field)", per_call_us(n, [&] {
        get_time(date);
        sink = static_cast<unsigned char>(date[5]);
      }));
  ::unlink(path.c_str());
  ::unlink(small.c_str());
  ::rmdir(dir);
  return 0;
}
