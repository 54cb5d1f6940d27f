#include "admin/version_config.h"

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

#include "base/format.h"
#include "base/owners.h"
#include "ids/checks.h"
#include "wire/message.h"
#include "wire/reply.h"

namespace {

constexpr char version_path[] = "BIN/version";
constexpr char config_path[] = "velmorTAVR.config";
constexpr char temp_path[] = "velmorSOLK.tmp";
constexpr char port_key[] = "PORT_CENTRAL";
// Configuration lines up to this length are handled whole (the start-up
// reader takes at most 999 characters a line).
constexpr std::size_t config_line_size = 1024;
// The longest port that still fits "RE=get_tavr_config&PORTTAVR=...&".
constexpr std::size_t port_size = fmt::message_size - sizeof "RE=get_tavr_config&PORTTAVR=&" + 1;

// The next line of f without its newline into out[cap]. A longer line is cut
// to cap - 1 characters (cut set) and its rest skipped, so the next call
// starts at the next line. false at end of file.
bool next_line(std::FILE* f, char* out, std::size_t cap, bool& cut) {
  cut = false;
  if (!std::fgets(out, static_cast<int>(cap), f)) return false;
  std::size_t len = std::strlen(out);
  if (len > 0 && out[len - 1] == '\n') {
    out[len - 1] = '\0';
    return true;
  }
  for (int c; (c = std::fgetc(f)) != EOF && c != '\n';) cut = true;
  return true;
}

// path opened for reading; none when it names no regular file (a folder in
// its place opens but cannot be read).
unique_file open_for_reading(const char* path) {
  unique_file f(std::fopen(path, "re"));
  struct stat st;
  if (f && (::fstat(fileno(f.get()), &st) != 0 || !S_ISREG(st.st_mode))) f.reset();
  return f;
}

bool is_port_line(const char* line) { return std::strstr(line, port_key) != nullptr; }

int no_file_reply(char* reply, std::string_view op, std::string_view cause) {
  text_builder(reply, fmt::message_size).add("RE=").add(op).add("&IPTAVR=null&PORTTAVR=null&").field("CP", cause);
  return -1;
}

// Results of writing the new configuration.
enum class rewrite { done, unreadable, unwritable };

// Writes config with every port line replaced into temp.
rewrite copy_replacing(std::FILE* config, std::FILE* temp, const char* new_port_line) {
  char line[config_line_size];
  bool cut = false;
  while (next_line(config, line, sizeof line, cut)) {
    if (cut) return rewrite::unreadable;  // a line that cannot be copied whole
    const char* out = is_port_line(line) ? new_port_line : line;
    if (std::fputs(out, temp) == EOF || std::fputc('\n', temp) == EOF) return rewrite::unwritable;
  }
  return std::ferror(config) ? rewrite::unreadable : rewrite::done;
}

// The new configuration, complete and on disk, in the temporary file.
rewrite write_temp(std::FILE* config, const char* new_port_line) {
  struct stat st{};
  mode_t mode = ::fstat(fileno(config), &st) == 0 ? (st.st_mode & 07777) : 0644;
  unique_fd fd(::open(temp_path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode));
  if (!fd) return rewrite::unwritable;
  ::fchmod(fd.get(), mode);  // the configuration keeps its permissions whatever the umask
  unique_file temp(::fdopen(fd.get(), "w"));
  if (!temp) return rewrite::unwritable;
  fd.release();
  rewrite rc = copy_replacing(config, temp.get(), new_port_line);
  if (rc != rewrite::done) return rc;
  if (std::fflush(temp.get()) != 0 || ::fsync(fileno(temp.get())) != 0) return rewrite::unwritable;
  return temp.close() ? rewrite::done : rewrite::unwritable;
}

void sync_working_directory() {
  unique_fd dir(::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir) ::fsync(dir.get());
}

// A decimal port from 1 to 65535, digits only.
bool is_port_number(std::string_view text) {
  if (text.empty() || text.size() > 5) return false;
  long v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  return v >= 1 && v <= 65535;
}

}  // namespace

int versionTAVR(char*, char* reply) {
  unique_file file(open_for_reading(version_path));
  if (!file) {
    text_builder(reply, fmt::message_size).add("RE=versionTAVR&VER=null&SYS=null&CP=no_file&");
    return -1;
  }
  // Each line is reported with at most 127 characters.
  char ver[128] = "null";
  char sys[128] = "null";
  bool cut = false;
  if (next_line(file.get(), ver, sizeof ver, cut)) next_line(file.get(), sys, sizeof sys, cut);
  file.reset();
  text_builder(reply, fmt::message_size).add("RE=versionTAVR&").field("VER", ver).field("SYS", sys);
  return 0;
}

int get_tavr_config(char*, char* reply) {
  unique_file file(open_for_reading(config_path));
  if (!file) return no_file_reply(reply, "get_tavr_config", "no_file");
  char port[port_size] = "null";
  char line[config_line_size];
  bool cut = false;
  while (next_line(file.get(), line, sizeof line, cut))
    if (is_port_line(line)) select_value(line, port_key, port);
  file.reset();
  if (is_absent_field(port)) copy_text(port, "null");
  text_builder(reply, fmt::message_size).add("RE=get_tavr_config&").field("PORTTAVR", port);
  return 0;
}

int chg_tavr_config(char* message, char* reply, const char* peer) {
  if (!peer || !filtr_lan_ip(peer, "null")) return reply_refused(reply, "chg_tavr_config", "wrong_lan_ip");
  char value[fmt::message_size];
  if (select_value(message, "PORTTAVR", value) != field_found) return reply_refused(reply, "chg_tavr_config", "incorrect_qvector");
  // Only a port is written: any other text on the port line would be read at
  // the next start as further settings (every key applies to any line that
  // holds its name), and an empty value would stop that start.
  if (!is_port_number(value)) return reply_refused(reply, "chg_tavr_config", "incorrect_qvector");
  char new_port_line[config_line_size];
  if (!text_builder(new_port_line).field(port_key, value).ok()) return reply_refused(reply, "chg_tavr_config", "incorrect_qvector");

  unique_file config(open_for_reading(config_path));
  if (!config) return no_file_reply(reply, "chg_tavr_config", "no_file[1]");
  rewrite rc = write_temp(config.get(), new_port_line);
  config.reset();
  // The old configuration stays in place until the new one is complete; the
  // rename replaces it in one step, so there is always a configuration file.
  if (rc == rewrite::done && std::rename(temp_path, config_path) == 0) {
    sync_working_directory();
    return reply_done(reply, "chg_tavr_config");
  }
  ::unlink(temp_path);
  return no_file_reply(reply, "chg_tavr_config", rc == rewrite::unreadable ? "no_file[1]" : "no_file[2]");
}
