#pragma once
// The Kestrix microcontrollers of a simulated GPU: the pmu (registers at
// 0x10A000), krdec (0x84000) and sec (0x87000) engines, each with its code
// memory (IMEM) and data memory (DMEM), and a behavioural model of the
// microcode that answers the mailbox commands against the GPU's flash chip.
//
// Engine registers (offsets from the engine's base):
//   +0x040  mailbox 0: command word (bits 0-27 id, 28-31 status)
//   +0x044  mailbox 1: error word (bit 31: printf text pending)
//   +0x100  CPU control: 9 resets the engine, 2 starts it
//   +0x104  boot vector
//   +0x108  hardware configuration: IMEM and DMEM size in 256-byte blocks
//           (bits 0-8 and 9-17), read only
//   +0x10C  DMA control: bits 1-2 read busy for a set number of reads after
//           a reset
//   +0x118  reset status: bit 0 set (busy) for a set number of reads after a
//           reset, then bit 1 set (done)
//   +0x180/184/188  IMEM control, data, tag
//   +0x1C0/1C4      DMEM control, data
//   +0x200, +0x20C  ICD command and data: a read command ((r << 8) | 8)
//           puts register r into the data register (the program counter,
//           21, is the boot vector; the others read 0) and sets bit 15
// Memory control words: bits 0-23 the byte address, bit 24 auto-increment
// after each data write, bit 25 after each data read, bit 28 (IMEM) the
// words written go into a secure block. Every IMEM write marks its 256-byte
// block secure or not by bit 28 and the tag register names a block's tag.
//
// Registers of the GPU the model reads or serves: 0x000200 (engine enable
// bits 13 pmu, 14 sec, 15 krdec: clearing one holds that engine in reset),
// 0x10A3C4 pmu reset permission (bit 4), and the VV transfer registers
// 0x10A450-0x10A474 with the request register 0x10A47C. 0x10A3C0, 0x137190,
// 0x10A410, 0x10A07C, 0x022408 and 0x009400 (the timer) stay the GPU's own.
//
// Started microcode finds its DMEM mapper ("DMAP") in DMEM as the host does
// and uses its command buffers. A command written with status 1 reads
// pending (status 2) for `pendingPolls` reads of mailbox 0, then runs and
// reads complete (3) with its error word in mailbox 1. Commands:
//   EID (2)    JEDEC ID 0x9F: cmd_out word 0 = manufacturer | device << 16
//   ESI (3)    keeps the 28-byte part block; every EEPROM command but EID
//              fails with CMD_DEPENDENCY (2) before it
//   ERD (4)    {address, count}: read 0x03 into the image data buffer;
//              a count above the buffer fails with 4
//   EWR (5)    {address, count, flags}: page program 0x02 within the part's
//              pages. Flags bit 0 set: program only, without erase. Clear:
//              each erase block where a new byte needs a clear bit set is
//              erased first and the rest of that block programmed back; a
//              block the new bytes can be programmed over is not erased. A
//              count above the buffer fails with 5
//   ESE (6)    {address}: the part's block-erase opcode at the address
//   ECE (7)    the part's chip-erase opcode
//   PREP (10)  {flags, size}: kept with the payload (the image data buffer);
//              a payload larger than that buffer fails with 8
//   CLOSE (11) counted
//   EPROT (12) {state}: status register := WriteProtectMask or 0
//   ERDSR (13) {index}: status register 0x05 to cmd_out word 0
//   VV (14)    the verification script below
//   RRD (8)    {address, count}: the GPU's registers to cmd_out, at most
//              its size in words
//   RWR (9)    {address, value}: the GPU's register := value
//   ECID (15)  {kind}: 32 bytes (kind 1) or 16 bytes (2, 3) to cmd_out
//   BSI_INFO (17)  the 64-byte secure scratch to the image data buffer;
//              a buffer smaller than that fails with 8
//   others     CMD_UNSUPPORTED_COMMAND (7)
// Flash commands go out over the chip's serial lines (ISimEepromChip), and
// the microcode waits out the chip's busy time with status reads.
//
// The VV script: once pending, the model raises the probe push request a
// test asks for (`vvProbe`), then pulls the image's certification package
// through push requests of at most 40 bytes at 20-bit offsets and checks its
// signer against the machine's root (sim/SimKestrixSigner.h); a refused
// signer completes the command with that error (13 no certificate, 14 a
// malformed package, 15 not signed under the root). An accepted one raises a
// devinit request; each request waits until the host answers (request kind
// 3) and the words the host put into the transfer registers are kept. Then
// the result record (version 1, size 24, flags 1, DMEM offset, byte count)
// goes to cmd_out and the certificate-information bytes into DMEM at
// `vvCertInfoOffset`.
//
// Printf: text queued with QueuePrintf is written into the microcode's ring
// (per its printf header) when the next command completes, and bit 31 of
// mailbox 1 is set.
//
// Faults: a command that never completes, an error code for a command, a
// reset or DMA that never becomes ready, and an expected production
// signature: started microcode whose DMEM holds another one does not run.
//
// Started microcode whose map names a command buffer, result buffer, image
// data buffer or printf header outside DMEM, or a command buffer below 28
// bytes or a result buffer below 32, does not run either (as a real engine
// would fault on its first access): its commands stay new for ever. The
// model never reads or writes outside its memories.

