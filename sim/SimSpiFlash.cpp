#include "sim/SimSpiFlash.h"
#include "sim/MachineFile.h"
#include "sim/SimCounters.h"
#include "sim/SimMachine.h"
#include "sim/SimPartReaders.h"
#include "sim/VirtualClock.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <stdexcept>

namespace
{
constexpr uint8_t kStatusBusy = 0x01;
constexpr uint8_t kStatusWriteEnabled = 0x02;
// A program frame holds the opcode, the address and at most a page of data
// (with the SST trailing byte); more is dropped.
constexpr size_t kMaxFrame = 4 + 1024 + 1;
constexpr uint8_t kSstSectorErase = 0x20;

std::vector<uint8_t> AnswerOf(const SimFlashId& id)
{
    return {id.bytes.begin(), id.bytes.begin() + id.length};
}

// The chip's times from the part's typical figures: the 4 KiB erase for
// sectors, the largest block erase for blocks.
SimSpiFlashTiming TimingOf(const SimFlashPart& part)
{
    SimSpiFlashTiming timing;
    timing.pageProgram = part.pageProgram.typicalUs;
    timing.byteProgram = part.byteProgram.typicalUs;
    timing.writeStatus = part.writeStatus.typicalUs;
    uint32_t largestBlock = 0;
    for (const SimFlashErase& erase : part.erases)
    {
        if (erase.bytes == 0)
        {
            timing.chipErase = erase.time.typicalUs;
        }
        else if (erase.bytes <= 4096)
        {
            timing.sectorErase = erase.time.typicalUs;
        }
        else if (erase.bytes > largestBlock)
        {
            largestBlock = erase.bytes;
            timing.blockErase = erase.time.typicalUs;
        }
    }
    return timing;
}
} // namespace

CSimSpiFlash::CSimSpiFlash(std::string name, const SimFlashPart& part, ESimSpiFlavour flavour,
                           std::shared_ptr<CSimChipStore> contents, CVirtualClock* clock,
                           SimCounters* counters)
    : m_name(std::move(name)), m_part(part), m_flavour(flavour), m_contents(std::move(contents)),
      m_clock(clock), m_counters(counters), m_size(part.sizeBytes),
      m_pageSize(std::max<uint32_t>(part.pageBytes, 1)), m_timing(TimingOf(part))
{
    if (!m_contents)
    {
        throw std::invalid_argument("a flash chip needs its contents");
    }
    if (m_size == 0 || m_contents->Size() < m_size)
    {
        throw std::invalid_argument("the contents of " + m_name + " are smaller than the part");
    }
    m_idAnswers[0x9F] = AnswerOf(part.jedecId);
    m_idAnswers[0x90] = AnswerOf(part.readId);
    m_idAnswers[0xAB] = AnswerOf(part.signature);
    m_idAnswers[0x15] = AnswerOf(part.productId);
}

const SimFlashPart& CSimSpiFlash::FindPart(uint8_t manufacturerId, uint16_t deviceId)
{
    const SimFlashPart* part = FindSimFlashPart(manufacturerId, deviceId);
    if (part == nullptr)
    {
        throw std::invalid_argument("no simulated flash part has this ID");
    }
    return *part;
}

void CSimSpiFlash::SetIdAnswer(uint8_t opcode, std::vector<uint8_t> answer)
{
    m_idAnswers[opcode] = std::move(answer);
}

uint64_t CSimSpiFlash::CommandCount(uint8_t opcode) const
{
    const auto found = m_commands.find(opcode);
    return found == m_commands.end() ? 0 : found->second;
}

void CSimSpiFlash::ClearHistory()
{
    m_erases.clear();
    m_programs.clear();
    m_commands.clear();
    m_bytesClocked = 0;
    m_statusReads = 0;
}

// ---- lines -------------------------------------------------------------------

