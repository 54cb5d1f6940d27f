#include "registry/department_add.h"

#include <cstring>
#include <string_view>
#include <sys/stat.h>

#include "base/format.h"
#include "ids/uid.h"
#include "registry/department_record.h"
#include "store/lines.h"
#include "store/paths.h"
#include "store/settings.h"
#include "wire/message.h"

namespace {

constexpr char done_prefix[] = "RE=add_department&STATUS=done&";

void refuse(char* reply, const char* cause) {
  text_builder(reply, fmt::message_size).add("RE=add_department&STATUS=refused&").field("CP", cause);
}

// The fields of one department as a request or a stored line gives them.
template <std::size_t F>
struct dpt_fields {
  char uid32[F], euid[F], name[dpt_name_size], dep[F], nip[F], regon[F];
  char puid[F], portp[F], portq[F], nodes[F];
  int strip(const char* text) {
    return strip_dpt_string(text, uid32, euid, name, dep, nip, regon, puid, portp, portq, nodes);
  }
};
using request_fields = dpt_fields<dpt_request_field_size>;
using stored_fields = dpt_fields<dpt_stored_field_size>;

// The three texts an add makes: the PESEL node line, the UID32 node line and
// the full department text of the reply.
struct dpt_texts {
  char pesel[fmt::line_size];
  char node[fmt::line_size];
  char full[fmt::line_size];
};

bool reply_fits(const char* full) {
  return sizeof done_prefix - 1 + std::strlen(full) <= fmt::message_max;
}

// Whether the texts of request r under a pair of uid32/euid would be stored
// and answered whole, with a DATE field of the usual width.
bool texts_fit(const request_fields& r, const char* uid32, const char* euid) {
  static constexpr char date[] = "DATE=00000000-00:00:00&";
  dpt_texts t;
  return dep_string_dated(uid32, euid, r.name, r.dep, r.nip, r.regon, date, t.pesel) == 0 &&
         dep_string_uid32base_dated(uid32, euid, r.dep, r.name, r.puid, r.portp, r.portq, r.nodes,
                                    date, t.node) == 0 &&
         dep_string_full_dated(uid32, euid, r.name, r.dep, r.nip, r.regon, r.puid, r.portp, r.portq,
                               r.nodes, date, t.full) == 0 &&
         reply_fits(t.full);
}

// The texts with the clock read for each; false when one would not fit.
bool make_texts(const request_fields& r, dpt_texts& t) {
  return create_dep_string(r.uid32, r.euid, r.name, r.dep, r.nip, r.regon, t.pesel) == 0 &&
         create_dep_string_uid32base(r.uid32, r.euid, r.dep, r.name, r.puid, r.portp, r.portq,
                                     r.nodes, t.node) == 0 &&
         create_dep_string_full(r.uid32, r.euid, r.name, r.dep, r.nip, r.regon, r.puid, r.portp,
                                r.portq, r.nodes, t.full) == 0 &&
         reply_fits(t.full);
}

// The pesel.nod of an identifier into out[fmt::path_size]; false for a refused key.
bool pesel_nod_path(const char* identifier, char* out) {
  char dir[fmt::path_size];
  if (make_path_pesel(identifier, dir) != 0) return false;
  text_builder b(out, fmt::path_size);
  b.add(dir).add(fname::firm);
  return b.ok();
}

}  // namespace

