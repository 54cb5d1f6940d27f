#include "registry/department_record.h"

#include <string_view>
#include <utility>

#include "base/format.h"
#include "ids/checks.h"
#include "store/date_field.h"
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

int department::read_request(const char* text) {
  return strip_dpt_string(text, uid32, euid, name, dep, nip, regon, puid, portp, portq, nodes,
                          dpt_request_field_size, dpt_name_size);
}

int department::read_line(const char* text) {
  return strip_dpt_string(text, uid32, euid, name, dep, nip, regon, puid, portp, portq, nodes,
                          dpt_stored_field_size, dpt_name_size);
}

int make_department_text(department_text kind, const department& d, const char* date, char* out) {
  text_builder b(out, fmt::line_max + 1);  // at most what one record line may carry
  b.field("UID32", d.uid32).field("EUID", d.euid).field("NAME", d.name).field("DEP", d.dep);
  if (kind != department_text::node_line) b.field("NIP", d.nip).field("REGON", d.regon);
  if (kind != department_text::pesel_line)
    b.field("PUID", d.puid).field("PORTP", d.portp).field("PORTQ", d.portq).field("NODES", d.nodes);
  if (date) b.add(date);
  if (!b.ok()) {
    out[0] = '\0';
    return -1;
  }
  return 0;
}

const char* date_now(char (&buf)[24]) { return get_time(buf) == 0 ? buf : nullptr; }
