#pragma once
// A simulated GPU with a serial flash chip model on its EEPROM pins, the
// device class over it, and a log whose lines the tests can read.

#include "core/Log.h"
#include "eeprom/IEEPROM.h"
#include "sim/SimSpiFlash.h"
#include "testkit/machine/SimGpuRig.h"

#include <memory>
#include <random>
#include <sstream>
#include <vector>

struct FlashRig
{
    FlashRig(uint8_t manufacturer, uint16_t deviceId,
             ESimSpiFlavour flavour = ESimSpiFlavour::Standard, uint32_t deviceKind = 6)
        : rig(SimGpuConfigForKind(deviceKind))
    {
        const SimFlashPart& part = CSimSpiFlash::FindPart(manufacturer, deviceId);
        contents = std::make_shared<CSimChipStore>(part.sizeBytes);
        chip = std::make_shared<CSimSpiFlash>("flash", part, flavour, contents,
                                              &rig.machine->Clock(), &rig.machine->Counters());
        rig.gpu->AttachChip(chip);
        device = IDevice::Create(rig.OpenAccessor(), static_cast<int32_t>(deviceKind));
        log.AddSink(&logText, 1, 5);
    }

    CRefPtr<IEEPROM> Open(uint32_t romType = 1, int32_t retries = 3, bool softwareRead = false)
    {
        CRefPtr<IEEPROM> eeprom = CreateEEPROM(device, romType, retries, softwareRead, false);
        return eeprom;
    }

    // Identified, or the test stops.
    CRefPtr<IEEPROM> OpenIdentified(uint32_t romType = 1, int32_t retries = 3,
                                    bool softwareRead = false)
    {
        CRefPtr<IEEPROM> eeprom = Open(romType, retries, softwareRead);
        if (!eeprom || !eeprom->Identify(GetEEPROMDatabase(), log))
        {
            throw std::runtime_error("the flash part was not identified");
        }
        return eeprom;
    }

    void Fill(const std::vector<uint8_t>& bytes) { contents->Write(0, bytes); }
    std::vector<uint8_t> Bytes() const { return contents->Read(0, contents->Size()); }
    uint32_t ControlRegister() const { return rig.gpu->Register(0xE204); }

    CSimGpuRig rig;
    std::shared_ptr<CSimChipStore> contents;
    std::shared_ptr<CSimSpiFlash> chip;
    CRefPtr<IDevice> device;
    std::ostringstream logText;
    CLog log;
};

inline std::vector<uint8_t> RandomBytes(size_t size, uint32_t seed)
{
    std::mt19937 random(seed);
    std::vector<uint8_t> bytes(size);
    for (uint8_t& byte : bytes)
    {
        byte = static_cast<uint8_t>(random());
    }
    return bytes;
}

// A GPU-kind image holding the bytes at buffer offset 0, offset mode off.
inline CRefPtr<IROMImage> ImageOf(const std::vector<uint8_t>& bytes)
{
    CRefPtr<IROMImage> image = IROMImage::Create(kROMImageGPU);
    image->SetOffsetMode(false);
    image->WriteBlock(bytes.data(), 0, static_cast<uint32_t>(bytes.size()));
    return image;
}
