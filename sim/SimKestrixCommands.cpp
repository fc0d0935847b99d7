// The behavioural microcode of the simulated Kestrix engines: the mailbox
// state machine, the commands, the VV script and the printf ring. Flash
// commands go to the GPU's chip over its serial lines, as the microcode's
// SPI controller would send them.

#include "sim/SimCounters.h"
#include "sim/SimEepromChip.h"
#include "sim/SimGpu.h"
#include "sim/SimKestrix.h"
#include "sim/SimKestrixDataMap.h"
#include "sim/SimMachine.h"
#include "sim/VirtualClock.h"

#include "core/Range.h"

#include <algorithm>
#include <span>

namespace
{
constexpr uint32_t kStatusPending = 2;
constexpr uint32_t kStatusComplete = 3;
constexpr uint32_t kPrintfPending = 0x80000000;

enum : uint32_t
{
    kEID = 2,
    kESI = 3,
    kERD = 4,
    kEWR = 5,
    kESE = 6,
    kECE = 7,
    kRRD = 8,
    kRWR = 9,
    kPREP = 10,
    kCLOSE = 11,
    kEPROT = 12,
    kERDSR = 13,
    kVV = 14,
    kECID = 15,
    kBSI_INFO = 17,
};

enum : uint32_t
{
    kErrTimeout = 1,
    kErrDependency = 2,
    kErrEidRead = 3,
    kErrErdBuffer = 4,
    kErrEwrBuffer = 5,
    kErrUnsupportedCommand = 7,
    kErrUnsupportedParameter = 8,
};

// The part block's 16-bit words (ESI).
enum : size_t
{
    kPartBytesPerPage = 2,
    kPartKbytesPerBlock = 3,
    kPartSizeDepth = 6,
    kPartSizeWidth = 7,
    kPartChipErase = 8,
    kPartBulkErase = 9,
    kPartWriteProtectMask = 10,
};

// EWR flags bit 0: program only; clear, the microcode erases on demand.
constexpr uint32_t kEwrWithoutErase = 1;

constexpr uint32_t kPushRequest = 1u << 29;
constexpr uint32_t kDevinitRequest = 7u << 29;
constexpr uint32_t kAnswered = 3;
// Stages of the VV script.
enum : int
{
    kVVStart = 0,
    kVVProbing,
    kVVPulling,
    kVVDevinit,
    kVVDone,
};
constexpr uint32_t kBusyWaitPolls = 1000000;
// The secure scratch area BSI_INFO copies out.
constexpr uint32_t kSecureScratchBytes = 64;
} // namespace

// SPI mode 0 over the chip's lines: data set while the clock is low, taken on
// the rising edge; the chip's output is read while the clock is low.
class CSimKestrix::CFlashMaster
{
public:
    CFlashMaster(ISimEepromChip& chip, CVirtualClock* clock) : m_chip(chip), m_clock(clock) {}

