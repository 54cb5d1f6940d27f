// Cost of the department and node lookups against the length of the firm's
// files: the firm lookup of an add over pesel.nod, the queries
// read_dep_data_in_UID32BASE and get_node_data over node.q, and the whole
// add_department handler registering the firm's newest department again.
// Prints the mean microseconds per call for a 1-line and a 100,000-line
// file, then, for the calls whose answer is near the end of the file, the
// ratio of the two (1.0: the cost does not grow with the file). Every call is
// timed twice: with plain reads and writes (a block child, the tools), and
// with the files kept open as the server's loop keeps them, each call in a
// turn of its own (the kept files checked against their names, and the
// change notices read, every time).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <unistd.h>

#include "registry/department_add.h"
#include "registry/department_query.h"
#include "registry/nodes.h"
#include "store/file_cache.h"
#include "store/settings.h"
#include "wire/message.h"

namespace {

constexpr char nip[] = "N1234567883";
constexpr char uid[] = "ABC12345678901234567890123456789";
constexpr char euid[] = "qwertyuiopasdfghjklzxcvbnmqwerty";

// Department i of the firm: DEP "Q" and six digits, which occur nowhere else.
std::string dep_of(int i) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "Q%06d", i);
  return buf;
}

bool write_lines(const std::string& path, int lines, bool pesel) {
  std::FILE* f = std::fopen(path.c_str(), "w");
  if (!f) return false;
  for (int i = 0; i < lines; ++i) {
    std::string d = dep_of(i);
    if (pesel)
      std::fprintf(f, "UID32=%s&EUID=%s&NAME=Department %d&DEP=%s&NIP=%s&REGON=null&DATE=20261207-09:05:03&\n",
                   uid, euid, i, d.c_str(), nip);
    else
      std::fprintf(f,
                   "UID32=%s&EUID=%s&NAME=Department %d&DEP=%s&PUID=9001&PORTP=9002&PORTQ=9003&NODES=2&"
                   "DATE=20261207-09:05:03&\n",
                   uid, euid, i, d.c_str());
  }
  return std::fclose(f) == 0;
}

// Mean microseconds per call over n calls; stops when a call gives another
// result than expected.
template <class F>
double mean_us(int n, int expected, F fn) {
  if (fn() != expected) {
    std::fprintf(stderr, "lookup gave an unexpected result\n");
    std::exit(1);
  }
  auto t0 = std::chrono::steady_clock::now();
  for (int i = 0; i < n; ++i) {
    file_cache_next_turn();
    file_cache_next_request();
    if (fn() != expected) std::exit(1);
  }
  std::chrono::duration<double, std::micro> d = std::chrono::steady_clock::now() - t0;
  return d.count() / n;
}

}  // namespace

int main() {
  char dir[] = "/tmp/velmor-bench-lookup-XXXXXX";
  if (!::mkdtemp(dir)) {
    std::perror("mkdtemp");
    return 1;
  }
  const std::string root = dir;
  std::printf("%-8s %-6s %-44s %12s\n", "lines", "files", "call", "mean us");
  std::map<std::string, std::map<int, double>> flat;  // calls that should not grow, by file length
  for (bool kept : {false, true})
  for (int lines : {1, 100000}) {
    file_cache_enable(kept ? kept_files_max : 0);
    const std::string base = root + "/" + std::to_string(lines) + (kept ? "k" : "p");
    std::filesystem::create_directories(base + "/PESEL/N1/23/45/67/88/3");
    std::filesystem::create_directories(base + "/UID32BASE/A/B/C/" + uid);
    std::filesystem::create_directories(base + "/LIST");
    copy_text(pesel_base, base + "/PESEL");
    copy_text(uid32base, base + "/UID32BASE");
    copy_text(list_base, base + "/LIST");
    const std::string entry = base + "/UID32BASE/A/B/C/" + uid;
    if (!write_lines(base + "/PESEL/N1/23/45/67/88/3/pesel.nod", lines, true) ||
        !write_lines(entry + "/node.q", lines, false) || save_ip_addr(uid, "192.168.100.200") != 0) {
      std::perror(base.c_str());
      return 1;
    }

    const std::string last = dep_of(lines - 1), first = dep_of(0);
    const int calls = 20000;
    // Fewer rounds for the calls that must read the whole file.
    const int scans = lines > 1 ? 50 : calls;
    char u[40], e[40], out[512];
    const char* mode = kept ? "kept" : "plain";
    auto row = [&](const char* what, double us) { std::printf("%-8d %-6s %-44s %12.2f\n", lines, mode, what, us); };

    auto flat_row = [&](const char* what, double us) {
      row(what, us);
      flat[std::string(mode) + ", " + what][lines] = us;
    };
    flat_row("check_dep_in_pesel_base, DEP of last line",
             mean_us(calls, 1, [&] { return check_dep_in_pesel_base(last.c_str(), nip, "null", u, e); }));
    row("check_dep_in_pesel_base, new DEP (whole file)",
        mean_us(scans, 1, [&] { return check_dep_in_pesel_base("Qnew", nip, "null", u, e); }));
    row("check_dep_in_pesel_base, DEP of first line",
        mean_us(scans, 1, [&] { return check_dep_in_pesel_base(first.c_str(), nip, "null", u, e); }));
    flat_row("read_dep_data_in_UID32BASE, DEP of last line",
             mean_us(calls, 0, [&] { return read_dep_data_in_UID32BASE(last.c_str(), uid, out); }));
    row("read_dep_data_in_UID32BASE, DEP of first line",
        mean_us(scans, 0, [&] { return read_dep_data_in_UID32BASE(first.c_str(), uid, out); }));
    flat_row("get_node_data, DEP of last line",
             mean_us(calls, 1, [&] { return get_node_data(uid, last.c_str(), out) == node_data::found; }));
    row("get_node_data, DEP of first line",
        mean_us(scans, 1, [&] { return get_node_data(uid, first.c_str(), out) == node_data::found; }));
    // The handler itself, the firm's newest department registered again:
    // lookup, four appends (the firm file, node.q and both journals), reply.
    const std::string request = "OP=add_department&NAME=Department " + std::to_string(lines - 1) + "&DEP=" + last +
                                "&NIP=" + nip + "&REGON=null&PUID=9001&PORTP=9002&PORTQ=9003&NODES=2&";
    flat_row("add_department, the newest department again", mean_us(2000, 0, [&] {
               char message[512];
               copy_text(message, request);
               return add_department(message, message);
             }));
  }
  file_cache_enable(0);
  std::printf("\n%-59s %12s\n", "cost of 1 line / cost of 100,000 lines", "ratio");
  for (const auto& [what, by_lines] : flat)
    std::printf("%-59s %12.2f\n", what.c_str(), by_lines.at(1) / by_lines.at(100000));
  std::error_code ec;
  std::filesystem::remove_all(root, ec);
  return 0;
}
