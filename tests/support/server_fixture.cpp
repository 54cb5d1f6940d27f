#include "tests/support/server_fixture.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <fstream>
#include <filesystem>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/time.h>
#include <sstream>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace testing_support {

namespace fs = std::filesystem;

temp_dir::temp_dir() {
  char tmpl[] = "/tmp/velmor-test-XXXXXX";
  if (!::mkdtemp(tmpl)) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
}

temp_dir::~temp_dir() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void write_file(const std::string& path, std::string_view content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
}

int connect_local(int port, int receive_timeout_s) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  if (receive_timeout_s > 0) {
    timeval tv{receive_timeout_s, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  }
  return fd;
}

bool has_line(const std::string& text, const std::string& line) {
  return ("\n" + text).find("\n" + line + "\n") != std::string::npos;
}

bool file_exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

void make_dirs(const std::string& path) {
  std::error_code ec;
  fs::create_directories(path, ec);
}

// Below the kernel's ephemeral range (32768 and up), so the port cannot be
// taken meanwhile as the local end of some outgoing connection: tests open
// thousands of them. Random, so parallel tests rarely try the same one.
int free_port() {
  static std::mt19937 pick(std::random_device{}());
  std::uniform_int_distribution<int> range(20000, 32000);
  for (int tries = 0; tries < 200; ++tries) {
    const int port = range(pick);
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    a.sin_port = htons(static_cast<uint16_t>(port));
    const bool taken = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0;
    ::close(fd);
    if (!taken) return port;
  }
  return 0;
}

void make_letter_levels(const std::string& root) {
  ::mkdir(root.c_str(), 0777);
  for (char a = 'A'; a <= 'Z'; ++a) {
    std::string l1 = root + "/" + a;
    ::mkdir(l1.c_str(), 0777);
    for (char b = 'A'; b <= 'Z'; ++b) {
      std::string l2 = l1 + "/" + b;
      ::mkdir(l2.c_str(), 0777);
      for (char c = 'A'; c <= 'Z'; ++c) ::mkdir((l2 + "/" + c).c_str(), 0777);
    }
  }
}

std::string raw_exchange(int port, std::string_view bytes, int timeout_ms) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  std::string got;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
    timeval tv{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    if (bytes.empty())
      ::shutdown(fd, SHUT_WR);  // a peer that sends nothing and closes its side
    else
      ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    char buf[4096];
    for (;;) {
      ssize_t n = ::recv(fd, buf, sizeof buf, 0);
      if (n <= 0) break;
      got.append(buf, static_cast<std::size_t>(n));
    }
  }
  ::close(fd);
  return got;
}

central_server::central_server(server_options opts)
    : binary_(opts.binary.empty() ? std::string(VELMOR_BUILD_DIR) + "/velmor-central" : opts.binary),
      max_descriptors_(opts.max_descriptors),
      port_(free_port()) {
  make_dirs(dir_ / "BIN");
  for (const char* d : {"DISK/UID32BASE", "DISK/PESEL", "DISK/LIST", "DISK/START"}) make_dirs(dir_ / d);
  write_file(dir_ / "BIN/version", "1.0.0\nLinux\n");
  if (opts.write_config) {
    std::string config = opts.config.empty() ? "PORT_CENTRAL=" + std::to_string(port_) + "&\n" : opts.config;
    // A configuration given by the test may name the port as @PORT@.
    for (std::size_t at; (at = config.find("@PORT@")) != std::string::npos;)
      config.replace(at, 6, std::to_string(port_));
    write_file(dir_ / "velmorTAVR.config", config);
  }
  if (opts.linked_letter_levels) {
    for (const char* tree : {"DISK/UID32BASE", "DISK/START"})
      for (char c = 'A'; c <= 'Z'; ++c) ::symlink(".", (dir_ / tree + "/" + c).c_str());
  }
  if (opts.letter_levels) {
    make_letter_levels(dir_ / "DISK/UID32BASE");
    make_letter_levels(dir_ / "DISK/START");
  }
}

central_server::~central_server() { stop(); }

pid_t central_server::spawn(uid_t as_user) {
  const std::string& bin = binary_;
  std::string out = dir_ / "stdout.log", err = dir_ / "stderr.log";
  pid_t pid = ::fork();
  if (pid == 0) {
    if (::chdir(dir_.path().c_str()) != 0) ::_exit(127);
    int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    ::dup2(o, 1);
    ::dup2(e, 2);
    int devnull = ::open("/dev/null", O_RDONLY);
    ::dup2(devnull, 0);
    // The server starts with its three standard streams only, as from a
    // shell: nothing of the test process leaks into it or its children.
    ::close_range(3, ~0U, 0);
    if (max_descriptors_ > 0) {
      rlimit rl{static_cast<rlim_t>(max_descriptors_), static_cast<rlim_t>(max_descriptors_)};
      ::setrlimit(RLIMIT_NOFILE, &rl);
    }
    if (as_user != 0 && (::setgid(as_user) != 0 || ::setuid(as_user) != 0)) ::_exit(126);
    ::execl(bin.c_str(), "velmor-central", static_cast<char*>(nullptr));
    // Said where the test looks, or a 127 would come without a reason.
    std::fprintf(stderr, "exec %s as uid %u: %s\n", bin.c_str(), static_cast<unsigned>(::getuid()), std::strerror(errno));
    ::_exit(127);
  }
  return pid;
}

bool central_server::start() {
  pid_ = spawn(0);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < deadline) {
    proto::reply r;
    if (proto::exchange("127.0.0.1", port_, "TEST=H00&", r, 2000) == proto::outcome::reply &&
        r.text == "REPLY=velmorTAVR_CENTRAL&")
      return true;
    int status;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

void central_server::launch() { pid_ = spawn(0); }

bool central_server::wait_output(std::string_view text, int timeout_ms) const {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (std::chrono::steady_clock::now() < deadline) {
    if (output().find(text) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

int central_server::run_to_exit(uid_t as_user) {
  pid_t pid = spawn(as_user);
  int status = 0;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < deadline) {
    if (::waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, &status, 0);
  return -2;  // still running
}

void central_server::stop() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  int status;
  ::waitpid(pid_, &status, 0);
  pid_ = -1;
}

std::string central_server::output() const { return read_file(dir_ / "stdout.log"); }
std::string central_server::errors() const { return read_file(dir_ / "stderr.log"); }

proto::outcome central_server::send(std::string_view message, proto::reply& out, int timeout_ms) const {
  return proto::exchange("127.0.0.1", port_, message, out, timeout_ms);
}

std::string central_server::ask(std::string_view message) const {
  proto::reply r;
  proto::outcome o = send(message, r);
  if (o != proto::outcome::reply) return std::string("<") + proto::describe(o) + ">";
  return r.text;
}

}  // namespace testing_support
