// Random bytes for one request, drawn from the kernel in one call.
//
// Every request needs a few dozen random bytes (seeds for the two noise
// blocks of each frame it codes, and the characters of fresh identifiers),
// asked for in several small draws. A system call costs far more than the
// bytes, so the first draw fetches a block and the later ones of the same
// request take from it. The server clears the block when a request ends: no
// byte outlives the request it was drawn for.
#pragma once
#include <cstddef>

// Same contract as kernel_random: fills buf with count bytes and returns 0,
// or -1 when the kernel's source cannot be used (callers fall back to
// /dev/urandom). Bytes handed out are erased from the block.
int reserve_random(unsigned char* buf, std::size_t count);
// Erases what is left of the block; the next draw fetches a new one.
void reserve_clear();
// How many drawn bytes are still waiting in the block.
std::size_t reserve_left();
