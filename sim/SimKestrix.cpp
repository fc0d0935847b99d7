// Registers and memories of the simulated Kestrix engines; the microcode's
// commands are in SimKestrixCommands.cpp.

#include "sim/SimKestrix.h"
#include "sim/SimKestrixDataMap.h"

#include "sim/SimGpu.h"
#include "sim/SimMachine.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace
{
constexpr uint32_t kMailbox0 = 0x040;
constexpr uint32_t kMailbox1 = 0x044;
constexpr uint32_t kCpuControl = 0x100;
constexpr uint32_t kBootVector = 0x104;
constexpr uint32_t kHardwareConfig = 0x108;
constexpr uint32_t kDmaControl = 0x10C;
constexpr uint32_t kResetStatus = 0x118;
constexpr uint32_t kImemControl = 0x180;
constexpr uint32_t kImemData = 0x184;
constexpr uint32_t kImemTag = 0x188;
constexpr uint32_t kDmemControl = 0x1C0;
constexpr uint32_t kDmemData = 0x1C4;
constexpr uint32_t kEngineSpan = 0x400;

constexpr uint32_t kEnableRegister = 0x000200;
constexpr uint32_t kResetPermission = 0x10A3C4;

constexpr uint32_t kAddressMask = 0x00FFFFFF;
constexpr uint32_t kWriteIncrement = 1u << 24;
constexpr uint32_t kReadIncrement = 1u << 25;
constexpr uint32_t kSecureBit = 1u << 28;
constexpr uint32_t kBlockSize = 256;

// An engine's memories are words whose bytes the microcode sees low byte
// first. Where the host keeps words low byte first too, the bytes are copied
// in bulk, and the whole data memory, which every command reads (up to four
// times) to find its buffers, is read in place (DataMemory).

// How many of the bytes [offset, offset + count) the memory holds.
size_t HeldBytes(const std::vector<uint32_t>& memory, uint32_t offset, size_t count)
{
    const uint64_t stored = uint64_t{memory.size()} * 4;
    return offset < stored ? static_cast<size_t>(std::min<uint64_t>(count, stored - offset)) : 0;
}

// Bytes past the memory's end read 0.
std::vector<uint8_t> MemoryBytes(const std::vector<uint32_t>& memory, uint32_t offset,
                                 uint32_t count)
{
    std::vector<uint8_t> bytes(count, 0);
    const size_t held = HeldBytes(memory, offset, count);
    if (held == 0)
    {
        return bytes;
    }
    if constexpr (std::endian::native == std::endian::little)
    {
        std::memcpy(bytes.data(), reinterpret_cast<const uint8_t*>(memory.data()) + offset, held);
    }
    else
    {
        for (size_t i = 0; i < held; ++i)
        {
            const uint64_t at = uint64_t{offset} + i;
            bytes[i] = static_cast<uint8_t>(memory[at / 4] >> (8 * (at % 4)));
        }
    }
    return bytes;
}

// Bytes past the memory's end are dropped.
void PutMemoryBytes(std::vector<uint32_t>& memory, uint32_t offset,
                    const std::vector<uint8_t>& bytes)
{
    const size_t held = HeldBytes(memory, offset, bytes.size());
    if (held == 0)
    {
        return;
    }
    if constexpr (std::endian::native == std::endian::little)
    {
        std::memcpy(reinterpret_cast<uint8_t*>(memory.data()) + offset, bytes.data(), held);
    }
    else
    {
        for (size_t i = 0; i < held; ++i)
        {
            const uint64_t at = uint64_t{offset} + i;
            uint32_t& word = memory[at / 4];
            const unsigned shift = 8 * (at % 4);
            word = (word & ~(0xFFu << shift)) | uint32_t{bytes[i]} << shift;
        }
    }
}

class CHook : public ISimGpuRegisterHook
{
public:
    explicit CHook(CSimKestrix& owner) : m_owner(owner) {}
    std::optional<uint32_t> ReadRegister(uint64_t offset, unsigned width) override
    {
        return width == 4 ? m_owner.Read(offset) : std::nullopt;
    }
    bool WriteRegister(uint64_t offset, unsigned width, uint32_t value) override
    {
        return width == 4 && m_owner.Write(offset, value);
    }

private:
    CSimKestrix& m_owner;
};

void Advance(uint32_t& control, uint32_t flag)
{
    if (control & flag)
    {
        control = (control & ~kAddressMask) | ((control + 4) & kAddressMask);
    }
}
} // namespace

