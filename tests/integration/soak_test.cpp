// A soak of the real server: thousands of connections mixing every
// operation with hostile traffic (garbage frames, short frames, frames coded
// under another day's key table, messages with hostile fields, connections
// left waiting, cut half-way or closed at once) and two restores. Afterwards
// the server still answers, reported no sanitizer error, holds as many
// descriptors as before, and every record it acknowledged is in its tree file
// and in its journal. Bounded by a request count and a wall-clock budget;
// the sequence is fixed by the seed.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <netinet/in.h>
#include <random>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "store/file_cache.h"
#include "tests/support/record_paths.h"
#include "tests/support/dated_text.h"
#include "tests/support/fake_peer.h"
#include "tests/support/memory_dir.h"
#include "tests/support/server_fixture.h"
#include "wire/keytable.h"
#include "wire/v1.h"

namespace {

using testing_support::entry;
using testing_support::person_dir;
using testing_support::connect_local;

namespace fs = std::filesystem;
using namespace std::chrono;
using testing_support::central_server;
using testing_support::fake_peer;
using testing_support::read_file;

constexpr int max_requests = 20000;
constexpr auto time_budget = seconds(90);
constexpr std::size_t max_waiting = 12;

std::string frame_of(const std::string& message) {
  unsigned char frame[1024];
  codeV1(message.c_str(), frame);
  return std::string(reinterpret_cast<char*>(frame), sizeof frame);
}

// Sends bytes on fd and reads the reply: the decoded text, "I love you." for
// the plain unknown-operation reply, or "<short reply: n>".
std::string exchange_on(int fd, const std::string& bytes) {
  ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
  unsigned char frame[1024];
  ssize_t n = ::recv(fd, frame, sizeof frame, MSG_WAITALL);
  ::close(fd);
  if (n != 1024) return "<short reply: " + std::to_string(n) + ">";
  if (std::string(reinterpret_cast<char*>(frame)) == "I love you.") return "I love you.";
  char text[512];
  decodeV1(frame, text);
  return text;
}

using testing_support::value_of;

bool starts_with(const std::string& s, const std::string& prefix) { return s.rfind(prefix, 0) == 0; }

using testing_support::has_line;

// "fd -> target" for every descriptor of a process, in order.
std::map<int, std::string> descriptors_of(pid_t pid) {
  std::map<int, std::string> out;
  for (const auto& e : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
    std::error_code ec;
    out[std::stoi(e.path().filename().string())] = fs::read_symlink(e.path(), ec).string();
  }
  return out;
}

// The descriptors once the server has closed every client connection (it
// closes each one just after writing its reply) and reaped every child that
// answered a block (its pidfd goes once the child's end is seen): no socket
// but the first, the listening one, and no pidfd. The last listing after
// five seconds otherwise.
std::map<int, std::string> settled_descriptors(pid_t pid) {
  std::map<int, std::string> fds;
  for (int i = 0; i < 250; ++i, std::this_thread::sleep_for(milliseconds(20))) {
    fds = descriptors_of(pid);
    int sockets = 0, passing = 0;
    for (const auto& [fd, target] : fds) {
      sockets += starts_with(target, "socket:");
      passing += target.empty() || target == "anon_inode:[pidfd]";  // closed while listed, or a child's
    }
    if (sockets <= 1 && passing == 0) break;
  }
  return fds;
}

std::string listed(const std::map<int, std::string>& fds) {
  std::string s;
  for (const auto& [fd, target] : fds) s += "\n  " + std::to_string(fd) + " -> " + target;
  return s;
}

struct firm {
  std::string nip, uid, euid;
  std::vector<std::string> deps;
};
struct person {
  std::string pesel, line;  // the last acknowledged record line
};

class Soak {
 public:
  explicit Soak(const central_server& server, int local_port) : server_(server), local_port_(local_port) {
    int today = 0, other = key_number_for(2001, 0, 1);
    key_number(&today);
    if (other == today) other = key_number_for(2002, 0, 1);
    build_key_table(other, other_day_);
  }

