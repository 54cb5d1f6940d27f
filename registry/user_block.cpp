#include "registry/user_block.h"

#include <cstring>

#include "base/format.h"
#include "ids/uid.h"
#include "registry/nodes.h"
#include "registry/user_record.h"
#include "store/lines.h"
#include "store/paths.h"
#include "wire/client.h"
#include "wire/message.h"
#include "wire/reply.h"

namespace {

struct user_fields {
  user_field uid32, euid, uidp, euidp, pesel, dep, stat, range, act;
  user_name name;
  int parse(const char* text) {
    return strip_user_string(text, uid32, euid, uidp, euidp, pesel, dep, name, stat, range, act);
  }
};

}  // namespace

int block_user(char* message, char* reply) {
  constexpr char op[] = "block_user";
  user_fields u;
  if (u.parse(message) == 0) return reply_refused(reply, op, "incorrect_qvector");
  user_line record;
  if (create_user_small_string(u.uid32, u.euid, u.uidp, u.euidp, u.pesel, u.dep, u.name, u.stat, record) != 0)
    return reply_refused(reply, op, "incorrect_qvector");
  if (save_user_to_structures(u.uidp, u.pesel, record) != 0) return reply_refused(reply, op, "no_file");
  return reply_done(reply, op);
}

int block_user_by_central_admin(char* message, char* reply) {
  constexpr char op[] = "block_user_by_central_admin";
  user_field pesel;
  if (select_value(message, "PESEL", pesel) != field_found)
    return reply_refused(reply, op, "incorrect_qvector[1]");
  user_line current;
  if (read_user_from_pesel(pesel, current) != 0) return reply_refused(reply, op, "no_file");
  user_fields stored;
  stored.parse(current);
  if (std::strcmp(stored.pesel, pesel) != 0) return reply_refused(reply, op, "incorrect_qvector[2]");
  char scratch[40];
  char new_euidp[40] = "";
  if (gen_UID64T(scratch, new_euidp, 0) != 0) return reply_refused_bare(reply, op, "gen_error");
  user_line record;
  if (create_user_small_string(stored.uid32, stored.euid, stored.uidp, new_euidp, stored.pesel, stored.dep,
                               stored.name, stored.stat, record) != 0 ||
      save_user_to_structures(stored.uidp, pesel, record) != 0)
    return reply_refused(reply, op, "no_file");
  // The new version stays recorded even when the notice fails: the user is
  // blocked centrally either way.
  if (send_block_usr_to_SOLK(stored.uid32, pesel, new_euidp) != 0)
    return reply_refused(reply, op, "no_connect_SOLK");
  return reply_done(reply, op);
}

int send_block_usr_to_SOLK(const char* node_uid32, const char* pesel, const char* new_euidp) {
  char entry[fmt::path_size], node_file[fmt::path_size];
  if (uid32_entry_path(node_uid32, entry, sizeof entry) != 0 ||
      join_path(entry, fname::node, node_file, sizeof node_file) != 0)
    return -1;
  char last[fmt::line_size];
  if (read_last_line(node_file, last, sizeof last) != line_found) return -1;
  char puid[fmt::line_size];
  if (select_value(last, "PUID", puid) != field_found) return -1;
  char address[fmt::peer_size];
  if (read_node_address(node_uid32, address) != 0) return -1;
  char request[fmt::message_size];
  text_builder r(request);
  r.add("OP=block_user_by_TAVR&").field("PESEL", pesel).field("EUIDP", new_euidp);
  long port = parse_leading_long(puid);
  if (!r.ok() || port == 0) return -1;
  char answer[fmt::message_size];
  if (client_U(address, static_cast<int>(port), request, answer) < 0) return -1;
  return std::strstr(answer, "refused") ? -1 : 0;
}
