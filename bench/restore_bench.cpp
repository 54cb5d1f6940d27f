// Cost of restore_files_local on a registry of realistic size, against the
// cost of copying the rebuilt trees with "cp -a" on the same file system.
//   velmor-bench-restore [--keep]
// Builds, in a folder under /tmp, the six journals of a registry with 20,000
// user lines, 20,000 object lines, 5,000 department lines, 1,000 addresses and
// 1,000 start codes, then times: a restore into empty trees, its floor (the
// same folders and files, with the same bytes and modes, made into the same
// empty trees by a loop that does nothing else: no journal is read, nothing
// is planned), a restore over the rebuilt trees, a restore after the
// journals grew by 5%, and "cp -a" of the three trees into a scratch folder
// beside them.
// --keep leaves the folder in place (removing it can take long on disks that
// discard freed blocks at once).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <ftw.h>
#include <random>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "admin/restore.h"
#include "store/settings.h"

namespace {

constexpr int firms = 1000, departments_per_firm = 5, persons = 16000, user_lines = 20000,
              object_lines = 20000, codes = 1000;

std::mt19937_64 rng(20261207);

std::string digits(int n) {
  std::string s;
  for (int i = 0; i < n; ++i) s.push_back(static_cast<char>('0' + rng() % 10));
  return s;
}
char capital() { return static_cast<char>('A' + rng() % 26); }

// Identifier fields with valid check digits, as the registering operations accept them.
std::string pesel() {
  char head[11];
  std::snprintf(head, sizeof head, "%02d%02d%02d%04d", 40 + static_cast<int>(rng() % 60),
                1 + static_cast<int>(rng() % 12), 1 + static_cast<int>(rng() % 28),
                static_cast<int>(rng() % 10000));
  const int w[] = {9, 7, 3, 1, 9, 7, 3, 1, 9, 7};
  int sum = 0;
  for (int i = 0; i < 10; ++i) sum += w[i] * (head[i] - '0');
  return std::string(head) + static_cast<char>('0' + sum % 10);
}
std::string nip() {
  for (;;) {
    std::string d = digits(9);
    const int w[] = {6, 5, 7, 2, 3, 4, 5, 6, 7};
    int sum = 0;
    for (int i = 0; i < 9; ++i) sum += w[i] * (d[static_cast<std::size_t>(i)] - '0');
    if (sum % 11 < 10) return "N" + d + static_cast<char>('0' + sum % 11);
  }
}
std::string regon() {
  std::string d = digits(8);
  const int w[] = {8, 9, 2, 3, 4, 5, 6, 7};
  int sum = 0;
  for (int i = 0; i < 8; ++i) sum += w[i] * (d[static_cast<std::size_t>(i)] - '0');
  return "RN" + d + static_cast<char>('0' + sum % 11 % 10);
}
std::string uid32() { return std::string{capital(), capital(), capital()} + digits(29); }
std::string euid() {
  std::string s;
  for (int i = 0; i < 32; ++i) s.push_back(static_cast<char>('a' + rng() % 26));
  return s;
}
const std::string date = "DATE=20261207-09:05:03&";

struct firm {
  std::string uid, euid, nip, regon, ip;
};
struct person {
  std::string pesel, uidp, euidp;
  int firm;
};

struct journals {
  std::string usr, obj, nod, u32, ip, start;
};

void add_user(journals& j, const std::vector<firm>& fs, const person& p, int version) {
  const firm& f = fs[static_cast<std::size_t>(p.firm)];
  std::string line = "UID32=" + f.uid + "&EUID=" + f.euid + "&UIDP=" + p.uidp + "&EUIDP=" + p.euidp +
                     "&PESEL=" + p.pesel + "&DEP=" + std::to_string(p.firm % departments_per_firm) +
                     "&NAME=Person " + p.pesel + " v" + std::to_string(version) +
                     "&STAT=user&RANGE=null&ACT=null&" + date + "\n";
  j.usr += line;
  j.u32 += line;
}

void add_object(journals& j, const std::vector<firm>& fs, const std::vector<person>& ps) {
  const firm& f = fs[rng() % fs.size()];
  std::string key = rng() % 5 ? ps[rng() % ps.size()].pesel : f.nip;
  j.obj += "PESEL=" + key + "&UID32=" + f.uid + "&DEP=" + std::to_string(rng() % 5) + "&\n";
}

journals build_registry(std::vector<firm>& fs, std::vector<person>& ps) {
  journals j;
  for (int i = 0; i < firms; ++i) {
    firm f{uid32(), euid(), nip(), rng() % 10 < 7 ? regon() : "null", ""};
    f.ip = "10." + std::to_string(rng() % 256) + "." + std::to_string(rng() % 256) + "." + std::to_string(rng() % 256);
    for (int d = 0; d < departments_per_firm; ++d) {
      std::string head = "UID32=" + f.uid + "&EUID=" + f.euid + "&NAME=Department " + std::to_string(d) +
                         " of firm " + std::to_string(i) + "&DEP=" + std::to_string(d) + "&";
      j.nod += head + "NIP=" + f.nip + "&REGON=" + f.regon + "&" + date + "\n";
      j.u32 += head + "PUID=9000&PORTP=9001&PORTQ=9002&NODES=2&" + date + "\n";
    }
    std::string record = "UID32=" + f.uid + "&IPADDR=" + f.ip + "&";
    record.push_back('\0');
    record.resize(65, '0');
    j.ip += record;
    fs.push_back(f);
  }
  for (int i = 0; i < persons; ++i) {
    ps.push_back(person{pesel(), uid32(), euid(), static_cast<int>(rng() % firms)});
    add_user(j, fs, ps.back(), 1);
  }
  for (int i = persons; i < user_lines; ++i) add_user(j, fs, ps[rng() % ps.size()], 2);
  for (int i = 0; i < object_lines; ++i) add_object(j, fs, ps);
  for (int i = 0; i < codes; ++i) {
    std::string code;
    for (int g = 0; g < 5; ++g) code += std::string(g ? "-" : "") + capital() + capital() + capital() + capital();
    j.start += "CODE=" + code + (i % 3 ? "&" : "&VDATE=20301231&") + "\n";
  }
  return j;
}

bool write_file(const std::string& path, const std::string& text) {
  std::FILE* f = std::fopen(path.c_str(), "w");
  if (!f) return false;
  bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  return std::fclose(f) == 0 && ok;
}

bool write_journals(const journals& j) {
  return write_file("DISK/LIST/list_pesel_usr.q", j.usr) && write_file("DISK/LIST/list_pesel_obj.q", j.obj) &&
         write_file("DISK/LIST/list_pesel_nod.q", j.nod) && write_file("DISK/LIST/list_uid32base.q", j.u32) &&
         write_file("DISK/LIST/list_ip.nq", j.ip) && write_file("DISK/LIST/list_start_base.q", j.start) &&
         write_file("DISK/LIST/rs_last_number.txt", "RS000000017\n");
}

double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// User plus system CPU seconds of this process or of its waited-for children.
double cpu_seconds(int who) {
  rusage u{};
  ::getrusage(who, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Wall and CPU seconds of one step. The machine may be shared: CPU time shows
// the work itself when the wall clock also counts waiting for a processor.
struct timing {
  double wall, cpu;
};

// One restore; exits when it is refused.
timing timed_restore() {
  ::sync();
  char buf[512] = "OP=restore_files_local&";
  double c0 = cpu_seconds(RUSAGE_SELF);
  auto t0 = std::chrono::steady_clock::now();
  int rc = restore_files_local(buf, buf, "127.0.0.1");
  timing t{seconds_since(t0), cpu_seconds(RUSAGE_SELF) - c0};
  if (rc != 0) {
    std::fprintf(stderr, "restore refused: %s\n", buf);
    std::exit(1);
  }
  return t;
}

void report(const char* what, timing t) {
  std::printf("%-34s %8.2f s wall %8.2f s cpu\n", what, t.wall, t.cpu);
  std::fflush(stdout);
}

// What a restore into empty trees made, in the order a walk from the roots
// meets it: the floor makes exactly this and nothing else.
struct made_entry {
  std::string path;
  bool folder;
  mode_t mode;
  std::string bytes;
};
std::vector<made_entry> made;

int record_entry(const char* path, const struct stat* st, int type, struct FTW* at) {
  if (at->level == 0) return 0;  // the tree roots exist before either run
  made_entry e{path, type == FTW_D, st->st_mode & 07777, {}};
  if (!e.folder) {
    FILE* f = std::fopen(path, "rb");
    if (!f) return 1;
    char buf[65536];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) e.bytes.append(buf, n);
    std::fclose(f);
  }
  made.push_back(std::move(e));
  return 0;
}

int remove_entry(const char* path, const struct stat*, int, struct FTW* at) {
  return at->level == 0 ? 0 : ::remove(path);
}

// Empties the three trees, keeping their roots.
void empty_trees() {
  for (const char* t : {"DISK/PESEL", "DISK/UID32BASE", "DISK/START"}) ::nftw(t, remove_entry, 32, FTW_PHYS | FTW_DEPTH);
}

// The floor: every folder and file of the restore, made with plain calls.
timing timed_floor() {
  ::sync();
  const mode_t mask = ::umask(0);  // the modes recorded are the restore's own
  double c0 = cpu_seconds(RUSAGE_SELF);
  auto t0 = std::chrono::steady_clock::now();
  for (const made_entry& e : made) {
    if (e.folder) {
      if (::mkdir(e.path.c_str(), e.mode) != 0) std::exit(1);
      continue;
    }
    int fd = ::open(e.path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, e.mode);
    if (fd < 0 || ::write(fd, e.bytes.data(), e.bytes.size()) != static_cast<ssize_t>(e.bytes.size()) ||
        ::close(fd) != 0)
      std::exit(1);
  }
  timing t{seconds_since(t0), cpu_seconds(RUSAGE_SELF) - c0};
  ::umask(mask);
  return t;
}

long dirs_seen = 0, files_seen = 0;
int count_entry(const char*, const struct stat*, int type, struct FTW*) {
  if (type == FTW_D) ++dirs_seen;
  else ++files_seen;
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  bool keep = argc > 1 && std::strcmp(argv[1], "--keep") == 0;
  char dir[] = "/tmp/velmor-bench-restore-XXXXXX";
  if (!::mkdtemp(dir) || ::chdir(dir) != 0) {
    std::perror("bench folder");
    return 1;
  }
  for (const char* d : {"DISK", "DISK/PESEL", "DISK/UID32BASE", "DISK/LIST", "DISK/START", "copy"}) ::mkdir(d, 0755);
  reset_settings();

  std::vector<firm> fs;
  std::vector<person> ps;
  journals j = build_registry(fs, ps);
  if (!write_journals(j)) {
    std::perror("journals");
    return 1;
  }
  std::printf("registry in %s: %d user lines, %d object lines, %d department lines, %d addresses, %d start codes\n",
              dir, user_lines, object_lines, firms * departments_per_firm, firms, codes);

  timing fresh = timed_restore();
  report("restore into empty trees:", fresh);
  for (const char* t : {"DISK/PESEL", "DISK/UID32BASE", "DISK/START"}) ::nftw(t, record_entry, 32, FTW_PHYS);
  std::size_t bytes = 0;
  long floor_dirs = 0;
  for (const made_entry& e : made) bytes += e.bytes.size(), floor_dirs += e.folder;
  empty_trees();
  timing floor = timed_floor();
  report("floor into empty trees:", floor);
  std::printf("  (%ld folders, %ld files, %zu bytes)\n", floor_dirs, static_cast<long>(made.size()) - floor_dirs,
              bytes);
  timing again = timed_restore();
  report("restore over the rebuilt trees:", again);

  // The registry grows by 5% before the next rebuild.
  for (int i = 0; i < user_lines / 20; ++i) add_user(j, fs, ps[rng() % ps.size()], 3);
  for (int i = 0; i < object_lines / 20; ++i) add_object(j, fs, ps);
  if (!write_journals(j)) return 1;
  timing grown = timed_restore();
  report("restore after 5% more lines:", grown);

  for (const char* t : {"DISK/PESEL", "DISK/UID32BASE", "DISK/START"}) ::nftw(t, count_entry, 32, FTW_PHYS);
  ::sync();
  double c0 = cpu_seconds(RUSAGE_CHILDREN);
  auto t0 = std::chrono::steady_clock::now();
  int rc = std::system("cp -a DISK/PESEL DISK/UID32BASE DISK/START copy/");
  timing copy{seconds_since(t0), cpu_seconds(RUSAGE_CHILDREN) - c0};
  if (rc != 0) {
    std::fprintf(stderr, "cp -a failed\n");
    return 1;
  }
  report("cp -a of the three trees:", copy);
  std::printf("  (%ld folders, %ld files)\n", dirs_seen, files_seen);
  std::printf("restore into empty trees / its floor, wall (cpu): %6.3f (%6.3f)\n", fresh.wall / floor.wall,
              fresh.cpu / floor.cpu);
  std::printf("restore / cp -a, wall (cpu):\n");
  for (auto [what, t] : {std::pair{"  over the rebuilt trees", again}, std::pair{"  after 5% more lines", grown},
                         std::pair{"  into empty trees", fresh}})
    std::printf("%-26s %6.3f (%6.3f)\n", what, t.wall / copy.wall, t.cpu / copy.cpu);
  std::fflush(stdout);

  if (chdir("/") != 0) return 1;
  if (keep) {
    std::printf("left in place: %s\n", dir);
    return 0;
  }
  t0 = std::chrono::steady_clock::now();
  std::string rm = std::string("rm -rf ") + dir;
  rc = std::system(rm.c_str());
  std::printf("removing the bench folder took %.1f s\n", seconds_since(t0));
  return rc == 0 ? 0 : 1;
}