  // One step of the mix; restores at fixed points.
  void step(int i) {
    if (i == max_requests / 3 || i == 2 * max_requests / 3) return restore();
    std::uniform_int_distribution<int> pick(0, 99);
    int r = pick(rng_);
    if (firms_.empty() || r < 10) return add_department();
    if (r < 22) return add_usr();
    if (r < 32) return add_pesel_obj();
    if (r < 38) return start_code();
    if (r < 43) return add_ip_node();
    if (r < 58) return read_something();
    if (r < 61) return block_something();
    if (r < 63) return administer();
    if (r < 78) return hostile_message();
    if (r < 84) return garbage_frame();
    if (r < 88) return other_day_frame();
    if (r < 94) return cut_connection();
    return keep_waiting();
  }

  void close_waiting() {
    for (int fd : waiting_) ::close(fd);
    waiting_.clear();
  }

  void check_records() const {
    const std::string journal_usr = read_file(server_.path("DISK/LIST/list_pesel_usr.q"));
    const std::string journal_u32 = read_file(server_.path("DISK/LIST/list_uid32base.q"));
    const std::string journal_obj = read_file(server_.path("DISK/LIST/list_pesel_obj.q"));
    const std::string journal_nod = read_file(server_.path("DISK/LIST/list_pesel_nod.q"));
    const std::string journal_start = read_file(server_.path("DISK/LIST/list_start_base.q"));
    const std::string journal_ip = read_file(server_.path("DISK/LIST/list_ip.nq"));
    for (const std::string& line : user_lines_) {
      std::string pesel = value_of(line, "PESEL"), uidp = value_of(line, "UIDP");
      EXPECT_TRUE(has_line(read_file(server_.path(entry(uidp) + "/usr.q")), line)) << line;
      EXPECT_TRUE(has_line(read_file(server_.path(person_dir(pesel) + "/pesel.usr")), line)) << line;
      EXPECT_TRUE(has_line(journal_usr, line)) << line;
      EXPECT_TRUE(has_line(journal_u32, line)) << line;
    }
    for (const std::string& line : object_lines_) {
      EXPECT_TRUE(has_line(read_file(server_.path(person_dir(value_of(line, "PESEL")) + "/pesel.obj")), line));
      EXPECT_TRUE(has_line(journal_obj, line)) << line;
    }
    for (const firm& f : firms_) {
      std::string field = "UID32=" + f.uid + "&";
      EXPECT_NE(read_file(server_.path(entry(f.uid) + "/node.q")).find(field), std::string::npos) << f.uid;
      EXPECT_NE(read_file(server_.path(person_dir(f.nip) + "/pesel.nod")).find(field), std::string::npos) << f.uid;
      EXPECT_NE(journal_u32.find(field), std::string::npos) << f.uid;
      EXPECT_NE(journal_nod.find(field), std::string::npos) << f.uid;
    }
    for (const std::string& line : code_lines_) {
      std::string code = value_of(line, "CODE");
      std::string dir = "DISK/START/" + code.substr(0, 1) + "/" + code.substr(1, 1) + "/" + code.substr(2, 1);
      EXPECT_TRUE(has_line(read_file(server_.path(dir + "/scode.q")), line)) << line;
      EXPECT_TRUE(has_line(journal_start, line)) << line;
    }
    for (const auto& [uid, address] : addresses_) {
      EXPECT_EQ(read_file(server_.path(entry(uid) + "/ip.q")), "IPADDR=" + address + "&\n");
      EXPECT_NE(journal_ip.find("UID32=" + uid + "&IPADDR=" + address + "&" + std::string(1, '\0')),
                std::string::npos) << uid;
    }
  }

  std::size_t acknowledged() const {
    return user_lines_.size() + object_lines_.size() + firms_.size() + code_lines_.size() + addresses_.size();
  }
  std::string summary() const {
    std::string s;
    for (const auto& [kind, n] : counts_) s += " " + kind + "=" + std::to_string(n);
    return s;
  }

 private:
  std::string ask(const std::string& kind, const std::string& message) {
    ++counts_[kind];
    int fd = connect_local(server_.port(), 20);
    if (fd < 0) return "<no connection>";
    std::string reply = exchange_on(fd, frame_of(message));
    EXPECT_FALSE(starts_with(reply, "<short reply")) << kind << ": " << message;
    return reply;
  }
  template <class T>
  const T& any(const std::vector<T>& v) {
    return v[std::uniform_int_distribution<std::size_t>(0, v.size() - 1)(rng_)];
  }
  std::string fresh_id() {
    std::string digits = std::to_string(++serial_);
    return "RS" + std::string(9 - digits.size(), '0') + digits;
  }

