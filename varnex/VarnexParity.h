#pragma once
// Parity over arrays of 32-bit words; the ECC-enable state of an EEN object is
// the parity of its first non-zero word. Each routine returns 0 when done and
// 2 for a missing argument (or, for SetValueParity, parity 1 wanted of 0).

#include <cstdint>

// 1 when the word has an odd number of set bits, else 0.
uint32_t Parity32(uint32_t word);
// The parity of the first non-zero word, 0 when every word is zero.
int GetArrayParity(const uint32_t* words, uint32_t count, uint32_t* parity);
// Clears the lowest set bit when the word's parity differs from wanted.
int SetValueParity(uint32_t* word, uint32_t wanted);
// Makes the first non-zero word carry the wanted parity; an all-zero array that
// must read 1 is first filled with 0xFFFFFFFF.
int SetArrayParity(uint32_t* words, uint32_t count, uint32_t wanted);
