// Rebuilding the three storage trees from the journals of the list folder.
#pragma once

// restore_files_local, for callers on the local network only: puts the
// numerator's counter file back, then empties the PESEL base, the UID32 base
// and the start folder in turn and replays the journals into them. Reply
// "RE=restore_files_local&STATUS=done&" (0) or
// "RE=restore_files_local&STATUS=refused&CP=<cause>&" (-1); a refusal leaves
// every step before it done and every step after it untouched.
int restore_files_local(char* message, char* reply, const char* peer);
// Empties the PESEL base as "rm -fr P/*" does: names beginning with '.' stay.
void clear_base_PESEL();
// Lays the UID32 base's letter skeleton with its "name" file and empties every
// third-level folder; leaves the file-creation mask at 0.
void clear_UID32BASE();
// The same for the start folder, marker "START".
void clear_base_START();
