// One server per working directory: an exclusive flock on DISK/velmor.lock,
// held for the life of the process. Block children inherit the descriptor
// and with it the lock; they never unlock it, and their exit does not let it
// go while the server holds its own copy. A child keeps its copy open, so a
// server started after this one was killed waits for its blocks to end.
#pragma once

inline constexpr char instance_lock_name[] = "DISK/velmor.lock";

inline constexpr int instance_lock_held = -1;      // another process holds it
inline constexpr int instance_lock_unusable = -2;  // the file cannot be opened or locked

// Takes the lock (DISK/ and the file made when missing): 0, or one of the
// codes above. The descriptor is kept open on purpose.
int take_instance_lock();
// The lock's descriptor, -1 before it was taken.
int instance_lock_fd();
