// Noise bytes (0..254) for the frame coding.
#pragma once
#include <cstddef>
#include <cstdint>

// Fills buf with count bytes from /dev/urandom; 0, or -1 with errno EIO.
int dev_urandom(unsigned char* buf, std::size_t count);
// Next value of Marsaglia's xorshf96 generator.
std::uint64_t xorshf96();
// Reseeds both generators and fills n bytes (n even) with noise. Never writes
// past n: an odd n gets its last byte from the C library generator alone.
void noise_gen(unsigned char* buf, std::size_t n);