namespace {

// The firm file the lookup read, still open for the append that follows it.
struct firm_file {
  const char* identifier = nullptr;  // the NIP or REGON whose pesel.nod fd is
  unique_fd fd;
};

// A firm file's last line containing needle: through a descriptor that can
// also append, kept in keep, when the file opens so; else by its path.
int read_firm_line(const char* identifier, const char* path, const char* needle, char* line,
                   firm_file& keep) {
  unique_fd fd = open_for_update(path);
  if (!fd) return read_last_line_containing(path, needle, line, fmt::line_size);
  int found = read_last_line_containing_at(fd.get(), needle, line, fmt::line_size);
  if (found != line_no_file) {
    keep.identifier = identifier;
    keep.fd = std::move(fd);
  }
  return found;
}

int find_firm(const char* dep, const char* nip, const char* regon, char* uid32_out, char* euid_out,
              firm_file& keep) {
  copy_text(uid32_out, dpt_stored_field_size, "null");
  copy_text(euid_out, dpt_stored_field_size, "null");

  // The firm's file: the NIP's, else the REGON's. Both readers look from the
  // end of the file, so a firm with many lines costs no more than one.
  char path[fmt::path_size];
  char line[fmt::line_size];
  int found = line_no_file;
  for (const char* id : {nip, regon}) {
    if (is_null_value(id) || !pesel_nod_path(id, path)) continue;
    found = read_firm_line(id, path, dep, line, keep);
    if (found != line_no_file) break;
  }
  if (found == line_no_file) return -1;

  stored_fields m;
  if (found == line_found) {
    // The last line holding the DEP text anywhere must be this department's.
    m.strip(line);
    copy_text(uid32_out, dpt_stored_field_size, m.uid32);
    copy_text(euid_out, dpt_stored_field_size, m.euid);
    bool has_pair = !is_null_value(m.uid32) && !is_null_value(m.euid);
    bool same_dep = std::string_view(m.dep) == dep;
    if (same_dep && std::string_view(m.nip) == nip && has_pair) return 1;
    if (same_dep && std::string_view(m.regon) == regon && is_null_value(nip) && has_pair) return 1;
    return 0;
  }

  // A new department inherits the pair of the firm's most recent line; an
  // empty file counts as a last line without fields.
  int last = keep.fd ? read_last_line_at(keep.fd.get(), line, sizeof line) : read_last_line(path, line, sizeof line);
  if (last != line_found) line[0] = '\0';
  m.strip(line);
  copy_text(uid32_out, dpt_stored_field_size, m.uid32);
  copy_text(euid_out, dpt_stored_field_size, m.euid);
  if (is_null_value(m.uid32) || is_null_value(m.euid)) return 0;
  if (std::string_view(m.nip) == nip) return 1;
  if (std::string_view(m.regon) == regon) return 1;
  return 0;
}

// add_node_to_pesel, through the lookup's descriptor when it holds this
// identifier's file (the folders exist then).
int add_firm_line(const char* identifier, const char* line, firm_file& firm) {
  if (firm.fd && firm.identifier == identifier)
    return append_line_and_close(std::move(firm.fd), line) == append_written ? 0 : -1;
  return add_node_to_pesel(identifier, line);
}

}  // namespace

int check_dep_in_pesel_base(const char* dep, const char* nip, const char* regon, char* uid32_out,
                            char* euid_out) {
  firm_file unused;
  return find_firm(dep, nip, regon, uid32_out, euid_out, unused);
}

int add_node_to_pesel(const char* identifier, const char* line) {
  char path[fmt::path_size];
  if (!pesel_nod_path(identifier, path)) return -1;
  return add_string_making_dirs(path, line, [identifier] { make_dir_pesel(identifier); });
}

int add_node_to_uid32base(const char* uid32, const char* line) {
  char entry[fmt::path_size];
  char path[fmt::path_size];
  if (uid32_entry_path(uid32, entry, sizeof entry) != 0 || join_path(entry, fname::node, path, sizeof path) != 0)
    return -1;
  // Only the entry is made; a missing letter level fails the append.
  return add_string_making_dirs(path, line, [&entry] { ::mkdir(entry, 0755); });
}

int add_department(char* message, char* reply) {
  request_fields r;
  if (r.strip(message) == 0) {
    refuse(reply, "incorrect_qvector");
    return -1;
  }
  // A request whose lines or reply could not be kept whole is refused as
  // malformed before the firm is looked at, whatever the firm's state.
  static constexpr char pair_sized[] = "XXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXX";
  if (!texts_fit(r, pair_sized, pair_sized)) {
    refuse(reply, "incorrect_qvector");
    return -1;
  }
  // The pair always comes from the firm's lines or from a fresh generation.
  // The firm file read here stays open for the department's line.
  firm_file firm;
  if (find_firm(r.dep, r.nip, r.regon, r.uid32, r.euid, firm) == 0) {
    refuse(reply, "incorrect_arguments");
    return -1;
  }
  if (is_null_value(r.uid32) && is_null_value(r.euid) && gen_UID64T(r.uid32, r.euid, 0) != 0) {
    refuse(reply, "no_gen_UID");
    return -1;
  }
  // Only a stored pair wider than an identifier can still overflow here.
  dpt_texts t;
  if (!make_texts(r, t)) {
    refuse(reply, "incorrect_qvector");
    return -1;
  }

  if (!is_null_value(r.nip) && add_firm_line(r.nip, t.pesel, firm) != 0) {
    refuse(reply, "no_file[1]");
    return -1;
  }
  if (!is_null_value(r.regon) && add_firm_line(r.regon, t.pesel, firm) != 0) {
    refuse(reply, "no_file[2]");
    return -1;
  }
  add_text_line(list_base, fname::firms_journal, t.pesel);  // journal failures go unreported
  if (add_node_to_uid32base(r.uid32, t.node) != 0) {
    refuse(reply, "no_file[3]");
    return -1;
  }
  add_text_line(list_base, fname::entries_journal, t.node);

  text_builder(reply, fmt::message_size).add(done_prefix).add(t.full);
  return 0;
}