  void add_department() {
    bool known = !firms_.empty() && rng_() % 3 == 0;
    firm f = known ? any(firms_) : firm{fresh_id(), "", "", {}};
    std::string dep = "d" + std::to_string(100 + f.deps.size());
    std::string reply = ask("add_department", "OP=add_department&NAME=Shop " + dep + "&DEP=" + dep + "&NIP=" + f.nip +
                                                  "&REGON=null&PUID=" + std::to_string(local_port_) +
                                                  "&PORTP=9002&PORTQ=9003&NODES=1&");
    if (!starts_with(reply, "RE=add_department&STATUS=done&")) return;
    f.uid = value_of(reply, "UID32");
    f.euid = value_of(reply, "EUID");
    f.deps.push_back(dep);
    for (firm& old : firms_)
      if (old.nip == f.nip) {
        old = f;
        return;
      }
    firms_.push_back(f);
  }

  void add_usr() {
    const firm& f = any(firms_);
    bool known = !people_.empty() && rng_() % 3 == 0;
    std::string pesel = known ? any(people_).pesel : fresh_id();
    std::string stat = rng_() % 4 == 0 ? "admin" : "user";
    std::string reply = ask("add_usr", "OP=add_usr&UID32=" + f.uid + "&EUID=" + f.euid + "&UIDP=x&EUIDP=y&PESEL=" +
                                           pesel + "&DEP=" + any(f.deps) + "&NAME=Jan&STAT=" + stat + "&");
    const std::string done = "RE=add_usr&STATUS=done&";
    if (!starts_with(reply, done)) return;
    std::string line = reply.substr(done.size());
    user_lines_.push_back(line);
    for (person& p : people_)
      if (p.pesel == pesel) {
        p.line = line;
        return;
      }
    people_.push_back({pesel, line});
  }

  void add_pesel_obj() {
    std::string pesel = !people_.empty() && rng_() % 2 ? any(people_).pesel : fresh_id();
    const firm& f = any(firms_);
    std::string line = "PESEL=" + pesel + "&UID32=" + f.uid + "&DEP=" + any(f.deps) + "&";
    if (ask("add_pesel_obj", "OP=add_pesel_obj&" + line) == "RE=add_pesel_obj&STATUS=done&")
      object_lines_.push_back(line);
  }

  void start_code() {
    std::string reply = ask("get_start_code", rng_() % 2 ? "OP=get_start_code&" : "OP=get_start_code&VDATE=20991231&");
    const std::string prefix = "RE=get_start_code&";
    if (starts_with(reply, prefix) && value_of(reply, "CODE").size() == 24) code_lines_.push_back(reply.substr(prefix.size()));
  }

  void add_ip_node() {
    const firm& f = any(firms_);
    std::string address = rng_() % 2 ? "127.0.0.1" : "127.0.0.2";
    if (ask("add_ip_node", "OP=add_ip_node&UID32=" + f.uid + "&IPNODE=" + address + "&") ==
        "RE=add_ip_node&STATUS=done&")
      addresses_[f.uid] = address;
  }

  void read_something() {
    const firm& f = any(firms_);
    std::string pesel = people_.empty() ? fresh_id() : any(people_).pesel;
    switch (rng_() % 10) {
      case 0: ask("get_dep_data", "OP=get_dep_data&UID32=" + f.uid + "&DEP=" + any(f.deps) + "&"); break;
      case 1: ask("get_node", "OP=get_node&UID32=" + f.uid + "&DEP=" + any(f.deps) + "&"); break;
      case 2: {
        const std::string& line = people_.empty() ? std::string() : any(people_).line;
        ask("check_user", "OP=check_user&UID32=" + value_of(line, "UID32") + "&EUID=" + value_of(line, "EUID") +
                              "&UIDP=" + value_of(line, "UIDP") + "&EUIDP=" + value_of(line, "EUIDP") + "&");
        break;
      }
      case 3: ask("get_nlines_pesel", "OP=get_nlines_pesel&PESEL=" + pesel + "&"); break;
      case 4: ask("get_line_pesel_obj", "OP=get_line_pesel_obj&PESEL=" + pesel + "&NLINE=" + std::to_string(rng_() % 3) + "&"); break;
      case 5: {
        std::string code = code_lines_.empty() ? "AAAA-BBBB-CCCC-DDDD-EEEE" : value_of(any(code_lines_), "CODE");
        ask("chk_scode", "OP=chk_scode&CODE=" + code + "&");
        break;
      }
      case 6: ask("get_UID64", "OP=get_UID64&"); break;
      case 7: ask("versionTAVR", "OP=versionTAVR&"); break;
      case 8: ask("get_tavr_config", "OP=get_tavr_config&"); break;
      default: ask("get_last_log", "OP=get_last_log&PESEL=" + pesel + "&"); break;
    }
  }

