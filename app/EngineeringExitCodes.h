#pragma once
// Exit codes of the engineering flasher. They live in their own namespace:
// the packaged updater's exit codes (app/KRUserFlashApp.h) carry the same
// short names, some with other numbers.

namespace engineering_exit
{
inline constexpr int kDone = 0;
inline constexpr int kNothingMatched = 1;
inline constexpr int kRuntimeError = 2;
inline constexpr int kIoError = 3;
inline constexpr int kProgrammingError = 4;
// A command line or a value that cannot be used, or a question declined.
inline constexpr int kUsage = 5;
inline constexpr int kEnvironmentError = 6;
} // namespace engineering_exit
