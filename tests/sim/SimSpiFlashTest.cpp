// The serial flash chip models at their pins: mode-0 and SST bit timing,
// program and erase rules, busy time on the virtual clock, and the machine-file
// section whose contents stay on disk between runs.

#include "sim/SimSpiFlash.h"
#include "sim/MachineFile.h"
#include "sim/SimGpu.h"
#include "sim/SimMachine.h"
#include "sim/VirtualClock.h"
#include "testkit/ScratchDirectory.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <initializer_list>
#include <unistd.h>

namespace
{
// MX25L512: 64 KiB, 256-byte pages, 4 KiB blocks erased by 0x20, protect mask 0x0C.
const SimFlashPart& Mx25l512()
{
    return CSimSpiFlash::FindPart(0xC2, 0x2010);
}

// Drives the chip's pins as a bus master would.
class Pins
{
public:
    Pins(CSimSpiFlash& chip, bool sampleAfterPulse) : m_chip(chip), m_sst(sampleAfterPulse) {}

    uint8_t Transfer(uint8_t out)
    {
        uint8_t in = 0;
        for (int bit = 7; bit >= 0; --bit)
        {
            const bool data = (out >> bit) & 1u;
            if (!m_sst)
            {
                in = static_cast<uint8_t>(in << 1 | m_chip.DataOut());
            }
            m_chip.SetLines(true, false, data);
            m_chip.SetLines(true, true, data);
            m_chip.SetLines(true, false, data);
            if (m_sst)
            {
                in = static_cast<uint8_t>(in << 1 | m_chip.DataOut());
            }
        }
        return in;
    }

    // One frame: sends the bytes, then reads `receive` bytes.
    std::vector<uint8_t> Frame(std::initializer_list<uint8_t> bytes, size_t receive = 0)
    {
        m_chip.SetLines(true, false, false);
        for (uint8_t value : bytes)
        {
            Transfer(value);
        }
        std::vector<uint8_t> answer;
        for (size_t i = 0; i < receive; ++i)
        {
            answer.push_back(Transfer(0x00));
        }
        m_chip.SetLines(false, false, false);
        return answer;
    }

private:
    CSimSpiFlash& m_chip;
    bool m_sst;
};

struct Chip
{
    explicit Chip(ESimSpiFlavour flavour = ESimSpiFlavour::Standard,
                  const SimFlashPart& part = Mx25l512())
        : contents(std::make_shared<CSimChipStore>(part.sizeBytes)),
          chip("flash", part, flavour, contents, clock.get(), nullptr),
          pins(chip, flavour == ESimSpiFlavour::SST)
    {
    }

    CRefPtr<CVirtualClock> clock{new CVirtualClock};
    std::shared_ptr<CSimChipStore> contents;
    CSimSpiFlash chip;
    Pins pins;
};

// A machine with one ISO GPU whose MX25L512 keeps its contents in flash.bin,
// with the given faults section.
nlohmann::json GpuWithFlashFile(const std::string& faults)
{
    nlohmann::json description = nlohmann::json::parse(R"({
      "pci": [{"address": "00:02.0", "vendor": "0x7E2B", "device": "0x1000", "class": "0x030000",
               "command": "0x6", "bars": [{"index": 0, "size": "0x1000000", "address": "0xF1000000"}],
               "model": {"kind": "gpu", "name": "gpu0", "device_kind": 6,
                         "eeprom": {"kind": "spi_flash", "part": "C2/2010", "file": "flash.bin"}}}]
    })");
    description["pci"][0]["model"]["eeprom"]["faults"] = nlohmann::json::parse(faults);
    return description;
}

// The flash chip behind that machine's GPU; null when the machine has none.
CSimSpiFlash* FlashOf(CSimMachine& machine)
{
    auto* gpu = dynamic_cast<CSimGpu*>(machine.FindDevice("gpu0"));
    return gpu ? dynamic_cast<CSimSpiFlash*>(gpu->Chip()) : nullptr;
}
} // namespace

