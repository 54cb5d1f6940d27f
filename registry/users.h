// The add_usr and check_user operations: registering a user (or a new version
// of one) and telling a local server whether a user's identifiers still hold.
#pragma once

// Results of check_user_in_uid32base.
inline constexpr int user_valid = 0;
inline constexpr int user_node_problem = -1;  // node unknown or blocked, or the record names another node pair
inline constexpr int user_blocked = -2;       // the user's own identifiers were replaced

// add_usr: records the user of the request (a new person gets a fresh
// UIDP/EUIDP; a known person keeps the stored identifiers, DEP and NAME) and
// replies with the stored line. 0 done, -1 refused.
int add_usr(char* message, char* reply);
// check_user: "done", "blocked_node" or "blocked_user" for the request's
// UID32, EUID, UIDP and EUIDP. 0 done, -1 refused.
int check_user(char* message, char* reply);
// Compares the four identifiers with the last line of "node.q" in the entry
// of uid32 and the last line of "usr.q" in the entry of uidp. A user mismatch
// wins over a node mismatch in the same line; a missing file or an unsafe
// key is a node problem.
int check_user_in_uid32base(const char* uid32, const char* euid, const char* uidp, const char* euidp);
