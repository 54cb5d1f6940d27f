#include "admin/restore.h"

#include <vector>

#include "admin/counter_copy.h"
#include "admin/journal_phases.h"
#include "admin/replay_plan.h"
#include "admin/replay_write.h"
#include "admin/tree_prune.h"
#include "base/format.h"
#include "ids/checks.h"
#include "store/settings.h"
#include "wire/message.h"
#include "wire/reply.h"

namespace {

struct planned_phase {
  phase_result result;
  const char* append_cause;  // when one of the phase's appends fails
};

// Plans phases in order until one stops the restore.
class tree_replay {
 public:
  bool run(phase_result r, const char* append_cause) {
    phases_.push_back({r, append_cause});
    return r.stop_cause == nullptr;
  }
  // Writes the plan; the refusal for the tree, nullptr when it was rebuilt.
  // A failed append comes before any later refusal, as in the line order.
  const char* write() {
    std::uint64_t cut = write_plan(plan);
    if (cut != no_seq)
      for (const planned_phase& p : phases_)
        if (cut >= p.result.first_seq && cut < p.result.end_seq) return p.append_cause;
    for (const planned_phase& p : phases_)
      if (p.result.stop_cause) return p.result.stop_cause;
    return nullptr;
  }
  replay_plan plan;

 private:
  std::vector<planned_phase> phases_;
};

const char* rebuild_pesel_base() {
  tree_replay t;
  // The journals are read before the tree is touched, so the clearing knows
  // which folders and files the replay makes again.
  t.run(plan_pesel_phase(t.plan, fname::users_journal, fname::person_users, "no_file[1]", "incorrect_qvector[1]"),
        "no_file[2]") &&
      t.run(plan_pesel_phase(t.plan, fname::objects_journal, fname::person_objects, "no_file[3]",
                             "incorrect_qvector[2]"),
            "no_file[4]") &&
      t.run(plan_department_phase(t.plan, fname::firms_journal, "no_file[5]"), "no_file[6]");
  prune_folder(pesel_base, t.plan);
  return t.write();
}

const char* rebuild_uid32_base() {
  tree_replay t;
  t.run(plan_uid32_phase(t.plan, fname::entries_journal, "no_file[7]", "incorrect_qvector[4]"), "no_file[8]") &&
      t.run(plan_address_phase(t.plan, fname::address_list, "no_file[9]", "incorrect_qvector[5]",
                               "incorrect_qvector[6]"),
            "no_file[10]");
  lay_letter_tree(uid32base, "UID32BASE", t.plan);
  return t.write();
}

const char* rebuild_start_folder() {
  tree_replay t;
  t.run(plan_start_phase(t.plan, fname::start_journal, "no_file[11]", "incorrect_qvector[7]"), "no_file[12]");
  lay_letter_tree(start_base, "START", t.plan);
  return t.write();
}

constexpr char op[] = "restore_files_local";

}  // namespace

int restore_files_local(char*, char* reply, const char* peer) {
  if (!peer || filtr_lan_ip(peer, "null") != 1) return reply_refused(reply, op, "wrong_lan_ip");
  restore_counter_file();
  // Memory for the journals and paths is the one thing that can run out; the
  // tree in hand is then reported as if its first journal could not be read.
  const char* stage = "no_file[1]";
  try {
    const char* cause = rebuild_pesel_base();
    stage = "no_file[7]";
    if (!cause) cause = rebuild_uid32_base();
    stage = "no_file[11]";
    if (!cause) cause = rebuild_start_folder();
    if (cause) return reply_refused(reply, op, cause);
  } catch (...) {
    return reply_refused(reply, op, stage);
  }
  return reply_done(reply, op);
}

void clear_base_PESEL() {
  replay_plan nothing;
  prune_folder(pesel_base, nothing);
}

void clear_UID32BASE() {
  replay_plan nothing;
  lay_letter_tree(uid32base, "UID32BASE", nothing);
}

void clear_base_START() {
  replay_plan nothing;
  lay_letter_tree(start_base, "START", nothing);
}
