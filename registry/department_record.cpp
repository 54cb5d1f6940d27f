#include "registry/department_record.h"

#include <string_view>
#include <utility>

#include "base/format.h"
#include "ids/checks.h"
#include "store/lines.h"
#include "wire/message.h"

namespace {

enum class field_state { present, absent, unfit };

// One field into dst[cap]. An absent field, or one too long for its buffer,
// reads as "null". A value wider than its field or holding a newline is kept
// but marked unfit: it could not be stored as (part of) one record line.
field_state read_field(const char* text, const char* key, char* dst, std::size_t cap,
                       std::size_t width) {
  int r = select_value(text, key, dst, cap);
  if (r == field_found) {
    std::string_view v(dst);
    return v.size() > width || v.find('\n') != std::string_view::npos ? field_state::unfit
                                                                       : field_state::present;
  }
  copy_text(dst, cap, "null");
  return r == field_too_long ? field_state::unfit : field_state::absent;
}

// A NIP or REGON value passes as "null" or in a checked identifier form.
bool identifier_ok(const char* v) { return is_null_value(v) || check_form_pesel(v) == 1; }

// A builder over out that holds at most what one record line may carry.
text_builder line_builder(char* out) { return text_builder(out, fmt::line_max + 1); }

int finish(text_builder& b, const char* date, char* out) {
  if (date) b.add(date);
  if (!b.ok()) {
    out[0] = '\0';
    return -1;
  }
  return 0;
}

// Reads the clock once; nullptr when it cannot be read.
const char* clock_date(char (&buf)[24]) { return get_time(buf) == 0 ? buf : nullptr; }

}  // namespace

int strip_dpt_string(const char* text, char* uid32, char* euid, char* name, char* dep, char* nip,
                     char* regon, char* puid, char* portp, char* portq, char* nodes,
                     std::size_t field_cap, std::size_t name_cap) {
  int verdict = 1;
  // The pair may be missing; it must still fit when it is there.
  for (auto [key, dst] : {std::pair{"UID32", uid32}, std::pair{"EUID", euid}})
    if (read_field(text, key, dst, field_cap, fmt::id_len) == field_state::unfit) verdict = 0;

  struct required {
    const char* key;
    char* dst;
    std::size_t cap;
    std::size_t width;
  };
  const required fields[] = {
      {"NAME", name, name_cap, fmt::name_max},
      {"DEP", dep, field_cap, fmt::dep_max},
      {"NIP", nip, field_cap, fmt::pesel_len},
      {"REGON", regon, field_cap, fmt::pesel_len},
      {"PUID", puid, field_cap, fmt::short_field_max},
      {"PORTP", portp, field_cap, fmt::short_field_max},
      {"PORTQ", portq, field_cap, fmt::short_field_max},
      {"NODES", nodes, field_cap, fmt::short_field_max},
  };
  for (const required& f : fields)
    if (read_field(text, f.key, f.dst, f.cap, f.width) != field_state::present) verdict = 0;

  if (is_null_value(nip) && is_null_value(regon)) verdict = 0;
  for (const char* v : {puid, portq, portp, nodes, dep, name})
    if (is_null_value(v)) verdict = 0;
  if (!identifier_ok(nip)) verdict = 0;
  if (!identifier_ok(regon)) verdict = 0;
  return verdict;
}

int strip_small_dpt_string(const char* text, char* nip, char* regon, char* dep, std::size_t field_cap) {
  int verdict = 1;
  if (read_field(text, "DEP", dep, field_cap, fmt::dep_max) != field_state::present) verdict = 0;
  if (read_field(text, "NIP", nip, field_cap, fmt::pesel_len) != field_state::present) verdict = 0;
  if (read_field(text, "REGON", regon, field_cap, fmt::pesel_len) != field_state::present) verdict = 0;
  if (!identifier_ok(nip)) verdict = 0;
  if (!identifier_ok(regon)) verdict = 0;
  return verdict;
}

int dep_string_dated(const char* uid32, const char* euid, const char* name, const char* dep,
                     const char* nip, const char* regon, const char* date, char* out) {
  text_builder b = line_builder(out);
  b.field("UID32", uid32).field("EUID", euid).field("NAME", name).field("DEP", dep);
  b.field("NIP", nip).field("REGON", regon);
  return finish(b, date, out);
}

int dep_string_uid32base_dated(const char* uid32, const char* euid, const char* dep,
                               const char* name, const char* puid, const char* portp,
                               const char* portq, const char* nodes, const char* date, char* out) {
  text_builder b = line_builder(out);
  b.field("UID32", uid32).field("EUID", euid).field("NAME", name).field("DEP", dep);
  b.field("PUID", puid).field("PORTP", portp).field("PORTQ", portq).field("NODES", nodes);
  return finish(b, date, out);
}

int dep_string_full_dated(const char* uid32, const char* euid, const char* name, const char* dep,
                          const char* nip, const char* regon, const char* puid, const char* portp,
                          const char* portq, const char* nodes, const char* date, char* out) {
  text_builder b = line_builder(out);
  b.field("UID32", uid32).field("EUID", euid).field("NAME", name).field("DEP", dep);
  b.field("NIP", nip).field("REGON", regon);
  b.field("PUID", puid).field("PORTP", portp).field("PORTQ", portq).field("NODES", nodes);
  return finish(b, date, out);
}

int create_dep_string(const char* uid32, const char* euid, const char* name, const char* dep,
                      const char* nip, const char* regon, char* out) {
  char date[24];
  return dep_string_dated(uid32, euid, name, dep, nip, regon, clock_date(date), out);
}

int create_dep_string_uid32base(const char* uid32, const char* euid, const char* dep,
                                const char* name, const char* puid, const char* portp,
                                const char* portq, const char* nodes, char* out) {
  char date[24];
  return dep_string_uid32base_dated(uid32, euid, dep, name, puid, portp, portq, nodes,
                                    clock_date(date), out);
}

int create_dep_string_full(const char* uid32, const char* euid, const char* name, const char* dep,
                           const char* nip, const char* regon, const char* puid, const char* portp,
                           const char* portq, const char* nodes, char* out) {
  char date[24];
  return dep_string_full_dated(uid32, euid, name, dep, nip, regon, puid, portp, portq, nodes,
                               clock_date(date), out);
}