  // Blocks reach the local server of the firm (a scripted peer that agrees)
  // when its address is 127.0.0.1, and find nobody at 127.0.0.2.
  void block_something() {
    switch (rng_() % 3) {
      case 0: {
        const firm& f = any(firms_);
        std::string dep = rng_() % 4 ? any(f.deps) : "null";
        ask("block_department", "OP=block_department&DEP=" + dep + "&NIP=" + f.nip + "&REGON=null&");
        break;
      }
      case 1:
        if (!people_.empty()) ask("block_user_by_central_admin", "OP=block_user_by_central_admin&PESEL=" + any(people_).pesel + "&");
        break;
      default:
        if (!people_.empty()) ask("block_user", "OP=block_user&" + any(people_).line);
        break;
    }
  }

  void administer() {
    switch (rng_() % 3) {
      case 0: ask("log_adm", "OP=log_adm&PESEL=" + fresh_id() + "&NICK=admin" + std::to_string(rng_() % 9) + "&"); break;
      case 1: ask("chg_tavr_config", "OP=chg_tavr_config&PORTTAVR=" + std::to_string(server_.port()) + "&"); break;
      default: ask("get_special_pesel", "OP=get_special_pesel&"); break;
    }
  }

  void restore() {
    EXPECT_EQ(ask("restore_files_local", "OP=restore_files_local&"), "RE=restore_files_local&STATUS=done&");
  }

  // A message of operation names, keys and values that no client sends: keys
  // that climb out of their trees, over-long and empty values, stray '&'.
  void hostile_message() {
    static const char* const ops[] = {"add_department", "add_usr", "add_pesel_obj", "get_start_code", "add_ip_node",
                                      "get_dep_data", "check_user", "block_department", "block_user",
                                      "block_user_by_central_admin", "get_line_pesel_obj", "get_node", "chk_scode",
                                      "log_adm", "get_last_log", "get_nlines_pesel", "Add_usr", "nothing"};
    static const char* const keys[] = {"UID32", "EUID", "UIDP", "EUIDP", "PESEL", "NAME", "DEP", "NIP", "REGON",
                                       "PUID", "PORTP", "PORTQ", "NODES", "STAT", "IPNODE", "CODE", "NLINE", "NICK",
                                       "VDATE", "TEST"};
    const std::string values[] = {"null", "", "..", "../../..", "/etc", "ABC/../../x", "...", std::string(600, 'A'),
                                  std::string(40, '9'), "44051401359", "N0000000000", "-1", "99999999999999999999",
                                  "1.2.3.4", "a\nb", "&&", "=", "AAA"};
    std::string m = std::string("OP=") + ops[rng_() % std::size(ops)] + "&";
    for (int n = static_cast<int>(rng_() % 12); n > 0; --n)
      m += std::string(keys[rng_() % std::size(keys)]) + "=" + values[rng_() % std::size(values)] + "&";
    ask("hostile message", m);
  }

  void garbage_frame() {
    std::string bytes(rng_() % 2 ? 1024 : 1 + rng_() % 1023, '\0');
    for (char& c : bytes) c = static_cast<char>(rng_());
    ++counts_["garbage frame"];
    int fd = connect_local(server_.port(), 20);
    if (fd < 0) return;
    std::string reply = exchange_on(fd, bytes);
    EXPECT_FALSE(starts_with(reply, "<short reply")) << reply;
  }

  void other_day_frame() {
    const firm& f = any(firms_);
    std::string m = "OP=add_usr&UID32=" + f.uid + "&EUID=" + f.euid + "&UIDP=x&EUIDP=y&PESEL=" + fresh_id() +
                    "&DEP=d100&NAME=Late&STAT=user&";
    unsigned char frame[1024];
    codeV1_with_table(m.c_str(), other_day_, frame);
    ++counts_["other day's frame"];
    int fd = connect_local(server_.port(), 20);
    if (fd < 0) return;
    std::string reply = exchange_on(fd, std::string(reinterpret_cast<char*>(frame), sizeof frame));
    EXPECT_FALSE(starts_with(reply, "RE=add_usr&STATUS=done&")) << "a frame of another day was understood";
    EXPECT_FALSE(starts_with(reply, "<short reply")) << reply;
  }