TEST(SimSpiFlash, PageProgramClearsBitsOnlyAndWrapsInsideItsPage)
{
    Chip flash;
    flash.contents->Fill(0x100, 0x100, 0xF0);
    flash.pins.Frame({0x06});
    // 0x20 bytes from 0x1F0: the last 0x10 wrap to 0x100.
    flash.pins.Frame({0x02, 0x00, 0x01, 0xF0, 0x3C, 0x3C, 0x3C, 0x3C, 0x3C, 0x3C, 0x3C, 0x3C,
                      0x3C, 0x3C, 0x3C, 0x3C, 0x3C, 0x3C, 0x3C, 0x3C, 0x3C, 0x3C, 0x3C, 0x3C,
                      0x3C, 0x3C, 0x3C, 0x3C, 0x3C, 0x3C, 0x3C, 0x3C, 0x3C, 0x3C, 0x3C, 0x3C});
    EXPECT_EQ(flash.contents->At(0x1F0), 0x30);
    EXPECT_EQ(flash.contents->At(0x1FF), 0x30);
    EXPECT_EQ(flash.contents->At(0x100), 0x30);
    EXPECT_EQ(flash.contents->At(0x10F), 0x30);
    EXPECT_EQ(flash.contents->At(0x110), 0xF0);
    EXPECT_EQ(flash.contents->At(0x200), 0xFF);
}

TEST(SimSpiFlash, ProgramAndEraseNeedWriteEnableAndKeepTheChipBusy)
{
    Chip flash;
    flash.contents->Fill(0, 0x2000, 0x00);
    flash.pins.Frame({0x20, 0x00, 0x10, 0x00}); // no write enable: ignored
    EXPECT_EQ(flash.contents->At(0x1000), 0x00);

    flash.pins.Frame({0x06});
    EXPECT_EQ(flash.pins.Frame({0x05}, 1)[0] & 0x03, 0x02); // latch set, not busy
    flash.pins.Frame({0x20, 0x00, 0x10, 0x80});             // erases the block at 0x1000
    EXPECT_EQ(flash.contents->Read(0x1000, 0x1000), std::vector<uint8_t>(0x1000, 0xFF));
    EXPECT_EQ(flash.contents->At(0x0FFF), 0x00);
    EXPECT_EQ(flash.pins.Frame({0x05}, 1)[0] & 0x03, 0x01); // busy, latch cleared
    flash.clock->WaitMicroseconds(flash.chip.Timing().sectorErase);
    EXPECT_EQ(flash.pins.Frame({0x05}, 1)[0] & 0x01, 0x00);
    EXPECT_EQ(flash.chip.Erases(), (std::vector<SimFlashOperation>{{0x1000, 0x1000}}));
}

