#include "hw/SystemError.h"

#include "core/TextHelpers.h"

#include <cstring>

std::string SystemErrorText(uint32_t code)
{
    switch (code)
    {
    case kErrorServiceAlreadyRunning:
        return "An instance of the service is already running.";
    case kErrorServiceDisabled:
        return "The service cannot be started because it is disabled.";
    case kErrorServiceDoesNotExist:
        return "The specified service does not exist as an installed service.";
    case kErrorServiceNotActive:
        return "The service has not been started.";
    case kErrorServiceExists:
        return "The specified service already exists.";
    default:
        return std::strerror(static_cast<int>(code));
    }
}

std::string FormatSystemError(std::string_view step, uint32_t code, std::string_view detail)
{
    std::string text(step);
    text += ToHex(code, 8);
    text += ")\nDetailed :";
    text += detail;
    return text;
}

std::string FormatSystemError(std::string_view step, uint32_t code)
{
    return FormatSystemError(step, code, SystemErrorText(code));
}

void ThrowSystemError(std::string_view step, uint32_t code, std::string_view detail)
{
    throw std::runtime_error(FormatSystemError(step, code, detail));
}

void ThrowSystemError(std::string_view step, uint32_t code)
{
    ThrowSystemError(step, code, SystemErrorText(code));
}
