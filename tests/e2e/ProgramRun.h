#pragma once
// Runs the built programs as processes inside a scratch folder: romvise, a
// stamped copy of romuvise, a machine of adapters with their firmware, keys on
// standard input, and what the process wrote and returned.

#include "testkit/ScratchDirectory.h"
#include "testkit/image/GpuImageBuilder.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <vector>

struct ProgramResult
{
    int exitCode = -1;
    std::string out;
    std::string err;
};

struct FirmwareSpec
{
    uint16_t deviceId = 0x0800;
    uint16_t boardId = 0x0201;
    uint32_t version = 0x86041B00; // "86.04.1B.00"
    uint32_t length = 0x10000;
    // The payload of a board block (code type 0x85), the last block; empty
    // for none.
    std::vector<uint8_t> boardBlock = {};
    // A Varnex block right after the first block (whose length must then be
    // a multiple of 4096), laid out as the engine writes it: the store ("IR")
    // on the 4096-byte boundary after the block's start, then the backup copy
    // ("IB"; none when empty). No Varnex block when the store is empty.
    std::vector<uint8_t> varnexStore = {};
    std::vector<uint8_t> varnexBackup = {};
    // The directory's offset in the Varnex block in place of the layout's
    // (0): a block laid out for another place.
    uint16_t varnexDirectory = 0;
    // The IEEE 1394 GUID record {high, low} in the first block; none when 0.
    uint64_t guid = 0;
    // The entries of an I2C device table in the first block; none when empty.
    std::vector<uint32_t> i2cDevices = {};
};

std::vector<uint8_t> MakeFirmware(const FirmwareSpec& spec = {});

// The firmware a machine starts with, and a newer one to stamp.
inline const FirmwareSpec kOld{};
inline const FirmwareSpec kNewer{.version = 0x86041C00};
// The update record of the machine's first adapter (GPU 0 sits at bus 1) in
// the machine's folder.
inline constexpr const char* kRecordName = "update-0000-01-00.0.rec";
// The exit code of a process the simulated chip stopped like a power loss.
inline constexpr int kStoppedExitCode = 86;

bool Contains(const std::string& text, const std::string& part);
// The text's characters as bytes, for a file to write or a run to look for.
std::vector<uint8_t> Bytes(const std::string& text);
// Expects each of `shown` in the text and none of `notShown`.
void ExpectTexts(const std::string& text, const std::vector<std::string>& shown,
                 const std::vector<std::string>& notShown);

// The three lines that follow a failure's message when the run is not quiet.
extern const std::string kSupportParagraph;
// The first 1024 bytes of the slot a package is stamped into: the trailer of
// the backup files a program carrying it writes.
std::vector<uint8_t> TrailerOf(const std::vector<uint8_t>& package);

class CProgramFolder
{
public:
    // Runs `command` (program path and arguments, shell-quoted by the caller)
    // in the folder with `keys` on standard input and ROMVISE_MACHINE set to
    // the folder's machine when one was made.
    ProgramResult Run(const std::string& command, const std::string& keys = "") const;

    // romstamp's result; on success "romuvise" in the folder carries `package`.
    ProgramResult Stamp(const std::vector<uint8_t>& package, const std::string& options = "");
    // romuvise with the arguments.
    ProgramResult Updater(const std::string& arguments, const std::string& keys = "") const;
    // The engineering flasher with the arguments.
    ProgramResult Romvise(const std::string& arguments, const std::string& keys = "") const;
    // A machine with one GPU per firmware (the chips start with it).
    void MakeMachine(const std::vector<std::vector<uint8_t>>& firmware,
                     const std::string& options = "");
    // The machine this description gives; its files must be in the folder.
    void UseMachine(const nlohmann::json& description);
    std::vector<uint8_t> Chip(size_t index) const;
    std::vector<uint8_t> ReadFile(const std::string& name) const;
    std::string PathOf(const std::string& name) const;
    void WriteFile(const std::string& name, const std::vector<uint8_t>& bytes) const;

private:
    testkit::CScratchDirectory m_folder{"romvise-e2e"};
    bool m_hasMachine = false;
};

// Device type 0x98 at slave address 0x98 on port 1: the board
// microcontroller's entry in a firmware's I2C device table.
inline constexpr uint32_t kGmacEntry = 0x00109898;
inline constexpr uint16_t kDolvik1Id = 0x0C00;

// One Dolvik1 (kind 12) behind a root port, its chip in chip0.bin, with the
// model's extra keys and the devices that belong to it; the display record
// in display.txt.
nlohmann::json Dolvik1Machine(const nlohmann::json& extraModel, const nlohmann::json& devices);
// The Dolvik1 with its Kestrix engines (through which its EEPROM is read) and
// the board microcontroller on port 1, running the application kept in the
// named file; `mcuKeys` are added to the microcontroller's section.
nlohmann::json McuMachine(const std::string& applicationFile,
                          const nlohmann::json& mcuKeys = nlohmann::json::object());

// Turns the machine's power back on (makemachine --power-on): its stops go,
// so that the next run sees the half-written chip and the update record on a
// machine that keeps its power.
void PowerBackOn(CProgramFolder& folder);

// The chip holds the firmware at its start and is erased after it.
bool ChipHolds(const std::vector<uint8_t>& chip, const std::vector<uint8_t>& firmware);
