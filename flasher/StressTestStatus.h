#pragma once
// The statuses of the EEPROM stress test and of its questionnaire; the
// engineering run hands them on as its exit code. A failing iteration ends
// the test at once with its status.

#include <cstdint>

inline constexpr int32_t kStressPassed = 0;
// An erase or a write answered another byte count than asked for; or a
// number out of range while the test was set up.
inline constexpr int32_t kStressShortCount = 7;
inline constexpr int32_t kStressOutOfRange = 7;
inline constexpr int32_t kStressOverflow = 8;
// The part's sector size does not divide it.
inline constexpr int32_t kStressUnsupportedPart = 9;
inline constexpr int32_t kStressEraseTooSlow = 11;
// The part read back other than written; or the saved firmware could not be
// written back.
inline constexpr int32_t kStressMismatch = 12;
inline constexpr int32_t kStressRestoreFailed = 12;
// An erase or a write failed, or the set-up was refused or aborted.
inline constexpr int32_t kStressFailed = 13;
