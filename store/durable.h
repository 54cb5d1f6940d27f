// Bringing what the server wrote to the disk before it is acknowledged: one
// syncfs per file system that holds a data folder, shared by every request
// answered since the last one.
#pragma once

// Opens the data folder and the four trees of the settings and keeps one
// descriptor per file system among them; call after the configuration is
// read. Folders that cannot be opened are left out. Replaces any earlier set.
void open_sync_targets();
// Syncs every kept file system through the write seam; 0, or -1 when one
// sync failed (opens the targets first if that was never done).
int sync_stored_data();
// Forgets the kept descriptors without closing them (a child process whose
// descriptors were closed for it); the next sync opens them anew.
void forget_sync_targets();