void CSimSpiFlash::SetLines(bool selected, bool clock, bool dataIn)
{
    if (selected != m_selected)
    {
        m_selected = selected;
        m_clockLine = clock;
        if (selected)
        {
            BeginFrame();
        }
        else
        {
            EndFrame();
        }
        return;
    }
    const bool rising = clock && !m_clockLine;
    const bool falling = !clock && m_clockLine;
    m_clockLine = clock;
    if (!m_selected)
    {
        return;
    }
    if (rising)
    {
        m_shiftIn = static_cast<uint8_t>(m_shiftIn << 1 | (dataIn ? 1 : 0));
        ++m_bitCount;
        if (m_flavour == ESimSpiFlavour::SST)
        {
            if (m_bitCount == 1 && m_statusPending)
            {
                // The status byte is taken when its first bit goes out, so
                // that every byte the driver reads is one status read.
                m_statusPending = false;
                m_shiftOut = StatusReadBusy() ? 0x00 : 0x01;
            }
            m_dataOut = (m_shiftOut >> (8 - m_bitCount)) & 1u;
        }
        if (m_bitCount == 8)
        {
            m_bitCount = 0;
            ByteReceived(m_shiftIn);
            m_shiftOut = NextOutputByte();
        }
    }
    else if (falling && m_flavour == ESimSpiFlavour::Standard)
    {
        m_dataOut = (m_shiftOut >> (7 - m_bitCount)) & 1u;
    }
}

void CSimSpiFlash::Release()
{
    if (m_selected)
    {
        m_selected = false;
        EndFrame();
    }
    m_clockLine = false;
}

void CSimSpiFlash::BeginFrame()
{
    m_bitCount = 0;
    m_shiftIn = 0;
    m_shiftOut = 0xFF;
    m_frame.clear();
    m_received = 0;
    m_statusLatched = false;
    m_statusPending = false;
}

void CSimSpiFlash::ByteReceived(uint8_t value)
{
    ++m_bytesClocked;
    ++m_received;
    if (m_frame.size() < kMaxFrame)
    {
        m_frame.push_back(value);
    }
}

uint32_t CSimSpiFlash::FrameAddress() const
{
    return (uint32_t{m_frame[1]} << 16 | uint32_t{m_frame[2]} << 8 | m_frame[3]) % m_size;
}

bool CSimSpiFlash::IsBusy() const
{
    if (m_faults.neverReady && m_everBusy)
    {
        return true;
    }
    if (m_busyReadsLeft > 0)
    {
        return true;
    }
    return m_clock && m_clock->NowNanoseconds() < m_busyUntil;
}

bool CSimSpiFlash::IsProtected() const
{
    return (m_status & m_part.protectBits) != 0;
}

void CSimSpiFlash::StartBusy(uint64_t microseconds)
{
    m_everBusy = true;
    m_busyReadsLeft = m_faults.extraBusyReads;
    if (m_clock)
    {
        m_busyUntil = m_clock->NowNanoseconds() + microseconds * 1000;
    }
}

bool CSimSpiFlash::StatusReadBusy()
{
    ++m_statusReads;
    if (m_faults.neverReady && m_everBusy)
    {
        return true;
    }
    if (m_clock && m_clock->NowNanoseconds() < m_busyUntil)
    {
        return true;
    }
    if (m_busyReadsLeft > 0)
    {
        --m_busyReadsLeft;
        return true;
    }
    return false;
}

uint8_t CSimSpiFlash::StandardStatus()
{
    const bool busy = StatusReadBusy();
    return static_cast<uint8_t>((m_status & ~(kStatusBusy | kStatusWriteEnabled)) |
                                (busy ? kStatusBusy : 0) |
                                (m_writeEnabled ? kStatusWriteEnabled : 0));
}

uint8_t CSimSpiFlash::IdAnswer(uint8_t opcode, size_t index) const
{
    const auto found = m_idAnswers.find(opcode);
    if (found == m_idAnswers.end() || found->second.empty())
    {
        return 0xFF;
    }
    const std::vector<uint8_t>& answer = found->second;
    return answer[std::min(index, answer.size() - 1)];
}