TEST(SimSpiFlash, EachEraseOpcodeErasesWhatItErasesOnThePart)
{
    struct Case
    {
        const char* name;
        uint8_t manufacturer;
        uint16_t device;
        uint8_t opcode;
        bool chipErase; // sent without an address
        uint32_t address;
        SimFlashOperation erased; // length 0: nothing
    };
    const Case cases[] = {
        {"W25Q80BV 4 KiB sector", 0xEF, 0x4014, 0x20, false, 0x12345, {0x12000, 0x1000}},
        {"W25Q80BV 32 KiB block", 0xEF, 0x4014, 0x52, false, 0x12345, {0x10000, 0x8000}},
        {"W25Q80BV 64 KiB block", 0xEF, 0x4014, 0xD8, false, 0x12345, {0x10000, 0x10000}},
        {"W25Q80BV chip", 0xEF, 0x4014, 0xC7, true, 0, {0, 0x100000}},
        {"M25P10 32 KiB sector", 0x20, 0x0010, 0xD8, false, 0x9000, {0x8000, 0x8000}},
        {"AT25F512 32 KiB sector", 0x1F, 0x0065, 0x52, false, 0x9000, {0x8000, 0x8000}},
        {"AT25F512 chip", 0x1F, 0x0065, 0x62, true, 0, {0, 0x10000}},
        {"Pm25LV512 4 KiB sector", 0x9D, 0x007B, 0xD7, false, 0x1234, {0x1000, 0x1000}},
        {"SST26WF080B 8 KiB block at the bottom",
         0xBF,
         0x2658,
         0xD8,
         false,
         0x2345,
         {0x2000, 0x2000}},
        {"SST26WF080B 32 KiB block at the bottom",
         0xBF,
         0x2658,
         0xD8,
         false,
         0x9000,
         {0x8000, 0x8000}},
        {"SST26WF080B 64 KiB block", 0xBF, 0x2658, 0xD8, false, 0x12345, {0x10000, 0x10000}},
        {"SST26WF080B 32 KiB block at the top",
         0xBF,
         0x2658,
         0xD8,
         false,
         0xF1000,
         {0xF0000, 0x8000}},
        {"SST26WF080B 8 KiB block at the top",
         0xBF,
         0x2658,
         0xD8,
         false,
         0xF9000,
         {0xF8000, 0x2000}},
        {"MX25L512E has no 0x52", 0xC2, 0x2010, 0x52, false, 0x1000, {0, 0}},
        {"a chip erase opcode with an address", 0xC2, 0x2010, 0xC7, false, 0x1000, {0, 0}},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        Chip flash(ESimSpiFlavour::Standard, CSimSpiFlash::FindPart(c.manufacturer, c.device));
        const uint32_t size = flash.chip.SizeInBytes();
        flash.contents->Fill(0, size, 0x00);
        flash.pins.Frame({0x06});
        if (c.chipErase)
        {
            flash.pins.Frame({c.opcode});
        }
        else
        {
            flash.pins.Frame({c.opcode, static_cast<uint8_t>(c.address >> 16),
                              static_cast<uint8_t>(c.address >> 8),
                              static_cast<uint8_t>(c.address)});
        }
        std::vector<uint8_t> wanted(size, 0x00);
        std::fill_n(wanted.begin() + c.erased.address, c.erased.length, 0xFF);
        EXPECT_EQ(flash.contents->Read(0, size), wanted);
        EXPECT_EQ(flash.chip.Erases().size(), c.erased.length == 0 ? 0u : 1u);
    }
}

