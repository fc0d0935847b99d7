#pragma once
// Keeps the user's break keys (Ctrl+C, Ctrl+\) and termination requests from
// ending the process in the middle of an EEPROM write.

#include "core/RefCount.h"

class IBreakHandling : public IReferenceCount
{
public:
    // From now on the break and termination requests are swallowed.
    virtual void IgnoreBreaks() = 0;
    // Puts back the handling that was in force before IgnoreBreaks; nothing
    // when breaks are not being ignored.
    virtual void RestoreBreaks() = 0;
};