    void Begin() { m_chip.SetLines(true, false, false); }
    void End() { m_chip.SetLines(false, false, false); }
    void Send(uint8_t value)
    {
        for (int bit = 7; bit >= 0; --bit)
        {
            const bool one = (value >> bit) & 1u;
            m_chip.SetLines(true, false, one);
            m_chip.SetLines(true, true, one);
            m_chip.SetLines(true, false, one);
        }
    }
    void SendAddress(uint32_t address)
    {
        Send(static_cast<uint8_t>(address >> 16));
        Send(static_cast<uint8_t>(address >> 8));
        Send(static_cast<uint8_t>(address));
    }
    uint8_t Receive()
    {
        uint8_t value = 0;
        for (int bit = 0; bit < 8; ++bit)
        {
            value = static_cast<uint8_t>(value << 1 | (m_chip.DataOut() ? 1 : 0));
            m_chip.SetLines(true, true, false);
            m_chip.SetLines(true, false, false);
        }
        return value;
    }
    void Frame(std::initializer_list<uint8_t> bytes)
    {
        Begin();
        for (const uint8_t value : bytes)
        {
            Send(value);
        }
        End();
    }
    uint8_t Status()
    {
        Begin();
        Send(0x05);
        const uint8_t status = Receive();
        End();
        return status;
    }
    std::vector<uint8_t> Read(uint32_t address, uint32_t count)
    {
        std::vector<uint8_t> bytes(count);
        Begin();
        Send(0x03);
        SendAddress(address);
        for (uint8_t& value : bytes)
        {
            value = Receive();
        }
        End();
        return bytes;
    }
    // These return false when the chip stays busy.
    bool EraseBlock(uint8_t opcode, uint32_t address)
    {
        Frame({0x06});
        Begin();
        Send(opcode);
        SendAddress(address);
        End();
        return WaitReady();
    }
    // Page programs over `bytes` from `address`, each within its page; with
    // `skipErased`, pages of nothing but 0xFF are not sent.
    bool Program(uint32_t address, std::span<const uint8_t> bytes, uint32_t page, bool skipErased)
    {
        for (size_t done = 0; done < bytes.size();)
        {
            const uint32_t at = static_cast<uint32_t>(address + done);
            const size_t chunk = std::min<size_t>(bytes.size() - done, page - at % page);
            const std::span<const uint8_t> piece = bytes.subspan(done, chunk);
            done += chunk;
            if (skipErased &&
                std::all_of(piece.begin(), piece.end(), [](uint8_t b) { return b == 0xFF; }))
            {
                continue;
            }
            Frame({0x06});
            Begin();
            Send(0x02);
            SendAddress(at);
            for (const uint8_t value : piece)
            {
                Send(value);
            }
            End();
            if (!WaitReady())
            {
                return false;
            }
        }
        return true;
    }
    // Erases on demand before `bytes` are programmed at `address`: each erase
    // block where a new byte needs a bit set that is clear now, putting back
    // the rest of that block; a block the bytes can be programmed over stays.
    bool EraseWhereNeeded(uint8_t opcode, uint32_t block, uint32_t page, uint32_t address,
                          std::span<const uint8_t> bytes)
    {
        // In 64 bits: a range ending in the top block must not wrap to 0.
        const uint64_t end = uint64_t{address} + bytes.size();
        for (uint64_t start = address / block * uint64_t{block}; start < end; start += block)
        {
            const uint64_t from = std::max<uint64_t>(start, address);
            const uint64_t to = std::min<uint64_t>(start + block, end);
            const std::vector<uint8_t> old = Read(static_cast<uint32_t>(start), block);
            bool needed = false;
            for (uint64_t at = from; at < to && !needed; ++at)
            {
                const uint8_t wanted = bytes[at - address];
                needed = (old[at - start] & wanted) != wanted;
            }
            const std::span<const uint8_t> kept(old);
            if (needed &&
                (!EraseBlock(opcode, static_cast<uint32_t>(start)) ||
                 !Program(static_cast<uint32_t>(start), kept.first(from - start), page, true) ||
                 !Program(static_cast<uint32_t>(to), kept.subspan(to - start), page, true)))
            {
                return false;
            }
        }
        return true;
    }
    // False when the chip stays busy.
    bool WaitReady()
    {
        for (uint32_t poll = 0; poll < kBusyWaitPolls; ++poll)
        {
            if ((Status() & 1u) == 0)
            {
                return true;
            }
            if (m_clock)
            {
                m_clock->WaitMicroseconds(10);
            }
        }
        return false;
    }

private:
    ISimEepromChip& m_chip;
    CVirtualClock* m_clock;
};

std::optional<CSimKestrix::Buffers> CSimKestrix::FindBuffers(const Engine& engine) const
{
    std::vector<uint8_t> copy;
    const std::optional<SimKestrixDataMap> map = ReadSimKestrixDataMap(DataMemory(engine, copy));
    // DMEM written after the start may have spoilt the map.
    if (!map || !SimKestrixDataMapFits(*map, m_config.dmemSize))
    {
        return std::nullopt;
    }
    return Buffers{map->commandIn,  map->commandOut,     map->commandOutSize,
                   map->dataBuffer, map->dataBufferSize, map->printfHeader};
}

std::vector<uint32_t> CSimKestrix::DmemWords(const Engine& engine, uint32_t offset,
                                             uint32_t count) const
{
    std::vector<uint32_t> words;
    for (uint32_t i = 0; i < count; ++i)
    {
        const size_t index = offset / 4 + i;
        words.push_back(index < engine.dmem.size() ? engine.dmem[index] : 0);
    }
    return words;
}

