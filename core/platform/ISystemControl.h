#pragma once
// Machine-wide requests and facts: reboot, the 32-on-64-bit test, error texts
// and the working and state directories.

#include "core/RefCount.h"

#include <cstdint>
#include <string>

class ISystemControl : public IReferenceCount
{
public:
    // Asks the system to restart. Throws std::runtime_error with the text the
    // user sees when the request is refused.
    virtual void Reboot() = 0;
    // A 32-bit program running on a 64-bit system.
    virtual bool IsWow64() = 0;
    // The system's text for an error code; empty for 0 and for unknown codes.
    virtual std::string GetSystemErrorText(uint32_t code) = 0;
    // The current directory; empty when it cannot be read.
    virtual std::string GetWorkingDirectory() = 0;
    // The folder where the program keeps what must outlive a run (the update
    // records), made (0700) when missing; empty where nothing is kept.
    // Throws io_error when the folder cannot be made.
    virtual std::string GetStateDirectory() = 0;
};
