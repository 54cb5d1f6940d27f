// One server per working directory: an exclusive flock on DISK/velmor.lock,
// held for the life of the process. Block children inherit the descriptor
// and with it the lock; they never unlock it, and their exit does not let it
// go while the server holds its own copy.
#pragma once

inline constexpr char instance_lock_name[] = "DISK/velmor.lock";

// Takes the lock (DISK/ and the file made when missing). 0, or -1 when
// another process holds it or it cannot be taken; the descriptor is kept
// open on purpose.
int take_instance_lock();
