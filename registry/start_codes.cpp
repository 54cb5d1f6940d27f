#include "registry/start_codes.h"

#include <cstring>
#include <string_view>

#include "base/format.h"
#include "ids/checks.h"
#include "ids/uid.h"
#include "registry/journal_notes.h"
#include "store/append.h"
#include "store/date_field.h"
#include "store/line_reader.h"
#include "store/paths.h"
#include "store/settings.h"
#include "wire/message.h"

namespace {

// "CODE=" + 24 + "&VDATE=" + date + "&" must fit 80 bytes.
constexpr std::size_t line_size = 80;
constexpr std::size_t vdate_size = line_size - sizeof "CODE=XXXX-XXXX-XXXX-XXXX-XXXX&VDATE=&" + 1;
// Each round draws a code that is not yet in its file; a repeat is so rare
// that running out of rounds means something else is wrong.
constexpr int max_rounds = 1000;

int no_code(char* reply) {
  text_builder(reply, fmt::message_size).add("RE=get_start_code&CODE=null&");
  return -1;
}

int check_reply(char* reply, bool done) {
  text_builder(reply, fmt::message_size).add("RE=chk_scode&").field("STAT", done ? "done" : "null");
  return done ? 0 : -1;
}

// The folder and scode.q of the code's first three characters; false when the
// code names no folder of the start tree.
bool code_paths(const char* code, char* dir, std::size_t dir_cap, char* file, std::size_t file_cap) {
  return start_code_dir(code, dir, dir_cap) == 0 && join_path(dir, fname::start_code, file, file_cap) == 0;
}

}  // namespace

int valid_date(const char* date) {
  char stamp[24];
  if (get_time(stamp) != 0) return -1;
  long today = parse_leading_long(std::string_view(stamp).substr(sizeof "DATE=" - 1));
  return parse_leading_long(date) >= today ? 1 : 0;
}

int check_line_in_file(const char* path, const char* pattern, const char* mode) {
  line_reader file(path);
  while (const char* line = file.next()) {
    if (!std::strstr(line, pattern)) continue;
    if (is_null_value(mode)) return 0;
    char vdate[fmt::line_size];
    if (select_value(line, "VDATE", vdate) != field_found || is_null_value(vdate)) return 0;
    return valid_date(vdate) > 0 ? 0 : -1;
  }
  return -1;
}

int start_code(char* message, char* reply, const char* peer) {
  char vdate[vdate_size];
  int vdate_rc = select_value(message, "VDATE", vdate);
  if (!peer || !filtr_lan_ip(peer, "null")) return no_code(reply);
  // Refused rather than cut; a line break would split the stored line.
  if (vdate_rc == field_too_long || (vdate_rc == field_found && std::strchr(vdate, '\n'))) return no_code(reply);

  char code[25];
  char dir[fmt::line_size];
  char path[fmt::line_size];
  for (int round = 0;; ++round) {
    if (round == max_rounds || start_CODE(code) != 0) return no_code(reply);
    if (!code_paths(code, dir, sizeof dir, path, sizeof path)) return no_code(reply);
    if (check_line_in_file(path, code, "null") != 0) break;  // not issued yet
  }
  char line[line_size];
  text_builder b(line);
  b.field("CODE", code);
  if (vdate_rc == field_found) b.field("VDATE", vdate);
  if (!b.ok()) return no_code(reply);
  append_log written;
  if (add_text_line(dir, fname::start_code, line) != 0) return no_code(reply);
  // A code the journal misses would be lost by a rebuild: it is not issued.
  if (add_text_line(list_base, fname::start_journal, line) != 0) {
    take_back_request(written);
    return no_code(reply);
  }
  text_builder(reply, fmt::message_size).add("RE=get_start_code&").add(line);
  return 0;
}

int chk_start_code(char* message, char* reply) {
  char code[fmt::message_size];
  if (select_value(message, "CODE", code) != field_found) return check_reply(reply, false);
  char dir[fmt::line_size];
  char path[fmt::line_size];
  if (!code_paths(code, dir, sizeof dir, path, sizeof path)) return check_reply(reply, false);
  return check_reply(reply, check_line_in_file(path, code, "CHECK-VALID-DATA") == 0);
}