TEST(SimSpiFlash, PartsAnswerOnlyTheIdCommandsTheyKnow)
{
    // SST25VF010A: no JEDEC ID; 0x90 with address 1 starts with the device.
    Chip sst(ESimSpiFlavour::Standard, CSimSpiFlash::FindPart(0xBF, 0x0049));
    EXPECT_EQ(sst.pins.Frame({0x9F}, 3), (std::vector<uint8_t>{0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(sst.pins.Frame({0x90, 0x00, 0x00, 0x01}, 3),
              (std::vector<uint8_t>{0x49, 0xBF, 0x49}));
    // Its 0x02 programs one byte; the rest of the frame is ignored.
    sst.pins.Frame({0x06});
    sst.pins.Frame({0x02, 0x00, 0x01, 0x00, 0x12, 0x34});
    EXPECT_EQ(sst.contents->Read(0x100, 2), (std::vector<uint8_t>{0x12, 0xFF}));

    // M25P10: only the signature, after three dummy bytes.
    Chip st(ESimSpiFlavour::Standard, CSimSpiFlash::FindPart(0x20, 0x0010));
    EXPECT_EQ(st.pins.Frame({0x9F}, 1)[0], 0xFF);
    EXPECT_EQ(st.pins.Frame({0xAB, 0x00, 0x00, 0x00}, 2), (std::vector<uint8_t>{0x10, 0x10}));
}

TEST(SimSpiFlash, BlockProtectBitsRefuseProgrammingUntilCleared)
{
    Chip flash;
    flash.pins.Frame({0x06});
    flash.pins.Frame({0x01, 0x0C});
    flash.clock->WaitMicroseconds(flash.chip.Timing().writeStatus);
    EXPECT_EQ(flash.pins.Frame({0x05}, 1)[0], 0x0C);
    flash.pins.Frame({0x06});
    flash.pins.Frame({0x02, 0x00, 0x00, 0x00, 0x00});
    EXPECT_EQ(flash.contents->At(0), 0xFF);

    flash.chip.Faults().writeProtectPin = true;
    flash.pins.Frame({0x06});
    flash.pins.Frame({0x01, 0x00});
    EXPECT_EQ(flash.pins.Frame({0x05}, 1)[0], 0x0C); // the pin holds the bits
}

TEST(SimSpiFlash, ReadsAndIdentificationAnswers)
{
    Chip flash;
    flash.contents->Fill(0xFFFE, 2, 0x42);
    flash.contents->Fill(0, 1, 0x17);
    // A read runs on past the end of the chip to its start.
    EXPECT_EQ(flash.pins.Frame({0x03, 0x00, 0xFF, 0xFE}, 3),
              (std::vector<uint8_t>{0x42, 0x42, 0x17}));
    EXPECT_EQ(flash.pins.Frame({0x9F}, 3), (std::vector<uint8_t>{0xC2, 0x20, 0x10}));
    flash.chip.SetIdAnswer(0x15, {0x7F, 0x1F});
    EXPECT_EQ(flash.pins.Frame({0x15}, 3), (std::vector<uint8_t>{0x7F, 0x1F, 0x1F}));
}

TEST(SimSpiFlash, SstFlavourDrivesOnTheRisingEdgeAndTakesConfirmedCommands)
{
    Chip flash(ESimSpiFlavour::SST, CSimSpiFlash::FindPart(0xBF, 0x0049));
    EXPECT_EQ(flash.pins.Frame({0x90, 0x00, 0x00, 0x00}, 1)[0], 0xBF);
    EXPECT_EQ(flash.pins.Frame({0x90, 0x00, 0x00, 0x01}, 1)[0], 0x49);

    flash.contents->Fill(0, 0x2000, 0x00);
    flash.pins.Frame({0x20, 0x00, 0x10, 0x00, 0x00, 0x00}); // no 0xD0: ignored
    EXPECT_EQ(flash.contents->At(0x1000), 0x00);
    flash.pins.Frame({0x20, 0x00, 0x10, 0x00, 0xD0, 0x00});
    EXPECT_EQ(flash.contents->At(0x1000), 0xFF);
    EXPECT_EQ(flash.pins.Frame({0x9F}, 1)[0] & 1u, 0u); // busy: ready bit clear
    flash.clock->WaitMicroseconds(flash.chip.Timing().sectorErase);
    EXPECT_EQ(flash.pins.Frame({0x9F}, 1)[0] & 1u, 1u);

    // The byte after the data ends the command and is not programmed.
    flash.pins.Frame({0x10, 0x00, 0x10, 0x00, 0x12, 0x34, 0x00});
    flash.clock->WaitMicroseconds(1000);
    EXPECT_EQ(flash.pins.Frame({0xFF, 0x00, 0x10, 0x00, 0x00, 0x00}, 3),
              (std::vector<uint8_t>{0x12, 0x34, 0xFF}));
}

TEST(SimSpiFlash, MachineFileChipKeepsItsContentsOnDiskAndHasItsFaults)
{
    const testkit::CScratchDirectory folder{"romvise-spi"};
    const nlohmann::json description =
        GpuWithFlashFile(R"({"stuck_bits": [{"offset": "0x10", "mask": "0x80"}]})");
    for (int run = 0; run < 2; ++run)
    {
        auto machine = LoadMachineJson(description, folder);
        CSimSpiFlash* chip = FlashOf(*machine);
        ASSERT_NE(chip, nullptr);
        EXPECT_EQ(chip->Contents().Size(), 0x10000u);
        EXPECT_EQ(chip->Faults().stuckBits.at(0x10), (std::pair<uint8_t, uint8_t>{0x80, 0x00}));
        if (run == 0)
        {
            Pins pins(*chip, false);
            pins.Frame({0x06});
            pins.Frame({0x02, 0x00, 0x00, 0x10, 0xFF, 0x5A});
        }
        EXPECT_EQ(chip->Contents().At(0x10), 0x7F); // bit 7 is stuck at 0
        EXPECT_EQ(chip->Contents().At(0x11), 0x5A);
    }
}

TEST(SimSpiFlashDeathTest, StopAfterProgramsLeavesTheChipHalfWrittenOnDisk)
{
    const testkit::CScratchDirectory folder{"romvise-stop"};
    const nlohmann::json description = GpuWithFlashFile(R"({"stop_after_programs": 2})");
    // Three page programs are asked for; the process stops after the second.
    auto programThreePages = [&]
    {
        auto machine = LoadMachineJson(description, folder);
        CSimSpiFlash* chip = FlashOf(*machine);
        Pins pins(*chip, false);
        for (uint8_t page = 0; page < 3; ++page)
        {
            pins.Frame({0x06});
            pins.Frame({0x02, 0x00, page, 0x00, 0xA5});
            machine->Clock().WaitMicroseconds(chip->Timing().pageProgram);
        }
    };
    EXPECT_EXIT(programThreePages(), testing::ExitedWithCode(kSimStoppedExitCode), "");

    auto machine = LoadMachineJson(description, folder);
    CSimSpiFlash* chip = FlashOf(*machine);
    EXPECT_EQ(chip->Contents().At(0x000), 0xA5);
    EXPECT_EQ(chip->Contents().At(0x100), 0xA5);
    EXPECT_EQ(chip->Contents().At(0x200), 0xFF); // never programmed
}

TEST(SimSpiFlashDeathTest, StopAfterErasesLeavesTheChipHalfErasedOnDisk)
{
    const testkit::CScratchDirectory folder{"romvise-stop-erase"};
    const nlohmann::json description = GpuWithFlashFile(R"({"stop_after_erases": 2})");
    {
        auto machine = LoadMachineJson(description, folder);
        FlashOf(*machine)->Contents().Fill(0, 0x3000, 0x00);
    }
    // Three 4 KiB erases are asked for; the process stops after the second.
    auto eraseThreeBlocks = [&]
    {
        auto machine = LoadMachineJson(description, folder);
        CSimSpiFlash* chip = FlashOf(*machine);
        Pins pins(*chip, false);
        for (uint8_t block = 0; block < 3; ++block)
        {
            pins.Frame({0x06});
            pins.Frame({0x20, 0x00, static_cast<uint8_t>(block * 0x10), 0x00});
            machine->Clock().WaitMicroseconds(chip->Timing().sectorErase);
        }
    };
    EXPECT_EXIT(eraseThreeBlocks(), testing::ExitedWithCode(kSimStoppedExitCode), "");

    auto machine = LoadMachineJson(description, folder);
    CSimSpiFlash* chip = FlashOf(*machine);
    EXPECT_EQ(chip->Faults().stopAfterErases, 2u);
    EXPECT_EQ(chip->Contents().At(0x0000), 0xFF);
    EXPECT_EQ(chip->Contents().At(0x1FFF), 0xFF);
    EXPECT_EQ(chip->Contents().At(0x2000), 0x00); // never erased
}

TEST(SimSpiFlash, MachineFileRefusesAnUnknownPart)
{
    // Unknown keys, and keys whose IDs only match a part once cut to size.
    for (const char* key : {"C2/9999", "1C2/2010", "C2/12010", "C2/2010x", "-C2/2010"})
    {
        nlohmann::json description = nlohmann::json::parse(R"({
          "pci": [{"address": "00:02.0", "vendor": "0x7E2B", "device": "0x1000", "class": "0x030000",
                   "bars": [{"index": 0, "size": "0x1000000", "address": "0xF1000000"}],
                   "model": {"kind": "gpu", "name": "gpu0", "device_kind": 6,
                             "eeprom": {"kind": "spi_flash"}}}]
        })");
        description["pci"][0]["model"]["eeprom"]["part"] = key;
        try
        {
            LoadMachineJson(description, ".");
            ADD_FAILURE() << key << " loaded";
        }
        catch (const std::exception& error)
        {
            EXPECT_NE(std::string(error.what())
                          .find(std::string("\"part\" is not a built-in part: \"") + key + "\""),
                      std::string::npos)
                << error.what();
        }
    }
}