// The byte the chip shifts out in the slot after the bytes received so far.
uint8_t CSimSpiFlash::NextOutputByte()
{
    const uint8_t opcode = m_frame.front();
    const size_t received = m_received;
    if (m_flavour == ESimSpiFlavour::SST)
    {
        switch (opcode)
        {
        case 0x9F:
            m_statusPending = true;
            return 0x00;
        case 0x90:
            if (received >= 4)
            {
                const bool device = ((FrameAddress() + (received - 4)) & 1u) != 0;
                return device ? static_cast<uint8_t>(m_part.deviceId) : m_part.manufacturerId;
            }
            return 0xFF;
        case 0xFF:
            if (received >= 6 && !IsBusy())
            {
                return m_contents->At((FrameAddress() + (received - 6)) % m_size);
            }
            return 0xFF;
        default:
            return 0xFF;
        }
    }

    if (opcode == 0x05)
    {
        // One status read per frame: the byte repeats until deselect.
        if (!m_statusLatched)
        {
            m_latchedStatus = StandardStatus();
            m_statusLatched = true;
        }
        return m_latchedStatus;
    }
    if (IsBusy())
    {
        return 0xFF;
    }
    switch (opcode)
    {
    case 0x9F:
    case 0x15:
        return IdAnswer(opcode, received - 1);
    case 0x90:
    case 0xAB:
        if (received >= 4)
        {
            const size_t index = received - 4;
            if (opcode == 0x90 && (m_frame[3] & 1u))
            {
                // Address 1 starts with the device byte.
                return IdAnswer(opcode, index + 1 - 2 * (index % 2));
            }
            return IdAnswer(opcode, opcode == 0x90 ? index % 2 : index);
        }
        return 0xFF;
    case 0x03:
        if (received >= 4)
        {
            return m_contents->At((FrameAddress() + (received - 4)) % m_size);
        }
        return 0xFF;
    default:
        return 0xFF;
    }
}

// ---- commands ----------------------------------------------------------------

void CSimSpiFlash::EndFrame()
{
    m_dataOut = true;
    if (m_frame.empty())
    {
        return;
    }
    ++m_commands[m_frame.front()];
    if (m_counters)
    {
        m_counters->Add("spi.bytes", m_frame.size());
        m_counters->Add("spi.frames");
    }
    if (m_flavour == ESimSpiFlavour::SST)
    {
        ExecuteSst();
    }
    else
    {
        ExecuteStandard();
    }
}

void CSimSpiFlash::ExecuteWriteStatus(size_t length)
{
    if (length >= 2 && (m_writeEnabled || m_statusWriteEnabled) && !m_faults.writeProtectPin)
    {
        const uint8_t writable = m_part.writableStatusBits;
        m_status = static_cast<uint8_t>((m_status & ~writable) | (m_frame[1] & writable));
        StartBusy(m_timing.writeStatus);
    }
    m_writeEnabled = false;
    m_statusWriteEnabled = false;
}

void CSimSpiFlash::ExecutePageProgram(size_t length)
{
    if (length >= 5 && m_writeEnabled && !IsProtected())
    {
        // A part without pages programs the first data byte only.
        const size_t dataLength = m_pageSize == 1 ? 1 : length - 4;
        Program(FrameAddress(), m_frame.data() + 4, dataLength, true);
        StartBusy(m_timing.pageProgram);
    }
    m_writeEnabled = false;
}

// Auto-address-increment programming, for the part whose opcode it is: the
// first frame carries the address and one word, the next ones a word each.
void CSimSpiFlash::ExecuteAutoIncrement(uint8_t opcode, size_t length)
{
    if (opcode != m_part.autoIncrementOpcode)
    {
        return;
    }
    const size_t step = opcode == 0xAD ? 2 : 1;
    if (!m_autoIncrement)
    {
        if (length >= 4 + step && m_writeEnabled && !IsProtected())
        {
            m_autoIncrement = true;
            m_autoIncrementAddress = FrameAddress();
            Program(m_autoIncrementAddress, m_frame.data() + 4, step, false);
            m_autoIncrementAddress =
                (m_autoIncrementAddress + static_cast<uint32_t>(step)) % m_size;
            StartBusy(m_timing.byteProgram);
        }
        return;
    }
    if (length >= 1 + step)
    {
        Program(m_autoIncrementAddress, m_frame.data() + 1, step, false);
        m_autoIncrementAddress = (m_autoIncrementAddress + static_cast<uint32_t>(step)) % m_size;
        StartBusy(m_timing.byteProgram);
    }
}