void CSimKestrix::PutDmemWords(Engine& engine, uint32_t offset, const std::vector<uint32_t>& words)
{
    for (size_t i = 0; i < words.size(); ++i)
    {
        const size_t index = offset / 4 + i;
        if (index < engine.dmem.size())
        {
            engine.dmem[index] = words[i];
        }
    }
}

uint32_t CSimKestrix::PollMailbox(Engine& engine)
{
    if (!engine.pending)
    {
        return engine.mailbox0;
    }
    const uint32_t id = engine.mailbox0 & 0x0FFFFFFF;
    engine.mailbox0 = id | kStatusPending << 28;
    const bool stuck = std::find(m_config.neverComplete.begin(), m_config.neverComplete.end(),
                                 id) != m_config.neverComplete.end();
    if (stuck)
    {
        return engine.mailbox0;
    }
    if (engine.pollsLeft > 0)
    {
        --engine.pollsLeft;
        return engine.mailbox0;
    }
    if (id == kVV && !StepVV(engine))
    {
        return engine.mailbox0;
    }
    Complete(engine, id);
    return engine.mailbox0;
}

void CSimKestrix::Complete(Engine& engine, uint32_t id)
{
    engine.pending = false;
    const auto buffers = FindBuffers(engine);
    const std::vector<uint32_t> arguments =
        buffers ? DmemWords(engine, buffers->cmdIn, 8) : std::vector<uint32_t>(8, 0);
    uint32_t error = kErrDependency;
    const auto forced = m_config.errorCodes.find(id);
    if (forced != m_config.errorCodes.end())
    {
        error = forced->second;
    }
    else if (buffers)
    {
        error = Run(engine, id, arguments);
    }
    m_commands.push_back({engine.base, id, arguments, error});
    if (m_counters)
    {
        m_counters->Add("kestrix commands");
    }
    engine.mailbox1 = error;
    WritePrintf(engine);
    engine.mailbox0 = id | kStatusComplete << 28;
}

uint32_t CSimKestrix::Run(Engine& engine, uint32_t id, const std::vector<uint32_t>& arguments)
{
    const Buffers buffers = *FindBuffers(engine);
    switch (id)
    {
    case kPREP:
    {
        const bool withPayload = (arguments[0] & 1u) != 0;
        if (withPayload && arguments[1] > buffers.dataSize)
        {
            return kErrUnsupportedParameter;
        }
        m_prepPayload = withPayload ? ReadDmem(engine.base, buffers.data, arguments[1])
                                    : std::vector<uint8_t>{};
        return 0;
    }
    case kBSI_INFO:
    {
        if (buffers.dataSize < kSecureScratchBytes)
        {
            return kErrUnsupportedParameter;
        }
        std::vector<uint8_t> scratch = m_config.secureScratch;
        scratch.resize(kSecureScratchBytes, 0);
        WriteDmem(engine.base, buffers.data, scratch);
        return 0;
    }
    case kCLOSE:
        return 0;
    case kRRD:
    {
        std::vector<uint32_t> words;
        for (uint32_t k = 0; k < std::min(arguments[1], buffers.cmdOutSize / 4); ++k)
        {
            words.push_back(m_gpu.Register(arguments[0] + 4ull * k));
        }
        PutDmemWords(engine, buffers.cmdOut, words);
        return 0;
    }
    case kRWR:
        m_gpu.SetRegister(arguments[0], arguments[1]);
        return 0;
    case kECID:
    {
        const uint32_t count = arguments[0] == 1                          ? 32
                               : (arguments[0] == 2 || arguments[0] == 3) ? 16
                                                                          : 0;
        std::vector<uint8_t> bytes(m_config.ecid.begin(),
                                   m_config.ecid.begin() +
                                       std::min<size_t>(count, m_config.ecid.size()));
        WriteDmem(engine.base, buffers.cmdOut, bytes);
        return 0;
    }
    case kVV:
    {
        if (engine.vvError != 0)
        {
            return engine.vvError;
        }
        PutDmemWords(engine, buffers.cmdOut,
                     {1, 24, m_config.vvCertInfo.empty() ? 0u : 1u, 0, m_config.vvCertInfoOffset,
                      static_cast<uint32_t>(m_config.vvCertInfo.size())});
        WriteDmem(engine.base, m_config.vvCertInfoOffset, m_config.vvCertInfo);
        return 0;
    }
    default:
        break;
    }
    if ((id >= kEID && id <= kECE) || id == kEPROT || id == kERDSR)
    {
        return RunFlashCommand(engine, id, arguments);
    }
    return kErrUnsupportedCommand;
}