#include "sim/ISimDevice.h"
#include "sim/SimKestrixSigner.h"

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

class CSimGpu;
class CVirtualClock;
struct SimCounters;

struct SimKestrixConfig
{
    uint32_t imemSize = 0x10000;
    uint32_t dmemSize = 0x10000;
    uint32_t resetPolls = 3;
    uint32_t dmaPolls = 2;
    bool resetNeverReady = false;
    bool dmaNeverIdle = false;
    uint32_t pendingPolls = 2;
    // Command id → error code the command completes with.
    std::map<uint32_t, uint32_t> errorCodes;
    // Command ids that stay pending for ever.
    std::vector<uint32_t> neverComplete;
    // Register 0x10A3C4 (bit 4: the pmu may be reset).
    uint32_t resetPermission = 0x10;
    // When set, started microcode runs only with this production signature
    // at the signature table's first slot (or DMEM 0 without one).
    std::optional<std::array<uint8_t, 16>> expectedSignature;
    std::vector<uint8_t> ecid = std::vector<uint8_t>(32, 0);
    // A push request the VV script raises before its own, whatever the
    // image: for tests of how the host serves requests.
    struct Probe
    {
        uint32_t offset = 0x10;
        uint32_t count = 12;
        bool fromIfr = false;
    };
    std::optional<Probe> vvProbe;
    std::vector<uint8_t> vvCertInfo;
    uint32_t vvCertInfoOffset = 0x3000;
    // What BSI_INFO returns (64 bytes; shorter is filled with zeros).
    std::vector<uint8_t> secureScratch;
};

class CSimKestrix : public ISimDevice
{
public:
    static constexpr uint32_t kPmuBase = 0x10A000;
    static constexpr uint32_t kKrdecBase = 0x84000;
    static constexpr uint32_t kSecBase = 0x87000;
    static constexpr uint32_t kIcdCommand = 0x200;
    static constexpr uint32_t kIcdData = 0x20C;

    CSimKestrix(std::string name, CSimGpu& gpu, SimKestrixConfig config);
    ~CSimKestrix() override;

    SimKestrixConfig& Config() { return m_config; }

    // What the model saw, for tests.
    struct Engine
    {
        uint32_t base = 0;
        uint32_t enableBit = 0;
        std::vector<uint32_t> imem;
        std::vector<uint32_t> dmem;
        std::vector<bool> secureBlocks;
        std::vector<std::optional<uint32_t>> tags;
        uint32_t mailbox0 = 0;
        uint32_t mailbox1 = 0;
        uint32_t imemControl = 0;
        uint32_t dmemControl = 0;
        uint32_t bootVector = 0;
        uint32_t dmaControl = 0;
        uint32_t cpuControl = 0;
        uint32_t resetPollsLeft = 0;
        uint32_t dmaPollsLeft = 0;
        uint32_t resets = 0;
        uint32_t starts = 0;
        bool running = false;
        bool refusedSignature = false;
        bool refusedDataMap = false;
        // The command in progress.
        bool pending = false;
        uint32_t pollsLeft = 0;
        int vvStage = 0;
        uint32_t vvError = 0;
        std::map<uint32_t, uint32_t> plainRegisters;
    };
    Engine& EngineAt(uint32_t base);
    const Engine& Pmu() const { return m_engines[0]; }

    // Bytes of an engine's memory as stored.
    std::vector<uint8_t> ReadDmem(uint32_t base, uint32_t offset, uint32_t count) const;
    void WriteDmem(uint32_t base, uint32_t offset, const std::vector<uint8_t>& bytes);
    std::vector<uint8_t> ReadImem(uint32_t base, uint32_t offset, uint32_t count) const;