CSimKestrix::CSimKestrix(std::string name, CSimGpu& gpu, SimKestrixConfig config)
    : m_name(std::move(name)), m_gpu(gpu), m_config(std::move(config))
{
    const std::array<std::pair<uint32_t, uint32_t>, 3> engines = {
        {{kPmuBase, 13}, {kKrdecBase, 15}, {kSecBase, 14}}};
    for (size_t i = 0; i < engines.size(); ++i)
    {
        Engine& engine = m_engines[i];
        engine.base = engines[i].first;
        engine.enableBit = engines[i].second;
        engine.imem.assign(m_config.imemSize / 4, 0);
        engine.dmem.assign(m_config.dmemSize / 4, 0);
        engine.secureBlocks.assign(m_config.imemSize / kBlockSize, false);
        engine.tags.assign(m_config.imemSize / kBlockSize, std::nullopt);
    }
}

CSimKestrix::~CSimKestrix() = default;

void CSimKestrix::Attach(CSimMachine& machine)
{
    m_machine = &machine;
    m_clock = &machine.Clock();
    m_counters = &machine.Counters();
    m_gpu.AddHook(std::make_shared<CHook>(*this));
}

CSimKestrix::Engine& CSimKestrix::EngineAt(uint32_t base)
{
    for (Engine& engine : m_engines)
    {
        if (engine.base == base)
        {
            return engine;
        }
    }
    return m_engines[0];
}

CSimKestrix::Engine* CSimKestrix::EngineOf(uint64_t offset, uint32_t& registerOffset)
{
    for (Engine& engine : m_engines)
    {
        const uint64_t reg = offset - engine.base;
        const bool known =
            reg == kMailbox0 || reg == kMailbox1 || (reg >= kCpuControl && reg <= kResetStatus) ||
            (reg >= kImemControl && reg <= kImemTag) || (reg >= kDmemControl && reg <= kDmemData) ||
            reg == kIcdCommand || reg == kIcdData;
        if (offset >= engine.base && offset < engine.base + kEngineSpan && known)
        {
            registerOffset = static_cast<uint32_t>(offset - engine.base);
            return &engine;
        }
    }
    return nullptr;
}

std::optional<uint32_t> CSimKestrix::Read(uint64_t offset)
{
    if (offset == kResetPermission)
    {
        return m_config.resetPermission;
    }
    if (offset >= 0x10A450 && offset < 0x10A478)
    {
        return m_transfer[(offset - 0x10A450) / 4];
    }
    if (offset == 0x10A47C)
    {
        return m_request;
    }
    uint32_t reg = 0;
    Engine* engine = EngineOf(offset, reg);
    if (!engine)
    {
        return std::nullopt;
    }
    return ReadEngine(*engine, reg);
}

bool CSimKestrix::Write(uint64_t offset, uint32_t value)
{
    if (offset == kEnableRegister)
    {
        WriteEnable(value);
        return false; // the GPU keeps the register itself
    }
    if (offset >= 0x10A450 && offset < 0x10A478)
    {
        m_transfer[(offset - 0x10A450) / 4] = value;
        return true;
    }
    if (offset == 0x10A47C)
    {
        m_request = value;
        return true;
    }
    uint32_t reg = 0;
    Engine* engine = EngineOf(offset, reg);
    if (!engine)
    {
        return false;
    }
    WriteEngine(*engine, reg, value);
    return true;
}

void CSimKestrix::WriteEnable(uint32_t value)
{
    for (Engine& engine : m_engines)
    {
        const uint32_t bit = 1u << engine.enableBit;
        if ((m_enable & bit) && !(value & bit))
        {
            // Engine disabled: it stops and forgets its command.
            engine.running = false;
            engine.pending = false;
        }
    }
    m_enable = value;
}