// The JEDEC identification of the chip, refused when it reads as no chip.
uint32_t CSimKestrix::ReadFlashId(Engine& engine, CFlashMaster& flash, const Buffers& buffers)
{
    flash.Begin();
    flash.Send(0x9F);
    const uint8_t manufacturer = flash.Receive();
    const uint8_t high = flash.Receive();
    const uint8_t low = flash.Receive();
    flash.End();
    if (manufacturer == 0xFF || manufacturer == 0)
    {
        return kErrEidRead;
    }
    PutDmemWords(engine, buffers.cmdOut,
                 {manufacturer | static_cast<uint32_t>(high << 8 | low) << 16});
    return 0;
}

// The commands that need the part block ESI wrote: its page, block and chip
// sizes and its erase opcodes.
uint32_t CSimKestrix::RunPartCommand(Engine& engine, CFlashMaster& flash, const Buffers& buffers,
                                     uint32_t id, const std::vector<uint32_t>& arguments)
{
    const auto part = [&](size_t word)
    { return static_cast<uint32_t>(m_partBlock[2 * word] | m_partBlock[2 * word + 1] << 8); };
    const uint32_t page = std::max<uint32_t>(part(kPartBytesPerPage), 1);
    const uint32_t block = part(kPartKbytesPerBlock) * 1024;
    const uint32_t chipSize = part(kPartSizeDepth) * part(kPartSizeWidth) * 128;
    const auto bulkErase = static_cast<uint8_t>(part(kPartBulkErase));
    switch (id)
    {
    case kERD:
    {
        const uint32_t count = arguments[1];
        if (count > buffers.dataSize)
        {
            return kErrErdBuffer;
        }
        WriteDmem(engine.base, buffers.data, flash.Read(arguments[0], count));
        return 0;
    }
    case kEWR:
    {
        const uint32_t address = arguments[0];
        const uint32_t count = arguments[1];
        if (count > buffers.dataSize)
        {
            return kErrEwrBuffer;
        }
        const std::vector<uint8_t> bytes = ReadDmem(engine.base, buffers.data, count);
        if ((arguments[2] & kEwrWithoutErase) == 0 && block != 0 &&
            !flash.EraseWhereNeeded(bulkErase, block, page, address, bytes))
        {
            return kErrTimeout;
        }
        return flash.Program(address, bytes, page, false) ? 0u : uint32_t{kErrTimeout};
    }
    case kESE:
        if (block == 0 || arguments[0] % block != 0 || arguments[0] >= chipSize)
        {
            return kErrUnsupportedParameter;
        }
        return flash.EraseBlock(bulkErase, arguments[0]) ? 0u : uint32_t{kErrTimeout};
    case kECE:
        flash.Frame({0x06});
        flash.Frame({static_cast<uint8_t>(part(kPartChipErase))});
        return flash.WaitReady() ? 0u : uint32_t{kErrTimeout};
    case kEPROT:
        flash.Frame({0x06});
        flash.Frame({0x01, static_cast<uint8_t>(arguments[0] ? part(kPartWriteProtectMask) : 0)});
        return flash.WaitReady() ? 0u : uint32_t{kErrTimeout};
    case kERDSR:
        PutDmemWords(engine, buffers.cmdOut, {flash.Status()});
        return 0;
    default:
        return kErrUnsupportedCommand;
    }
}

