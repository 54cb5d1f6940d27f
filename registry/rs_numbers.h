// Special numbers ("RS" and nine digits) come from the outside numerator
// program; after each one its counter file is copied into the list folder so
// that a rebuild of the stores can put it back.
#pragma once

// Operation get_special_pesel: runs "BIN/numerator", replies
// "RE=get_special_pesel&STATUS=done&PESEL=<number>&", then refreshes the
// counter copy. Refusals no_file[1], no_reply, no_copy[1], no_copy[2]. 0 / -1.
int get_special_pesel(char* message, char* reply);

// How long the numerator may take before it is ended and the request is
// answered as if it had printed nothing (no_reply). Tests shorten it.
extern long numerator_timeout_ms;
