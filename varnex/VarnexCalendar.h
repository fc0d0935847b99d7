#pragma once
// Where the directory's rebuild date comes from. The system uses the local
// date; tests hand in a calendar that always answers the same day.

#include "core/RefCount.h"

#include <cstdint>

struct VarnexDate
{
    uint8_t day = 1;   // 1-31
    uint8_t month = 1; // 1-12
    uint16_t year = 1970;
};

class IVarnexCalendar : public IReferenceCount
{
public:
    virtual VarnexDate GetLocalDate() = 0;

protected:
    ~IVarnexCalendar() = default;
};

// The machine's local date at the moment of the call.
CRefPtr<IVarnexCalendar> CreateSystemVarnexCalendar();
// Always the given date.
CRefPtr<IVarnexCalendar> CreateFixedVarnexCalendar(const VarnexDate& date);
