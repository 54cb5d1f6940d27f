#include "registry/rs_numbers.h"

#include <cstdio>
#include <cstring>
#include <string_view>

#include "base/format.h"
#include "base/owners.h"
#include "store/paths.h"
#include "store/settings.h"
#include "wire/message.h"
#include "wire/reply.h"

namespace {

constexpr char numerator_command[] = "BIN/numerator";

constexpr char op[] = "get_special_pesel";

// One shell word: the text in single quotes, each quote written as '\''.
// Folder names from the configuration then never reach the shell as syntax.
void add_quoted(text_builder& b, std::string_view text) {
  b.add("'");
  for (std::size_t at; (at = text.find('\'')) != std::string_view::npos; text.remove_prefix(at + 1))
    b.add(text.substr(0, at)).add("'\\''");
  b.add(text).add("'");
}

// "cp D/rs_last_number.txt L/rs_last_number.txt" into out; false when it does
// not fit.
bool copy_command(char* out, std::size_t cap) {
  char data[sizeof list_base];
  data_folder(data, sizeof data);
  text_builder b(out, cap);
  b.add("cp ");
  add_quoted(b, data);
  b.add("/").add(fname::counter).add(" ");
  add_quoted(b, list_base);
  b.add("/").add(fname::counter);
  return b.ok();
}

}  // namespace

int get_special_pesel(char*, char* reply) {
  // At most 19 characters of the numerator's first line.
  char number[20] = "null";
  {
    unique_pipe numerator(::popen(numerator_command, "re"));
    if (!numerator) return reply_refused(reply, op, "no_file[1]");
    char line[sizeof number];
    if (std::fgets(line, sizeof line, numerator.get())) copy_text(number, line);
  }
  number[std::strcspn(number, "\n")] = '\0';
  // An empty line is no number either; an '&' would end the reply's field.
  if (is_null_value(number) || number[0] == '\0' || std::strchr(number, '&')) return reply_refused(reply, op, "no_reply");

  char command[4 * sizeof list_base + 64];
  if (!copy_command(command, sizeof command)) return reply_refused(reply, op, "no_copy[1]");
  {
    unique_pipe copy(::popen(command, "re"));
    if (!copy) return reply_refused(reply, op, "no_copy[1]");
    char out[80] = "";
    if (!std::fgets(out, sizeof out, copy.get())) out[0] = '\0';
    if (std::strlen(out) >= 4) return reply_refused(reply, op, "no_copy[2]");
  }
  done_reply(reply, op).field("PESEL", number);
  return 0;
}