// An erase frame is the opcode alone for a chip erase, the opcode and three
// address bytes for the others; any other length, or an opcode the part
// does not erase with, is ignored.
void CSimSpiFlash::ExecuteErase(uint8_t opcode, size_t length)
{
    const SimFlashErase* erase = FindSimFlashErase(m_part, opcode);
    if (erase == nullptr || length != (erase->bytes == 0 ? 1u : 4u))
    {
        return;
    }
    if (m_writeEnabled && !IsProtected())
    {
        EraseByOpcode(*erase, length == 4 ? FrameAddress() : 0);
    }
    m_writeEnabled = false;
}

void CSimSpiFlash::ExecuteStandard()
{
    const uint8_t opcode = m_frame.front();
    const size_t length = m_frame.size();
    if (IsBusy() || opcode == 0x05)
    {
        return;
    }
    switch (opcode)
    {
    case 0x06:
        m_writeEnabled = !m_faults.loseWriteEnable;
        return;
    case 0x04:
        m_writeEnabled = false;
        m_autoIncrement = false;
        return;
    case 0x50:
        m_statusWriteEnabled = !m_faults.loseWriteEnable;
        return;
    case 0x98:
        if (m_part.globalUnlock && m_writeEnabled)
        {
            m_status &= static_cast<uint8_t>(~m_part.protectBits);
            m_writeEnabled = false;
        }
        return;
    case 0x01:
        ExecuteWriteStatus(length);
        return;
    case 0x02:
        ExecutePageProgram(length);
        return;
    case 0xAD:
    case 0xAF:
        ExecuteAutoIncrement(opcode, length);
        return;
    default:
        ExecuteErase(opcode, length);
        return;
    }
}

void CSimSpiFlash::EraseByOpcode(const SimFlashErase& erase, uint32_t address)
{
    const auto [start, bytes] = SimFlashEraseRange(m_part, erase, address);
    Erase(start, bytes);
    StartBusy(erase.bytes == 0 ? m_timing.chipErase : EraseTime(bytes));
}

void CSimSpiFlash::ExecuteSst()
{
    const uint8_t opcode = m_frame.front();
    const size_t length = m_frame.size();
    if (IsBusy())
    {
        return;
    }
    if (opcode == 0x60 && length >= 5 && m_frame[4] == 0xD0)
    {
        Erase(0, m_size);
        StartBusy(m_timing.chipErase);
    }
    else if (opcode == kSstSectorErase && length >= 5 && m_frame[4] == 0xD0)
    {
        if (const SimFlashErase* erase = FindSimFlashErase(m_part, kSstSectorErase))
        {
            EraseByOpcode(*erase, FrameAddress());
        }
    }
    else if (opcode == 0x10 && length >= 6)
    {
        // The byte after the data ends the command; it is not programmed.
        const size_t dataLength = length - 5;
        Program(FrameAddress(), m_frame.data() + 4, dataLength, m_pageSize > 1);
        StartBusy(m_timing.byteProgram * dataLength);
    }
}

uint64_t CSimSpiFlash::EraseTime(uint32_t length) const
{
    return length <= 4096 ? m_timing.sectorErase : m_timing.blockErase;
}