uint32_t CSimKestrix::MemoryWord(const std::vector<uint32_t>& memory, uint32_t address) const
{
    const size_t index = (address & kAddressMask) / 4;
    return index < memory.size() ? memory[index] : 0;
}

uint32_t CSimKestrix::ReadEngine(Engine& engine, uint32_t reg)
{
    switch (reg)
    {
    case kMailbox0:
        return PollMailbox(engine);
    case kMailbox1:
        return engine.mailbox1;
    case kCpuControl:
        return engine.cpuControl;
    case kBootVector:
        return engine.bootVector;
    case kHardwareConfig:
        return (m_config.imemSize / kBlockSize) | (m_config.dmemSize / kBlockSize) << 9;
    case kDmaControl:
        if (engine.dmaPollsLeft > 0)
        {
            if (!m_config.dmaNeverIdle)
            {
                --engine.dmaPollsLeft;
            }
            return engine.dmaControl | 0x6;
        }
        return engine.dmaControl;
    case kResetStatus:
        if (engine.resetPollsLeft > 0)
        {
            if (!m_config.resetNeverReady)
            {
                --engine.resetPollsLeft;
            }
            return 0x1;
        }
        return 0x2;
    case kImemControl:
        return engine.imemControl;
    case kDmemControl:
        return engine.dmemControl;
    case kImemData:
    {
        const uint32_t word = MemoryWord(engine.imem, engine.imemControl);
        Advance(engine.imemControl, kReadIncrement);
        return word;
    }
    case kDmemData:
    {
        const uint32_t word = MemoryWord(engine.dmem, engine.dmemControl);
        Advance(engine.dmemControl, kReadIncrement);
        return word;
    }
    default:
        return engine.plainRegisters[reg];
    }
}

void CSimKestrix::WriteEngine(Engine& engine, uint32_t reg, uint32_t value)
{
    switch (reg)
    {
    case kMailbox0:
        ++m_mailboxWrites;
        engine.mailbox0 = value;
        if (engine.running && (value >> 28) == 1)
        {
            engine.pending = true;
            engine.pollsLeft = m_config.pendingPolls;
            engine.vvStage = 0;
        }
        return;
    case kMailbox1:
        engine.mailbox1 = value;
        return;
    case kCpuControl:
        engine.cpuControl = value;
        if (value == 9)
        {
            ResetEngine(engine);
        }
        else if (value == 2)
        {
            StartEngine(engine);
        }
        return;
    case kBootVector:
        engine.bootVector = value;
        return;
    case kDmaControl:
        engine.dmaControl = value;
        return;
    case kImemControl:
        engine.imemControl = value;
        return;
    case kDmemControl:
        engine.dmemControl = value;
        return;
    case kImemTag:
    {
        const size_t block = (engine.imemControl & kAddressMask) / kBlockSize;
        if (block < engine.tags.size())
        {
            engine.tags[block] = value;
        }
        return;
    }
    case kImemData:
    {
        const size_t index = (engine.imemControl & kAddressMask) / 4;
        if (index < engine.imem.size())
        {
            engine.imem[index] = value;
            engine.secureBlocks[index * 4 / kBlockSize] = (engine.imemControl & kSecureBit) != 0;
        }
        Advance(engine.imemControl, kWriteIncrement);
        return;
    }
    case kDmemData:
    {
        const size_t index = (engine.dmemControl & kAddressMask) / 4;
        if (index < engine.dmem.size())
        {
            engine.dmem[index] = value;
        }
        Advance(engine.dmemControl, kWriteIncrement);
        return;
    }
    case kIcdCommand:
        RunIcdCommand(engine, value);
        return;
    default:
        engine.plainRegisters[reg] = value;
    }
}