    // The next completing command also leaves this text in the printf ring.
    void QueuePrintf(const std::string& text) { m_printf += text; }

    // Records of the commands that ran.
    struct Command
    {
        uint32_t engine;
        uint32_t id;
        std::vector<uint32_t> arguments; // the first words of cmd_in
        uint32_t error;
    };
    const std::vector<Command>& Commands() const { return m_commands; }
    std::vector<uint8_t> PrepPayload() const { return m_prepPayload; }
    // The transfer registers as the host answered the probe.
    const std::vector<uint32_t>& VVPushedWords() const { return m_vvPushed; }
    // Every push request the VV script raised, as its request word.
    const std::vector<uint32_t>& VVPushRequests() const { return m_vvRequests; }
    const std::vector<uint32_t>& VVDevinitWords() const { return m_vvDevinit; }
    uint32_t MailboxWrites() const { return m_mailboxWrites; }

    // ISimDevice.
    std::string Name() const override { return m_name; }
    void Attach(CSimMachine& machine) override;

    std::optional<uint32_t> Read(uint64_t offset);
    bool Write(uint64_t offset, uint32_t value);

private:
    class CFlashMaster;

    Engine* EngineOf(uint64_t offset, uint32_t& registerOffset);
    uint32_t ReadEngine(Engine& engine, uint32_t reg);
    void WriteEngine(Engine& engine, uint32_t reg, uint32_t value);
    void ResetEngine(Engine& engine);
    void StartEngine(Engine& engine);
    bool SignatureAccepted(const Engine& engine) const;
    bool DataMapUsable(const Engine& engine) const;
    void WriteEnable(uint32_t value);
    void RunIcdCommand(Engine& engine, uint32_t value);
    uint32_t MemoryWord(const std::vector<uint32_t>& memory, uint32_t address) const;
    // The engine's whole data memory (its configured size) as the microcode's
    // bytes: read where the words are kept when the host keeps them low byte
    // first, else copied into `copy`. Valid until the memory is written.
    std::span<const uint8_t> DataMemory(const Engine& engine, std::vector<uint8_t>& copy) const;

    // Commands.
    uint32_t PollMailbox(Engine& engine);
    void Complete(Engine& engine, uint32_t id);
    uint32_t Run(Engine& engine, uint32_t id, const std::vector<uint32_t>& arguments);
    uint32_t RunFlashCommand(Engine& engine, uint32_t id, const std::vector<uint32_t>& arguments);
    bool StepVV(Engine& engine);
    void RaisePush(uint32_t offset, uint32_t count, bool fromIfr);
    bool PullOrFinish(Engine& engine);
    void WritePrintf(Engine& engine);
    struct Buffers
    {
        uint32_t cmdIn = 0, cmdOut = 0, cmdOutSize = 0, data = 0, dataSize = 0, printfHeader = 0;
    };
    std::optional<Buffers> FindBuffers(const Engine& engine) const;
    uint32_t ReadFlashId(Engine& engine, CFlashMaster& flash, const Buffers& buffers);
    uint32_t RunPartCommand(Engine& engine, CFlashMaster& flash, const Buffers& buffers,
                            uint32_t id, const std::vector<uint32_t>& arguments);
    std::vector<uint32_t> DmemWords(const Engine& engine, uint32_t offset, uint32_t count) const;
    void PutDmemWords(Engine& engine, uint32_t offset, const std::vector<uint32_t>& words);

    std::string m_name;
    CSimGpu& m_gpu;
    SimKestrixConfig m_config;
    CVirtualClock* m_clock = nullptr;
    SimCounters* m_counters = nullptr;
    CSimMachine* m_machine = nullptr;
    std::array<Engine, 3> m_engines;
    std::vector<Command> m_commands;
    std::vector<uint8_t> m_partBlock;
    std::vector<uint8_t> m_prepPayload;
    std::vector<uint32_t> m_vvPushed;
    std::vector<uint32_t> m_vvRequests;
    CSimImageWindow m_vvImage;
    std::vector<uint32_t> m_vvDevinit;
    std::array<uint32_t, 10> m_transfer{};
    uint32_t m_request = 0;
    uint32_t m_enable = 0xFFFFFFFF;
    uint32_t m_mailboxWrites = 0;
    std::string m_printf;
};