void CSimSpiFlash::Program(uint32_t address, const uint8_t* data, size_t length, bool wrapInPage)
{
    if (wrapInPage)
    {
        // Bytes past the end of the page wrap to its start.
        const uint32_t pageStart = address / m_pageSize * m_pageSize;
        const uint32_t pageLength = std::min(m_pageSize, m_size - pageStart);
        std::vector<uint8_t> page = m_contents->Read(pageStart, pageLength);
        for (size_t i = 0; i < length; ++i)
        {
            page[(address - pageStart + i) % pageLength] &= data[i];
        }
        m_contents->Write(pageStart, page);
        ApplyStuckBits(pageStart, pageLength);
    }
    else
    {
        for (size_t i = 0; i < length; ++i)
        {
            const uint32_t target = static_cast<uint32_t>((address + i) % m_size);
            const uint8_t value[1] = {static_cast<uint8_t>(m_contents->At(target) & data[i])};
            m_contents->Write(target, value);
            ApplyStuckBits(target, 1);
        }
    }
    m_programs.push_back({address, static_cast<uint32_t>(length)});
    if (m_counters)
    {
        m_counters->Add("spi.programs");
    }
    StopWhenCountReached(m_programs.size(), m_faults.stopAfterPrograms);
}

void CSimSpiFlash::StopWhenCountReached(size_t done, uint32_t stopAfter)
{
    if (stopAfter != 0 && done >= stopAfter)
    {
        // The chip store has written every change back already: the next run
        // finds the chip half-written, as after a power loss.
        std::_Exit(kSimStoppedExitCode);
    }
}

void CSimSpiFlash::Erase(uint32_t address, uint32_t length)
{
    m_contents->Fill(address, length, 0xFF);
    ApplyStuckBits(address, length);
    m_erases.push_back({address, length});
    if (m_counters)
    {
        m_counters->Add("spi.erases");
    }
    StopWhenCountReached(m_erases.size(), m_faults.stopAfterErases);
}

void CSimSpiFlash::ApplyStuckBits(uint32_t address, uint32_t length)
{
    for (auto it = m_faults.stuckBits.lower_bound(address);
         it != m_faults.stuckBits.end() && it->first < uint64_t{address} + length; ++it)
    {
        const auto [mask, value] = it->second;
        const uint8_t stuck =
            static_cast<uint8_t>((m_contents->At(it->first) & ~mask) | (value & mask));
        const uint8_t one[1] = {stuck};
        m_contents->Write(it->first, one);
    }
}

// ---- machine files -------------------------------------------------------------

// The built-in part the section's "part" key ("C2/2017") names.
const SimFlashPart& ReadSpiFlashPart(const nlohmann::json& section)
{
    const std::string key = section.value("part", std::string());
    const size_t slash = key.find('/');
    try
    {
        if (slash == std::string::npos)
        {
            throw std::invalid_argument(key);
        }
        // Each ID whole and in range: "1C2/2010" must not pass for C2/2010.
        const auto id = [](const std::string& text, unsigned long limit)
        {
            size_t used = 0;
            const unsigned long value = std::stoul(text, &used, 16);
            if (used != text.size() || value > limit ||
                !std::isxdigit(static_cast<unsigned char>(text[0])))
            {
                throw std::invalid_argument(text);
            }
            return value;
        };
        return CSimSpiFlash::FindPart(static_cast<uint8_t>(id(key.substr(0, slash), 0xFF)),
                                      static_cast<uint16_t>(id(key.substr(slash + 1), 0xFFFF)));
    }
    catch (const std::exception&)
    {
        throw std::runtime_error("\"part\" is not a built-in part: \"" + key + "\"");
    }
}

void ReadSpiFlashTiming(const nlohmann::json& section, SimSpiFlashTiming& times)
{
    const nlohmann::json timing = section.value("timing", nlohmann::json::object());
    times.pageProgram = SimJsonNumber(timing, "page_program_us", times.pageProgram);
    times.byteProgram = SimJsonNumber(timing, "byte_program_us", times.byteProgram);
    times.sectorErase = SimJsonNumber(timing, "sector_erase_us", times.sectorErase);
    times.blockErase = SimJsonNumber(timing, "block_erase_us", times.blockErase);
    times.chipErase = SimJsonNumber(timing, "chip_erase_us", times.chipErase);
    times.writeStatus = SimJsonNumber(timing, "write_status_us", times.writeStatus);
}

