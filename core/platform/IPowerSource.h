#pragma once
// The machine's power supply, in the form of the status record the power rule
// reads (AC line state, battery flags, battery charge).

#include "core/RefCount.h"

#include <cstdint>

struct PowerStatus
{
    // AC line state.
    static constexpr uint8_t kAcOffline = 0;
    static constexpr uint8_t kAcOnline = 1;
    static constexpr uint8_t kAcUnknown = 255;
    // Battery flag bits and values.
    static constexpr uint8_t kBatteryHigh = 0x01;
    static constexpr uint8_t kBatteryLow = 0x02;
    static constexpr uint8_t kBatteryCritical = 0x04;
    static constexpr uint8_t kBatteryCharging = 0x08;
    static constexpr uint8_t kNoSystemBattery = 0x80;
    static constexpr uint8_t kBatteryUnknown = 0xFF;
    // Battery charge in percent, or this when unknown.
    static constexpr uint8_t kPercentUnknown = 255;

    uint8_t acLineStatus = kAcUnknown;
    uint8_t batteryFlag = kBatteryUnknown;
    uint8_t batteryLifePercent = kPercentUnknown;
};

class IPowerSource : public IReferenceCount
{
public:
    // False when the power status cannot be read.
    virtual bool ReadPowerStatus(PowerStatus& status) = 0;
};
