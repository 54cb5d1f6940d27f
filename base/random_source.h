// The kernel's random bytes, for every draw of the system (noise seeds and
// identifier characters).
#pragma once
#include <cstddef>

// Fills buf with count bytes from /dev/urandom; 0, or -1 with errno EIO.
int dev_urandom(unsigned char* buf, std::size_t count);
// Fills buf with count bytes from the kernel's random source without opening
// anything (getrandom, never blocking); 0, or -1 when the call is unavailable,
// refused or the source is not ready yet (callers then use /dev/urandom).
int kernel_random(unsigned char* buf, std::size_t count);

// A source of random bytes with the contract of kernel_random; tests install
// their own in place of the default.
using random_source = int (*)(unsigned char* buf, std::size_t count);