void ReadSpiFlashFaults(const nlohmann::json& section, uint32_t size, SimSpiFlashFaults& wanted)
{
    const nlohmann::json faults = section.value("faults", nlohmann::json::object());
    wanted.neverReady = faults.value("never_ready", false);
    wanted.loseWriteEnable = faults.value("lose_write_enable", false);
    wanted.writeProtectPin = faults.value("write_protect_pin", false);
    wanted.extraBusyReads = static_cast<uint32_t>(
        std::min<uint64_t>(SimJsonNumber(faults, "extra_busy_reads", 0), UINT32_MAX));
    wanted.stopAfterPrograms = static_cast<uint32_t>(
        std::min<uint64_t>(SimJsonNumber(faults, "stop_after_programs", 0), UINT32_MAX));
    wanted.stopAfterErases = static_cast<uint32_t>(
        std::min<uint64_t>(SimJsonNumber(faults, "stop_after_erases", 0), UINT32_MAX));
    for (const nlohmann::json& stuck : faults.value("stuck_bits", nlohmann::json::array()))
    {
        const uint64_t offset = SimJsonRequiredNumber(stuck, "offset");
        const uint64_t mask = SimJsonRequiredNumber(stuck, "mask");
        const uint64_t value = SimJsonNumber(stuck, "value", 0);
        if (offset >= size || mask > 0xFF || value > 0xFF)
        {
            throw std::runtime_error("a stuck bit is out of range");
        }
        wanted.stuckBits[static_cast<uint32_t>(offset)] = {static_cast<uint8_t>(mask),
                                                           static_cast<uint8_t>(value)};
    }
}

namespace
{
// A GPU's "eeprom" section:
//   {"kind": "spi_flash", "name": "flash", "part": "EF/3013",
//    "flavour": "standard" | "sst", "file": "flash.bin", "image": "firmware.rom",
//    "fill": "0xFF", "status": "0x0C",
//    "timing": {"page_program_us": 700, "byte_program_us": 10, "sector_erase_us": 45000,
//               "block_erase_us": 150000, "chip_erase_us": 2000000, "write_status_us": 10000},
//    "faults": {"never_ready": false, "lose_write_enable": false, "write_protect_pin": false,
//               "extra_busy_reads": 0, "stop_after_programs": 0, "stop_after_erases": 0,
//               "stuck_bits": [{"offset": "0x100", "mask": "0x01", "value": "0x00"}]}}
// "part" names a simulated part by its ID (sim/SimFlashParts.cpp); the size
// is the part's, and "timing" replaces its typical datasheet times. "file"
// keeps the contents on disk across runs.
std::shared_ptr<ISimEepromChip> ReadSpiFlash(const nlohmann::json& section, SimLoadContext& context,
                                             const std::string& defaultName)
{
    const SimFlashPart& part = ReadSpiFlashPart(section);
    const std::string flavourText = section.value("flavour", std::string("standard"));
    if (flavourText != "standard" && flavourText != "sst")
    {
        throw std::runtime_error("\"flavour\" must be \"standard\" or \"sst\"");
    }
    const uint32_t size = part.sizeBytes;
    nlohmann::json contentsSection = section;
    contentsSection["size"] = size;
    auto chip = std::make_shared<CSimSpiFlash>(
        section.value("name", defaultName), part,
        flavourText == "sst" ? ESimSpiFlavour::SST : ESimSpiFlavour::Standard,
        ReadSimChipContents(contentsSection, context), &context.machine.Clock(),
        &context.machine.Counters());
    const uint64_t status = SimJsonNumber(section, "status", 0);
    if (status > 0xFF)
    {
        throw std::runtime_error("\"status\" is out of range");
    }
    chip->SetStatus(static_cast<uint8_t>(status));
    ReadSpiFlashTiming(section, chip->Timing());
    ReadSpiFlashFaults(section, size, chip->Faults());
    return chip;
}
} // namespace

void RegisterSpiFlashModel(CSimModelRegistry&)
{
    RegisterSimEepromChipKind("spi_flash", ReadSpiFlash);
}
