#pragma once
// The platform services a simulated machine answers itself: its power supply,
// system control (a reboot is recorded in the machine, and in its reboot
// record file when it has one, never done) and the root certificate its
// adapters trust.

#include "core/platform/IPowerSource.h"
#include "core/platform/ISystemControl.h"
#include "core/platform/ITrustedRootSource.h"

#include <memory>

class CSimMachine;

CRefPtr<IPowerSource> CreateSimPowerSource(std::shared_ptr<CSimMachine> machine);
CRefPtr<ISystemControl> CreateSimSystemControl(std::shared_ptr<CSimMachine> machine);
// Answers the machine's root (CSimMachine::RootInForce).
CRefPtr<ITrustedRootSource> CreateSimTrustedRootSource(std::shared_ptr<CSimMachine> machine);

// The battery flags a charge level gives, as the system reports them.
uint8_t BatteryFlagFor(uint8_t percent, bool charging);
