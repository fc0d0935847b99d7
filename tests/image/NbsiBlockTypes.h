#pragma once
// The types of the Varnex objects in a GPU image's NBSI block.

#include <cstdint>

inline constexpr uint16_t kIR = 0x4952; // the Varnex store
inline constexpr uint16_t kIB = 0x4942; // its backup
