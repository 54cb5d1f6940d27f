// Starts the real velmor-central as root in a temporary working directory
// (configuration with a free port, BIN/, DISK/) and talks to it through the
// same client code velmor-cli uses.
#pragma once
#include <string>
#include <string_view>
#include <sys/types.h>

#include "tools/proto_client.h"

namespace testing_support {

// A scratch directory removed (with everything below it) on destruction.
class temp_dir {
 public:
  temp_dir();
  ~temp_dir();
  temp_dir(const temp_dir&) = delete;
  temp_dir& operator=(const temp_dir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(std::string_view rel) const { return path_ + "/" + std::string(rel); }

 private:
  std::string path_;
};

std::string read_file(const std::string& path);
// A connected TCP socket to 127.0.0.1:port, or -1; with receive_timeout_s,
// a receive that waits longer fails instead of hanging the test.
int connect_local(int port, int receive_timeout_s = 0);
// True when text holds line as one whole line.
bool has_line(const std::string& text, const std::string& line);
void write_file(const std::string& path, std::string_view content);
bool file_exists(const std::string& path);
void make_dirs(const std::string& path);  // mkdir -p
int free_port();
// The A..Z three-level folders under root (the letter levels of a tree).
void make_letter_levels(const std::string& root);

// Sends raw bytes to 127.0.0.1:port and returns every byte received until
// the peer closes (or timeout_ms passes).
std::string raw_exchange(int port, std::string_view bytes, int timeout_ms = 10000);

struct server_options {
  std::string config;         // empty: "PORT_CENTRAL=<free port>&" only
  bool write_config = true;
  bool letter_levels = false; // lay down the UID32-base and start-folder levels
  // Cheaper stand-in: each tree's letters are links back to the tree itself,
  // so every entry path resolves (all entries then share the top folder).
  bool linked_letter_levels = false;
  int max_descriptors = 0;     // > 0: the server's soft and hard descriptor limit
  std::string binary;          // empty: velmor-central of the build folder
};

inline server_options with_config(std::string config) {
  server_options o;
  o.config = std::move(config);
  return o;
}
inline server_options without_config() {
  server_options o;
  o.write_config = false;
  return o;
}
inline server_options with_linked_letter_levels() {
  server_options o;
  o.linked_letter_levels = true;
  return o;
}
inline server_options with_letter_levels() {
  server_options o;
  o.letter_levels = true;
  return o;
}

class central_server {
 public:
  explicit central_server(server_options opts = {});
  ~central_server();
  central_server(const central_server&) = delete;
  central_server& operator=(const central_server&) = delete;

  // Starts the binary and waits for the liveness reply; false if it never came.
  bool start();
  // Starts the binary without waiting for it to listen.
  void launch();
  // Waits until standard output contains text; false after timeout_ms.
  bool wait_output(std::string_view text, int timeout_ms = 10000) const;
  // Starts the binary and waits for it to exit; returns its exit status.
  int run_to_exit(uid_t as_user = 0);
  void stop();

  int port() const { return port_; }
  pid_t pid() const { return pid_; }
  const temp_dir& dir() const { return dir_; }
  std::string path(std::string_view rel) const { return dir_ / rel; }
  std::string output() const;  // what the server printed on standard output
  std::string errors() const;  // standard error

  proto::outcome send(std::string_view message, proto::reply& out, int timeout_ms = 15000) const;
  // The reply text; a failed exchange yields "<describe(outcome)>".
  std::string ask(std::string_view message) const;

 private:
  pid_t spawn(uid_t as_user);
  temp_dir dir_;
  std::string binary_;
  int max_descriptors_;
  int port_;
  pid_t pid_ = -1;
};

}  // namespace testing_support