  // Half a frame and gone, or gone at once: the server replies to nobody.
  void cut_connection() {
    ++counts_["cut connection"];
    int fd = connect_local(server_.port(), 20);
    if (fd < 0) return;
    if (rng_() % 2) {
      std::string frame = frame_of("OP=add_department&NAME=Cut&DEP=d1&NIP=RS999999999&REGON=null&");
      ::send(fd, frame.data(), 500, MSG_NOSIGNAL);
    }
    ::close(fd);
  }

  // A connection that waits while others are served; later it sends a
  // liveness request, or is closed unused.
  void keep_waiting() {
    ++counts_["waiting connection"];
    if (waiting_.size() >= max_waiting || rng_() % 3 == 0) {
      if (waiting_.empty()) return;
      int fd = waiting_.front();
      waiting_.erase(waiting_.begin());
      if (rng_() % 2)
        EXPECT_EQ(exchange_on(fd, frame_of("TEST=H00&")), "REPLY=velmorTAVR_CENTRAL&");
      else
        ::close(fd);
      return;
    }
    int fd = connect_local(server_.port(), 20);
    if (fd >= 0) waiting_.push_back(fd);
  }

  const central_server& server_;
  int local_port_;
  unsigned char other_day_[512];
  std::mt19937 rng_{20261210};
  int serial_ = 0;
  std::vector<firm> firms_;
  std::vector<person> people_;
  std::vector<std::string> user_lines_, object_lines_, code_lines_;
  std::map<std::string, std::string> addresses_;
  std::map<std::string, int> counts_;
  std::vector<int> waiting_;
};

TEST(Soak, ThousandsOfMixedAndHostileRequestsLeaveTheServerWholeAndEveryRecordStored) {
  fake_peer local([](const std::string&) { return fake_peer::coded("RE=block&STATUS=done&"); });
  // DISK lives on a memory file system: the restores need the real letter
  // levels, 35,000 folders that a loaded disk makes and removes slowly.
  testing_support::memory_dir disk;
  central_server server;
  testing_support::disk_in_memory(server, disk, true);
  ASSERT_TRUE(server.start()) << server.errors();
  testing_support::write_file(server.path("BIN/numerator"), "#!/bin/sh\necho RS000000001\n");
  fs::permissions(server.path("BIN/numerator"), fs::perms::owner_all);
  const auto descriptors_before = settled_descriptors(server.pid());

  Soak soak(server, local.port());
  auto start = steady_clock::now();
  int done = 0;
  for (; done < max_requests && steady_clock::now() - start < time_budget; ++done) soak.step(done);
  soak.close_waiting();
  double took = duration<double>(steady_clock::now() - start).count();
  std::printf("soak: %d steps in %.1f s, %zu records acknowledged;%s\n", done, took, soak.acknowledged(),
              soak.summary().c_str());

  int status = 0;
  ASSERT_EQ(::waitpid(server.pid(), &status, WNOHANG), 0) << "the server ended";
  EXPECT_EQ(server.ask("TEST=H00&"), "REPLY=velmorTAVR_CENTRAL&");
  std::string errors = server.errors();
  EXPECT_EQ(errors.find("ERROR: AddressSanitizer"), std::string::npos) << errors;
  EXPECT_EQ(errors.find("runtime error"), std::string::npos) << errors;
  // Record files the loop keeps open between requests are no leak: regular
  // files of the data folder, no more of them than it keeps.
  auto descriptors_after = settled_descriptors(server.pid());
  std::size_t kept = 0;
  for (auto it = descriptors_after.begin(); it != descriptors_after.end();) {
    const bool record = it->second.find("/DISK/") != std::string::npos && !descriptors_before.count(it->first) &&
                        fs::is_regular_file(it->second);
    kept += record;
    it = record ? descriptors_after.erase(it) : std::next(it);
  }
  EXPECT_LE(kept, kept_files_max);
  EXPECT_EQ(descriptors_after, descriptors_before)
      << "before:" << listed(descriptors_before) << "\nafter:" << listed(descriptors_after);
  EXPECT_GT(soak.acknowledged(), 0u);
  soak.check_records();
}

}  // namespace
