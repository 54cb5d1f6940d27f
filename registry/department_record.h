// A department: the parsers that read its fields from a request or a stored
// line, the one record type that holds them, and the one maker of its three
// texts (the PESEL node line, the UID32 node line and the full department
// text), used alike by add, block and query.
#pragma once
#include <cstddef>

// Output sizes of the parsers: short fields of a request, short fields of a
// stored line, and NAME.
inline constexpr std::size_t dpt_request_field_size = 48;
inline constexpr std::size_t dpt_stored_field_size = 40;
inline constexpr std::size_t dpt_name_size = 256;

// Reads the ten department fields of text (a request or one stored line) into
// the outputs (short fields field_cap bytes, at least 40; name name_cap bytes,
// at least 256), each the field's value or "null" (absent, or too long for its
// buffer). 1 when the fields form a valid department, 0 otherwise; a value
// wider than its field, or holding a newline, makes the verdict 0.
int strip_dpt_string(const char* text, char* uid32, char* euid, char* name, char* dep, char* nip,
                     char* regon, char* puid, char* portp, char* portq, char* nodes,
                     std::size_t field_cap, std::size_t name_cap);

template <std::size_t F, std::size_t N>
int strip_dpt_string(const char* text, char (&uid32)[F], char (&euid)[F], char (&name)[N],
                     char (&dep)[F], char (&nip)[F], char (&regon)[F], char (&puid)[F],
                     char (&portp)[F], char (&portq)[F], char (&nodes)[F]) {
  static_assert(F >= dpt_stored_field_size && N >= dpt_name_size);
  return strip_dpt_string(text, uid32, euid, name, dep, nip, regon, puid, portp, portq, nodes, F, N);
}

// Reads DEP, NIP and REGON (the fields naming departments to block) into
// outputs of field_cap bytes (at least 40). 1 or 0 as above; "null" passes.
int strip_small_dpt_string(const char* text, char* nip, char* regon, char* dep, std::size_t field_cap);

template <std::size_t F>
int strip_small_dpt_string(const char* text, char (&nip)[F], char (&regon)[F], char (&dep)[F]) {
  static_assert(F >= dpt_stored_field_size);
  return strip_small_dpt_string(text, nip, regon, dep, F);
}

// One department: its ten fields as a request or a stored line gives them.
// Read from a request, a value a little too wide for its field is kept so
// that the verdict refuses it; read from a stored line, a value that does not
// fit a stored field reads as "null".
struct department {
  char uid32[dpt_request_field_size], euid[dpt_request_field_size], name[dpt_name_size];
  char dep[dpt_request_field_size], nip[dpt_request_field_size], regon[dpt_request_field_size];
  char puid[dpt_request_field_size], portp[dpt_request_field_size], portq[dpt_request_field_size];
  char nodes[dpt_request_field_size];

  // strip_dpt_string's verdict over a request message.
  int read_request(const char* text);
  // strip_dpt_string over one stored line; callers reading stored lines
  // ignore the verdict (a PESEL node line has no ports).
  int read_line(const char* text);
};

// The three texts of a department.
enum class department_text {
  pesel_line,  // UID32 EUID NAME DEP NIP REGON DATE: pesel.nod and its journal
  node_line,   // UID32 EUID NAME DEP PUID PORTP PORTQ NODES DATE: node.q and its journal
  full,        // UID32 EUID NAME DEP NIP REGON PUID PORTP PORTQ NODES DATE: the reply
};

// Writes the text of d into out[fmt::line_size], replacing what it held,
// with date (a whole DATE field, or nullptr for none) last. 0, or -1 with out
// empty when the text would pass 510 characters.
int make_department_text(department_text kind, const department& d, const char* date, char* out);
// Today's DATE field into buf, or nullptr when the clock cannot be read.
const char* date_now(char (&buf)[24]);