uint32_t CSimKestrix::RunFlashCommand(Engine& engine, uint32_t id,
                                      const std::vector<uint32_t>& arguments)
{
    ISimEepromChip* chip = m_gpu.Chip();
    const Buffers buffers = *FindBuffers(engine);
    if (!chip)
    {
        return kErrEidRead;
    }
    CFlashMaster flash(*chip, m_clock);
    if (id == kEID)
    {
        return ReadFlashId(engine, flash, buffers);
    }
    if (id == kESI)
    {
        m_partBlock = ReadDmem(engine.base, buffers.cmdIn, 28);
        return 0;
    }
    if (m_partBlock.empty())
    {
        return kErrDependency;
    }
    return RunPartCommand(engine, flash, buffers, id, arguments);
}

void CSimKestrix::RaisePush(uint32_t offset, uint32_t count, bool fromIfr)
{
    m_request = (offset & 0xFFFFF) | (count & 0xFF) << 20 | (fromIfr ? 1u << 28 : 0) | kPushRequest;
    m_vvRequests.push_back(m_request);
}

// Runs the signer check over what has been pulled: raises the push request
// for the bytes it needs next, or, once it has decided, the devinit request
// (accepted) or the end of the command (refused). False while waiting.
bool CSimKestrix::PullOrFinish(Engine& engine)
{
    const TrustedRoot root = m_machine ? m_machine->RootInForce() : BuiltInTrustedRoot();
    const SimSignerCheck check = CheckSimImageSigner(m_vvImage, root);
    if (check.pull)
    {
        RaisePush(check.pull->first, check.pull->second, false);
        engine.vvStage = kVVPulling;
        return false;
    }
    engine.vvError = check.error;
    if (check.error != 0)
    {
        m_request = 0;
        engine.vvStage = kVVDone;
        return true;
    }
    m_request = kDevinitRequest;
    engine.vvStage = kVVDevinit;
    return false;
}

bool CSimKestrix::StepVV(Engine& engine)
{
    const bool answered = (m_request >> 29) == kAnswered;
    switch (engine.vvStage)
    {
    case kVVStart:
        m_vvImage.Clear();
        engine.vvError = 0;
        if (m_config.vvProbe)
        {
            RaisePush(m_config.vvProbe->offset, m_config.vvProbe->count, m_config.vvProbe->fromIfr);
            engine.vvStage = kVVProbing;
            return false;
        }
        return PullOrFinish(engine);
    case kVVProbing:
        if (!answered)
        {
            return false;
        }
        m_vvPushed.assign(m_transfer.begin(), m_transfer.end());
        return PullOrFinish(engine);
    case kVVPulling:
    {
        if (!answered)
        {
            return false;
        }
        // The words the host wrote, little-endian, as far as asked.
        const uint32_t offset = m_request & 0xFFFFF;
        const uint32_t count = (m_request >> 20) & 0xFF;
        std::vector<uint8_t> bytes;
        for (uint32_t i = 0; i < count; ++i)
        {
            bytes.push_back(static_cast<uint8_t>(m_transfer[i / 4] >> (8 * (i % 4))));
        }
        m_vvImage.Keep(offset, bytes);
        return PullOrFinish(engine);
    }
    case kVVDevinit:
        if (!answered)
        {
            return false;
        }
        m_vvDevinit = {m_transfer[0], m_transfer[1]};
        m_request = 0;
        engine.vvStage = kVVDone;
        return true;
    default:
        return true;
    }
}

void CSimKestrix::WritePrintf(Engine& engine)
{
    const auto buffers = FindBuffers(engine);
    if (m_printf.empty() || !buffers || buffers->printfHeader == 0)
    {
        return;
    }
    std::vector<uint32_t> header = DmemWords(engine, buffers->printfHeader, 4);
    const uint32_t ring = header[1];
    const uint32_t size = header[2];
    if (size == 0 || !RangeFits(ring, size, m_config.dmemSize))
    {
        return;
    }
    uint32_t writeOffset = header[0] % size;
    for (const char c : m_printf)
    {
        WriteDmem(engine.base, ring + writeOffset, {static_cast<uint8_t>(c)});
        if (++writeOffset == size)
        {
            writeOffset = 0;
            header[3] |= 1; // wrapped
        }
    }
    header[0] = writeOffset;
    header[3] |= 2; // holds text
    PutDmemWords(engine, buffers->printfHeader, header);
    m_printf.clear();
    engine.mailbox1 |= kPrintfPending;
}
