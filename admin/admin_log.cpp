#include "admin/admin_log.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

#include "base/format.h"
#include "base/io.h"
#include "base/owners.h"
#include "ids/checks.h"
#include "store/date_field.h"
#include "store/paths.h"
#include "store/settings.h"
#include "wire/message.h"
#include "wire/reply.h"

namespace {

constexpr std::size_t nick_max = 20;
constexpr std::size_t text_size = log_record_size + 1;

// data folder + "/log.q" into out[cap]; false when it does not fit.
bool log_path(char* out, std::size_t cap) {
  char data[sizeof list_base];
  data_folder(data, sizeof data);
  return join_path(data, fname::admin_log, out, cap) == 0;
}

bool read_record(int fd, std::size_t index, char* record) {
  return read_exact(fd, record, log_record_size, static_cast<off_t>(index * log_record_size));
}

bool write_record(int fd, off_t at, const char* record) { return write_all(fd, record, log_record_size, at); }

std::size_t record_count(int fd, off_t& size) {
  struct stat st{};
  if (::fstat(fd, &st) != 0) return 0;
  size = st.st_size;
  return static_cast<std::size_t>(st.st_size) / log_record_size;
}

// The record's text up to its first zero byte, terminated, into out[61].
void raw_text(const char* record, char* out) {
  std::size_t len = strnlen(record, log_record_size);
  std::memcpy(out, record, len);
  out[len] = '\0';
}

// The value of key in the record's text, compared with want.
bool record_field_is(const char* text, const char* key, const char* want) {
  char value[text_size];
  return select_value(text, key, value) == field_found && std::strcmp(value, want) == 0;
}

}  // namespace

void make_log_record(const char* text, char* record) {
  std::size_t len = strnlen(text, log_record_size);
  std::memcpy(record, text, len);
  if (len < log_record_size) {
    record[len] = '\0';
    std::memset(record + len + 1, '0', log_record_size - len - 1);
  }
}

void log_record_text(const char* record, char* out) {
  raw_text(record, out);
  char* last = std::strrchr(out, '&');
  if (last) last[1] = '\0';
}

int log_file(const char* identifier, const char* nick) {
  char text[128];
  text_builder t(text);
  t.field("PESEL", identifier).field("NICK", nick);
  char stamp[24];
  if (get_time(stamp) == 0) t.add(stamp);
  if (!t.ok()) return -1;
  char record[log_record_size];
  make_log_record(text, record);

  char path[fmt::line_size];
  if (!log_path(path, sizeof path)) return -1;
  off_t size = 0;
  {
    unique_fd log(::open(path, O_RDWR | O_CLOEXEC));
    if (log) {
      std::size_t count = record_count(log.get(), size);
      for (std::size_t i = 0; i < count; ++i) {
        char old[log_record_size];
        char old_text[text_size];
        if (!read_record(log.get(), i, old)) break;
        raw_text(old, old_text);
        if (!record_field_is(old_text, "PESEL", identifier)) continue;
        bool ok = write_record(log.get(), static_cast<off_t>(i * log_record_size), record);
        return ok && ::close(log.release()) == 0 ? 1 : -1;
      }
    }
  }
  unique_fd log(::open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
  if (!log) return -1;
  // A partial last record (the file was cut or written from outside) is
  // padded to a whole one, so every record keeps its 60-byte place.
  off_t end = static_cast<off_t>(record_count(log.get(), size) * log_record_size);
  if (end < size) end += static_cast<off_t>(log_record_size);
  bool ok = write_record(log.get(), end, record);
  return ok && ::close(log.release()) == 0 ? 1 : -1;
}

int read_log_file(const char* path, const char* identifier, const char* nick, char* out) {
  copy_text(out, text_size, "null");
  unique_fd log(::open(path, O_RDONLY | O_CLOEXEC));
  // A folder in the log's place opens but cannot be read: no log either.
  struct stat st;
  if (!log || ::fstat(log.get(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  off_t size = 0;
  std::size_t count = record_count(log.get(), size);
  bool by_id = !is_null_value(identifier);
  bool by_nick = !is_null_value(nick);
  for (std::size_t i = 0; i < count; ++i) {
    char record[log_record_size];
    char text[text_size];
    if (!read_record(log.get(), i, record)) break;
    log_record_text(record, text);
    if ((by_id && record_field_is(text, "PESEL", identifier)) || (by_nick && record_field_is(text, "NICK", nick))) {
      copy_text(out, text_size, text);
      break;
    }
  }
  return 0;
}

int log_adm(char* message, char* reply) {
  char pesel[48];
  char nick[nick_max + 1];
  int pesel_rc = select_value(message, "PESEL", pesel);
  int nick_rc = select_value(message, "NICK", nick);
  if (pesel_rc == field_absent || nick_rc == field_absent) return reply_refused(reply, "log_adm", "incorrect_qvector[1]");
  if (nick_rc == field_too_long) return reply_refused(reply, "log_adm", "incorrect_qvector[2]");
  if (pesel_rc == field_too_long || std::strlen(pesel) != fmt::pesel_len)
    return reply_refused(reply, "log_adm", "incorrect_qvector[3]");
  if (!check_form_pesel(pesel)) return reply_refused(reply, "log_adm", "incorrect_qvector[4]");
  if (log_file(pesel, nick) < 0) return reply_refused(reply, "log_adm", "no_log");
  return reply_done(reply, "log_adm");
}

int get_last_log(char* message, char* reply) {
  char pesel[48];
  char nick[nick_max + 1] = "null";
  if (select_value(message, "PESEL", pesel) != field_found) return reply_refused(reply, "get_last_log", "incorrect_qvector[1]");
  if (is_null_value(pesel) && select_value(message, "NICK", nick) != field_found)
    return reply_refused(reply, "get_last_log", "incorrect_qvector[2]");
  char path[fmt::line_size];
  char found[text_size];
  if (!log_path(path, sizeof path) || read_log_file(path, pesel, nick, found) < 0)
    return reply_refused(reply, "get_last_log", "no_file");
  done_reply(reply, "get_last_log").add(is_null_value(found) ? "" : found);
  return 0;
}
