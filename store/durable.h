// Bringing what the server wrote to the disk before it is acknowledged: one
// syncfs of every file system that holds a data folder (data and folder
// entries alike), shared by every request answered since the last one. The
// store's write primitives note that something was written; writes made
// beside them (the restore, the administrators' log, the counter, the
// configuration) are noted by the server; with nothing noted there is
// nothing to sync.
#pragma once

// Opens the data folder and the four trees of the settings and keeps one
// descriptor per file system among them; call after the configuration is
// read. Folders that cannot be opened are left out. Replaces any earlier set.
void open_sync_targets();
// Forgets the kept descriptors without closing them, and what was noted (a
// child process whose descriptors were closed for it); the next sync opens
// them anew.
void forget_sync_targets();

// A file was written (new_entry: its folder entry was made or renamed over).
void note_written_file(const char* path, bool new_entry);
// Something was written that the store did not note.
void note_unlisted_writes();

// What one sync covers, taken from the noted state so that the sync can run
// on another thread while new writes are noted for the next one.
struct sync_set {
  bool written = false;
  bool empty() const { return !written; }
};
// Takes what was noted since the last sync, leaving nothing noted.
sync_set take_noted();
// Syncs s through the write seam (safe on another thread than the noting
// one, once the targets are open); 0, or -1 when a sync failed.
int sync_set_now(const sync_set& s);
// take_noted and sync_set_now at once (opening the targets first if that was
// never done).
int sync_stored_data();
