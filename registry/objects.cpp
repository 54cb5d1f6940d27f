#include "registry/objects.h"

#include <charconv>
#include <climits>
#include <cstring>
#include <string_view>

#include "base/format.h"
#include "ids/checks.h"
#include "registry/journal_notes.h"
#include "store/append.h"
#include "store/line_reader.h"
#include "store/paths.h"
#include "store/settings.h"
#include "wire/message.h"
#include "wire/reply.h"

namespace {


// Request buffers (terminator included): longer values are refused.
constexpr std::size_t pesel_size = 48;
constexpr std::size_t uid32_size = 44;
constexpr std::size_t dep_size = 48;

// The identifier's pesel.obj into out[cap]; false when the identifier gives
// no path (not 11 characters, or levels that would leave the PESEL base).
bool object_path(const char* identifier, char* out, std::size_t cap) {
  char dir[fmt::line_size];
  if (make_path_pesel(identifier, dir) != 0) return false;
  return text_builder(out, cap).add(dir).add(fname::person_objects).ok();
}

}  // namespace

int check_line_in_file_obj(const char* path, const char* line) {
  line_reader file(path);
  while (const char* text = file.next())
    if (std::strcmp(text, line) == 0) return 1;
  return 0;
}

int save_pesel_obj(const char* identifier, const char* line) {
  char path[fmt::line_size];
  if (!object_path(identifier, path, sizeof path)) return -1;
  if (check_line_in_file_obj(path, line) == 1) return 0;  // listed already: nothing to write
  // The journal line is part of the record: without it the object is taken
  // back, so that a retry is not met by "listed already" with no journal line.
  append_log written;
  if (add_string_making_dirs(path, line, [identifier] { make_dir_pesel(identifier); }) != 0) return -1;
  if (add_text_line(list_base, fname::objects_journal, line) != 0) {
    take_back_request(written);
    return -1;
  }
  return 0;
}

int get_nlines_obj(const char* identifier) {
  char path[fmt::line_size];
  if (!object_path(identifier, path, sizeof path)) return 0;
  line_reader file(path);
  int count = 0;
  while (file.next() && count < INT_MAX) ++count;
  return count;
}

int read_obj_pesel_line(const char* identifier, long number, char* out, std::size_t cap) {
  char path[fmt::line_size];
  if (number <= 0 || !object_path(identifier, path, sizeof path)) return -1;
  line_reader file(path);
  long at = 0;
  while (const char* text = file.next())
    if (++at == number) return copy_text(out, cap, text) ? 0 : -2;
  return -1;
}

int add_pesel_obj(char* message, char* reply) {
  char pesel[pesel_size];
  char uid32[uid32_size];
  char dep[dep_size];
  bool fields = select_value(message, "PESEL", pesel) == field_found;
  fields = select_value(message, "UID32", uid32) == field_found && fields;
  fields = select_value(message, "DEP", dep) == field_found && fields;
  // A line break inside a value would split the stored line in two.
  for (const char* v : {pesel, uid32, dep})
    if (std::strchr(v, '\n')) fields = false;
  if (!fields) return reply_refused(reply, "add_pesel_obj", "incorrect_qvector");
  if (!check_form_pesel(pesel)) return reply_refused(reply, "add_pesel_obj", "incorrect_pesel");
  char line[fmt::line_size];
  if (!text_builder(line).field("PESEL", pesel).field("UID32", uid32).field("DEP", dep).ok())
    return reply_refused(reply, "add_pesel_obj", "incorrect_qvector");
  if (save_pesel_obj(pesel, line) != 0) return reply_refused(reply, "add_pesel_obj", "no_file");
  return reply_done(reply, "add_pesel_obj");
}

int get_nlines_pesel(char* message, char* reply) {
  char pesel[pesel_size];
  int count = 0;
  if (select_value(message, "PESEL", pesel) == field_found && std::strlen(pesel) == fmt::pesel_len)
    count = get_nlines_obj(pesel);
  char digits[16];
  *std::to_chars(digits, digits + sizeof digits - 1, count).ptr = '\0';
  text_builder(reply, fmt::message_size).add("RE=get_nlines_pesel&").field("NLINES", digits);
  return count > 0 ? 0 : -1;
}

int get_line_pesel_obj(char* message, char* reply) {
  char pesel[pesel_size];
  char nline[48];
  bool fields = select_value(message, "PESEL", pesel) == field_found;
  fields = select_value(message, "NLINE", nline) == field_found && fields;
  if (!fields || std::strlen(pesel) != fmt::pesel_len)
    return reply_refused(reply, "get_line_pesel_obj", "incorrect_qvector");
  long number = parse_leading_long(nline);
  if (number <= 0) return reply_refused(reply, "get_line_pesel_obj", "wrong_nline[1]");
  char line[fmt::message_size];
  int rc = read_obj_pesel_line(pesel, number, line, sizeof line);
  if (rc == -1) return reply_refused(reply, "get_line_pesel_obj", "wrong_nline[2]");
  if (rc != 0) return reply_refused(reply, "get_line_pesel_obj", "incorrect_qvector");  // too long for a reply
  copy_text(reply, fmt::message_size, line);
  return 0;
}
