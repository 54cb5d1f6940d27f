// Random bytes drawn from the kernel a block at a time.
//
// Every request needs a few dozen random bytes (seeds for the two noise
// blocks of each frame it codes, and the characters of fresh identifiers),
// asked for in several small draws. A system call costs far more than the
// bytes, so a block of kernel random bytes is drawn at once and handed out
// in order to the draws that follow, across requests, until it runs short.
// Each byte is handed out once and erased from the block as it goes; a
// forked child starts with an empty block.
#pragma once
#include <cstddef>

// Same contract as kernel_random: fills buf with count bytes and returns 0,
// or -1 when the kernel's source cannot be used (callers fall back to
// /dev/urandom).
int reserve_random(unsigned char* buf, std::size_t count);
// Erases what is left of the block; the next draw fetches a new one.
void reserve_clear();
// How many drawn bytes are still waiting in the block.
std::size_t reserve_left();
