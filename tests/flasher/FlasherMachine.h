#pragma once
// A simulated machine described by a machine file: GPUs of chosen device
// kinds, each behind a root port with a serial flash chip holding its
// firmware, made the process's hardware with typed console input, a command
// line, the adapters the bus scan finds, and an engine over them whose log
// and console messages the tests read.

#include "core/CommandLine.h"
#include "core/Log.h"
#include "core/UserInterface.h"
#include "eeprom/IEEPROMDatabase.h"
#include "flasher/FlasherImpl.h"
#include "hw/adapter/IDisplayAdapter.h"
#include "hw/adapter/IPCIBus.h"
#include "sim/SimGpu.h"
#include "sim/SimSpiFlash.h"
#include "testkit/ScratchDirectory.h"
#include "testkit/machine/SimHardware.h"
#include "testkit/machine/TypedConsole.h"

#include <memory>
#include <sstream>
#include <string>
#include <vector>

struct SimGpuSetup
{
    uint16_t deviceId;
    uint32_t deviceKind;
    // The chip's firmware; empty leaves the chip erased.
    std::vector<uint8_t> firmware;
    std::string part = "EF/3013"; // W25X40A: 512 KiB, 256-byte pages, 4 KiB blocks
    // Bits 22-23 name the EEPROM type: 1 a standard SPI part, 0 none the
    // program can drive.
    uint32_t straps = 0x400000;
};

// The machine file text for the GPUs: GPU i at bus i + 1, its chip kept in
// "chip<i>.bin" and loaded from "firmware<i>.rom".
// The engine's settings from the command line SetCommandLine made, with the
// direct EEPROM classes for every kind.
EngineSettings MachineSettings();
std::string FlasherMachineJson(const std::vector<SimGpuSetup>& gpus);

class CFlasherMachine
{
public:
    explicit CFlasherMachine(const std::vector<SimGpuSetup>& gpus,
                             const std::vector<std::string>& options = {});
    ~CFlasherMachine();

    // The GPU adapters in bus order, and their models.
    CRefPtr<IDisplayAdapter> Adapter(size_t index) const { return adapters.at(index); }
    // The adapter again, its catalogue entry's flag A replaced.
    CRefPtr<IDisplayAdapter> AdapterWithFlagA(size_t index, uint8_t flagA) const;
    CSimGpu& Gpu(size_t index) const;
    CSimSpiFlash& Chip(size_t index) const;
    std::vector<uint8_t> ChipBytes(size_t index) const;
    bool DriverBound(size_t index) const;
    // An EEPROM object of the adapter, as the engine opens it.
    CRefPtr<IEEPROM> OpenEEPROM(size_t index) const;
    std::string Logged() const { return logText.str(); }
    std::string Shown() const { return uiOut.str(); }

    testkit::CScratchDirectory folder{"romvise-flasher"};
    std::unique_ptr<CSimHardwareScope> scope;
    CRefPtr<CTypedConsole> console;
    CRefPtr<IPCIBus> bus;
    CRefPtr<IEEPROMDatabase> database;
    DisplayAdapterList adapters;
    std::ostringstream logText;
    CLog log;
    std::ostringstream uiOut;
    std::ostringstream uiErr;
    CRefPtr<IUserInterface> ui;
    CRefPtr<CFlasherImpl> flasher;
};

// Makes the options the process command line (argument words without "--").
void SetCommandLine(const std::vector<std::string>& options);
