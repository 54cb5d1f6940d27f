// The notes beside the journals that a rebuild needs to give back the live
// trees: a block changes lines in place while its journal only appends, and
// a refused request leaves journal lines (journals keep every line they
// receive) that no tree received. Each note
// names a journal and the byte offset where the line begins:
//   JOURNAL=list_uid32base.q&AT=1234&LINE=0&   replaces line 0 of its file
//   JOURNAL=list_pesel_obj.q&AT=99&SKIP=1&     reached no tree
#pragma once
#include <sys/types.h>

#include "store/append.h"

// Notes that the journal line at offset at of journal (a name in the list
// folder) replaced line number line (from 0) of its tree file. 0, or -1.
int note_in_place(const char* journal, off_t at, long line);
// Notes every journal append still recorded in written (after its undo) as
// reaching no tree.
void note_unreached(const append_log& written);
// Takes a refused request's writes back: its tree lines are cut back, its
// journal lines stay as written (other programs read the journals) and are
// noted as reaching no tree.
void take_back_request(append_log& written);
// The offset where the last append recorded in written to journal began,
// -1 when there is none.
off_t last_append_at(const append_log& written, const char* journal);
