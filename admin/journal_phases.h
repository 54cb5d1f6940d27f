// Reading the journals of the list folder into replay plans, one phase per
// journal. A phase reads its lines in order and stops at the first line that
// refuses the restore; lines whose key gives no path in their tree are left
// out (written nowhere).
#pragma once
#include <cstdint>

#include "admin/replay_plan.h"

struct phase_result {
  std::uint64_t first_seq;  // sequence numbers [first_seq, end_seq) belong to the phase
  std::uint64_t end_seq;
  const char* stop_cause;   // nullptr when every line was planned, else the refusal
};

// Users or objects: key PESEL, target `file` in the key's PESEL-base folder.
// no_source when the journal cannot be opened, bad_line for a line without PESEL.
phase_result plan_pesel_phase(replay_plan& plan, const char* journal, const char* file,
                              const char* no_source, const char* bad_line);
// Departments: the line goes to pesel.nod under its NIP, then under its REGON.
phase_result plan_department_phase(replay_plan& plan, const char* journal, const char* no_source);
// UID32 entries: key UIDP (usr.q) else UID32 (node.q); neither refuses with bad_line.
phase_result plan_uid32_phase(replay_plan& plan, const char* journal, const char* no_source,
                              const char* bad_line);
// Node addresses: 65-byte records; ip.q of the UID32 entry gets "IPADDR=" address "&".
// A record whose address holds a line break is left out.
phase_result plan_address_phase(replay_plan& plan, const char* journal, const char* no_source,
                                const char* no_uid32, const char* no_address);
// Start codes: scode.q of the code's start-folder directory (no folder is made).
phase_result plan_start_phase(replay_plan& plan, const char* journal, const char* no_source,
                              const char* bad_line);
