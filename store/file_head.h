// The head of a record file in one request to the kernel.
//
// Most record files hold a few lines, and reading one the usual way takes
// three system calls (open, read, close), each costing more than the work it
// asks for. Where the kernel offers a submission ring (io_uring), the three go
// to it linked, in one call; where it does not (an old kernel, a system that
// forbids the ring), the plain calls are made. Nothing is kept open between
// calls.
#pragma once
#include <cstddef>
#include <sys/types.h>

// Reads up to cap bytes from the start of path into buf: the count read, the
// whole file when it is smaller than cap. -1 when the file cannot be opened,
// or read as a file (a folder). Opened non-blocking, so a pipe in a file's
// place reads as empty or fails instead of holding the caller up.
ssize_t read_file_head(const char* path, char* buf, std::size_t cap);

// Makes the calling thread's ring now rather than at its first read, so that
// a server's descriptors are the same from its first request to its last.
// True when the ring is usable.
bool start_file_head_ring();
// Whether read_file_head goes through the ring (false once the kernel has
// refused it, or while it is turned off below).
bool file_head_uses_ring();
// Turns the ring off (false) or on again for the calling thread, so that the
// plain calls can be tested and measured on a kernel that has the ring.
// Returns the previous setting.
bool allow_file_head_ring(bool allowed);
