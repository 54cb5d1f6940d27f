// Bringing what the server wrote to the disk before it is acknowledged. The
// store's write primitives note every file they change; a sync brings the
// data of those files (fdatasync) and the folders whose entries changed,
// up to the data folder (fsync), to the disk, once for every request
// answered since the last sync. Writes made outside the primitives (the
// restore, the administrators' log, the counter, the configuration) make
// the next sync one syncfs of every file system holding a data folder.
#pragma once

// Opens the data folder and the four trees of the settings and keeps one
// descriptor per file system among them; call after the configuration is
// read. Folders that cannot be opened are left out. Replaces any earlier set.
void open_sync_targets();
// A file whose data changed; new_entry: its folder entry changed too (made
// or renamed over), so its folder and those above it are synced as well.
void note_written_file(const char* path, bool new_entry);
// Something was written that the store did not note.
void note_unlisted_writes();
// Syncs what was noted since the last sync (or every kept file system,
// after unlisted writes or more files than are kept track of) through the
// write seam; 0, or -1 when one sync failed. Nothing noted: nothing synced.
int sync_stored_data();
// Forgets the kept descriptors without closing them (a child process whose
// descriptors were closed for it); the next sync opens them anew.
void forget_sync_targets();
