#pragma once
// The statuses of the engine's Varnex operations and of the commands built on
// them, which hand them on as the run's exit code. A number means what the
// operation that returns it says: one condition can have one number in one
// operation and another in the next (no store at all is 3 for the BBO update
// and 4 for the OEM update), and callers know the numbers of the operations
// they call, so each meaning has its own name even where two share a number.

#include <cstdint>

inline constexpr int32_t kVarnexDone = 0;

// 3: the BBO update was given no store; a command's file could not be read
// or written; the backup region could not be written to the adapter.
inline constexpr int32_t kVarnexBboNoStore = 3;
inline constexpr int32_t kVarnexFileFailed = 3;
inline constexpr int32_t kVarnexWriteFailed = 3;

// 4: no store (the OEM and OBD updates, the OEM backup); a store that is
// invalid or lacks the object, so nothing was carried over or changed; a
// Varnex block that could not be built.
inline constexpr int32_t kVarnexNoStore = 4;
inline constexpr int32_t kVarnexNotCarried = 4;
inline constexpr int32_t kVarnexBuildFailed = 4;

// 5: refused: an invalid store, a missing object, data that does not fit.
inline constexpr int32_t kVarnexRefused = 5;

// 9: the block could not be processed for the flash type; the new store has
// no BBO object to carry the adapter's into.
inline constexpr int32_t kVarnexProcessFailed = 9;
inline constexpr int32_t kVarnexNoBboPlaceholder = 9;

// 12: the two OBD objects are missing or of different versions.
inline constexpr int32_t kVarnexObdMismatch = 12;

// 16: no Varnex image, or the adapter's images could not be read.
inline constexpr int32_t kVarnexNoImage = 16;

// 17: the OEM update found the store invalid; the image does not fit the
// adapter or the other store; there is no usable backup store.
inline constexpr int32_t kVarnexInvalidStore = 17;
inline constexpr int32_t kVarnexMismatch = 17;
inline constexpr int32_t kVarnexNoBackup = 17;