void CSimKestrix::RunIcdCommand(Engine& engine, uint32_t value)
{
    // A register read (command 8) answers at once: the engine's program
    // counter is its boot vector, the other registers read 0.
    constexpr uint32_t kIcdRead = 8;
    constexpr uint32_t kIcdPc = 21;
    constexpr uint32_t kIcdReady = 1u << 15;
    engine.plainRegisters[kIcdCommand] = value;
    if ((value & 0xFF) == kIcdRead)
    {
        const uint32_t index = (value >> 8) & 0x1F;
        engine.plainRegisters[kIcdData] = index == kIcdPc ? engine.bootVector : 0;
        engine.plainRegisters[kIcdCommand] = value | kIcdReady;
    }
}

void CSimKestrix::ResetEngine(Engine& engine)
{
    ++engine.resets;
    engine.running = false;
    engine.pending = false;
    engine.refusedSignature = false;
    engine.refusedDataMap = false;
    engine.mailbox0 = 0;
    engine.mailbox1 = 0;
    std::fill(engine.imem.begin(), engine.imem.end(), 0);
    std::fill(engine.dmem.begin(), engine.dmem.end(), 0);
    std::fill(engine.secureBlocks.begin(), engine.secureBlocks.end(), false);
    std::fill(engine.tags.begin(), engine.tags.end(), std::nullopt);
    engine.resetPollsLeft = std::max<uint32_t>(m_config.resetPolls, 1);
    engine.dmaPollsLeft = m_config.dmaPolls;
}

bool CSimKestrix::SignatureAccepted(const Engine& engine) const
{
    if (!m_config.expectedSignature)
    {
        return true;
    }
    std::vector<uint8_t> copy;
    const std::span<const uint8_t> data = DataMemory(engine, copy);
    const std::optional<SimKestrixDataMap> map = ReadSimKestrixDataMap(data);
    const uint32_t slot = map && map->signatureArea ? *map->signatureArea : 0;
    return uint64_t{slot} + kSimKestrixSignatureSize <= data.size() &&
           std::equal(m_config.expectedSignature->begin(), m_config.expectedSignature->end(),
                      data.begin() + slot);
}

bool CSimKestrix::DataMapUsable(const Engine& engine) const
{
    // Microcode without a map runs, and fails every command for want of its
    // buffers.
    std::vector<uint8_t> copy;
    const std::optional<SimKestrixDataMap> map = ReadSimKestrixDataMap(DataMemory(engine, copy));
    return !map || SimKestrixDataMapFits(*map, m_config.dmemSize);
}

void CSimKestrix::StartEngine(Engine& engine)
{
    ++engine.starts;
    engine.refusedSignature = !SignatureAccepted(engine);
    engine.refusedDataMap = !DataMapUsable(engine);
    engine.running = !engine.refusedSignature && !engine.refusedDataMap;
}

std::span<const uint8_t> CSimKestrix::DataMemory(const Engine& engine,
                                                 std::vector<uint8_t>& copy) const
{
    if constexpr (std::endian::native == std::endian::little)
    {
        if (HeldBytes(engine.dmem, 0, m_config.dmemSize) == m_config.dmemSize)
        {
            return {reinterpret_cast<const uint8_t*>(engine.dmem.data()), m_config.dmemSize};
        }
    }
    copy = MemoryBytes(engine.dmem, 0, m_config.dmemSize);
    return copy;
}

std::vector<uint8_t> CSimKestrix::ReadDmem(uint32_t base, uint32_t offset, uint32_t count) const
{
    const Engine* engine = &m_engines[0];
    for (const Engine& candidate : m_engines)
    {
        if (candidate.base == base)
        {
            engine = &candidate;
        }
    }
    return MemoryBytes(engine->dmem, offset, count);
}

std::vector<uint8_t> CSimKestrix::ReadImem(uint32_t base, uint32_t offset, uint32_t count) const
{
    std::vector<uint8_t> bytes;
    for (const Engine& engine : m_engines)
    {
        if (engine.base == base)
        {
            const std::vector<uint8_t> held = MemoryBytes(engine.imem, offset, count);
            bytes.insert(bytes.end(), held.begin(), held.end());
        }
    }
    return bytes;
}

void CSimKestrix::WriteDmem(uint32_t base, uint32_t offset, const std::vector<uint8_t>& bytes)
{
    PutMemoryBytes(EngineAt(base).dmem, offset, bytes);
}
