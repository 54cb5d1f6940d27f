// Department fields: the parsers that read them from a request or a stored
// line, and the makers of the three department texts (the PESEL node line,
// the UID32 node line and the full department text).
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

// The makers write their text into out[512], replacing what it held, with
// the DATE field of get_time last (left out when the clock cannot be read).
// 0, or -1 with out empty when the text would pass 510 characters.

// PESEL node line: UID32 EUID NAME DEP NIP REGON DATE.
int create_dep_string(const char* uid32, const char* euid, const char* name, const char* dep,
                      const char* nip, const char* regon, char* out);
// UID32 node line: UID32 EUID NAME DEP PUID PORTP PORTQ NODES DATE (the
// arguments take dep before name).
int create_dep_string_uid32base(const char* uid32, const char* euid, const char* dep,
                                const char* name, const char* puid, const char* portp,
                                const char* portq, const char* nodes, char* out);
// Full department text: UID32 EUID NAME DEP NIP REGON PUID PORTP PORTQ NODES DATE.
int create_dep_string_full(const char* uid32, const char* euid, const char* name, const char* dep,
                           const char* nip, const char* regon, const char* puid, const char* portp,
                           const char* portq, const char* nodes, char* out);

// The same texts with the DATE field given as text (nullptr: no DATE field),
// without reading the clock.
int dep_string_dated(const char* uid32, const char* euid, const char* name, const char* dep,
                     const char* nip, const char* regon, const char* date, char* out);
int dep_string_uid32base_dated(const char* uid32, const char* euid, const char* dep,
                               const char* name, const char* puid, const char* portp,
                               const char* portq, const char* nodes, const char* date, char* out);
int dep_string_full_dated(const char* uid32, const char* euid, const char* name, const char* dep,
                          const char* nip, const char* regon, const char* puid, const char* portp,
                          const char* portq, const char* nodes, const char* date, char* out);
