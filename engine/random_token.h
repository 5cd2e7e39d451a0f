// The random generator behind new installation tokens.
//
// `srand` and `rand` are this project's own generator, the classic linear
// congruential one, with one state per thread: tokens drawn from a given seed
// are the same on every platform and every thread.
#pragma once

#include <cstdint>

#include "platform.h"

namespace engine {

// Each thread's generator state. The program that hosts the engine allocates
// the slot before the first draw and frees it at its end; the DLL does so at
// process attach and detach.
extern ThreadSlot g_generatorStateSlot;

// Sets the calling thread's generator state. A thread that never seeds starts at 1.
void srand(std::uint32_t seed);

// Advances the calling thread's state and returns its bits 16 to 30 (0 to 32767).
int rand();

// A fresh text of `length` letters and digits (10 when `length` is 0 or less),
// each from two draws: the character class, then the character. Returns the
// shared empty text when the heap is exhausted.
const char* GenerateRandomToken(std::int32_t length);

}  // namespace engine
