#pragma once
// Whether an EEPROM update may go ahead on the present power supply: on AC
// power, or on a battery charged above 35 percent.

#include "core/platform/IPowerSource.h"

// The charge a battery must exceed for an update to go ahead.
constexpr uint8_t kMinimumBatteryPercent = 35;

bool IsPowerSufficient(const PowerStatus& status);

// Reads the status from the source first; no source, or a status that cannot
// be read, is not sufficient.
bool IsPowerSufficient(IPowerSource* source);
