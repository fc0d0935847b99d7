#pragma once
// The hardware layer's form of a failed system step: the step's text ending in
// "(0x", the code as eight upper-case hex digits, ")", a new line,
// "Detailed :" and the system's text for the code.

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

// Codes of the service layer. They lie above every errno value, so one code
// space carries both.
constexpr uint32_t kErrorServiceAlreadyRunning = 1056;
constexpr uint32_t kErrorServiceDisabled = 1058;
constexpr uint32_t kErrorServiceDoesNotExist = 1060;
constexpr uint32_t kErrorServiceNotActive = 1062;
constexpr uint32_t kErrorServiceExists = 1073;

// The system's text for a code: the service layer's own codes, else strerror.
std::string SystemErrorText(uint32_t code);

// "<step><8 hex digits>)\nDetailed :<detail>"; step ends in "(0x". The
// detail is the system's text for the code unless given.
std::string FormatSystemError(std::string_view step, uint32_t code);
std::string FormatSystemError(std::string_view step, uint32_t code, std::string_view detail);

// Throws std::runtime_error with FormatSystemError's text.
[[noreturn]] void ThrowSystemError(std::string_view step, uint32_t code);
[[noreturn]] void ThrowSystemError(std::string_view step, uint32_t code, std::string_view detail);
