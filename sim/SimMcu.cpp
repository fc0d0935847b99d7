#include "sim/SimMcu.h"

#include "core/Range.h"

#include <algorithm>
#include <fstream>
#include <stdexcept>

namespace
{
constexpr uint8_t kParagraphBase = 0x40;
constexpr uint32_t kParagraphSize = 32;
constexpr uint32_t kHeaderSize = 64;

bool IsParagraphCommand(uint8_t command)
{
    return command >= kParagraphBase && command < kParagraphBase + 32;
}

std::vector<uint8_t> Little(uint32_t value, size_t bytes)
{
    std::vector<uint8_t> out;
    for (size_t i = 0; i < bytes; ++i)
    {
        out.push_back(static_cast<uint8_t>(value >> (8 * i)));
    }
    return out;
}
} // namespace

CSimMcuSlave::CSimMcuSlave(std::string name, uint8_t address, SimMcuConfig config)
    : CSimI2CByteSlave(name, address), m_name(std::move(name)), m_config(config),
      m_flash(kFlashSize, 0xFF)
{
}

uint32_t CSimMcuSlave::Crc32(const uint8_t* bytes, size_t length)
{
    uint32_t crc = 0xFFFFFFFF;
    for (size_t i = 0; i < length; ++i)
    {
        crc ^= static_cast<uint32_t>(bytes[i]) << 24;
        for (int bit = 0; bit < 8; ++bit)
        {
            crc = (crc & 0x80000000) ? (crc << 1) ^ 0x04C11DB7 : crc << 1;
        }
    }
    return crc;
}

void CSimMcuSlave::InstallApplication(const std::vector<uint8_t>& file)
{
    if (file.size() > kFlashSize - kApplicationOffset)
    {
        throw std::runtime_error("MCU application larger than the flash");
    }
    std::fill(m_flash.begin() + kApplicationOffset, m_flash.end(), 0xFF);
    std::copy(file.begin(), file.end(), m_flash.begin() + kApplicationOffset);
}

bool CSimMcuSlave::IsApplicationValid() const
{
    const uint8_t* header = m_flash.data() + kApplicationOffset;
    if (!std::equal(header, header + 4, "GMAC") || header[6] != kHeaderSize)
    {
        return false;
    }
    const uint32_t size = header[28] | (header[29] << 8) | (header[30] << 16) |
                          (static_cast<uint32_t>(header[31]) << 24);
    const uint32_t crc = header[32] | (header[33] << 8) | (header[34] << 16) |
                         (static_cast<uint32_t>(header[35]) << 24);
    if (!RangeFits(kApplicationOffset + kHeaderSize, size, kFlashSize))
    {
        return false;
    }
    return Crc32(header + kHeaderSize, size) == crc;
}

bool CSimMcuSlave::KnowsCommand(uint8_t command) const
{
    switch (command)
    {
    case 0x10:
    case 0x11:
    case 0x12:
    case 0x13:
        return true;
    case 0x28:
        return m_mode == 1 && !m_config.refusesReadPage;
    default:
        break;
    }
    if (IsParagraphCommand(command))
    {
        return true;
    }
    return m_mode == 0 && command >= 0x20 && command <= 0x27;
}

bool CSimMcuSlave::OnAddress(bool read)
{
    if (m_config.absent)
    {
        return false;
    }
    if (read)
    {
        m_reply.clear();
        m_replyIndex = 0;
        if (m_commandAccepted && m_received.size() == 1 && !m_config.emptyReplies)
        {
            const std::vector<uint8_t> data = ReplyFor(m_received[0]);
            m_reply.push_back(static_cast<uint8_t>(data.size()));
            m_reply.insert(m_reply.end(), data.begin(), data.end());
        }
        else if (m_commandAccepted && m_received.size() == 1)
        {
            m_reply.push_back(0);
        }
        m_received.clear();
        return true;
    }
    m_received.clear();
    m_commandAccepted = false;
    return true;
}

bool CSimMcuSlave::OnWrite(uint8_t byte)
{
    if (m_received.empty())
    {
        m_commandAccepted = KnowsCommand(byte);
        if (!m_commandAccepted)
        {
            return false;
        }
        m_commands.push_back(byte);
    }
    m_received.push_back(byte);
    return true;
}

uint8_t CSimMcuSlave::OnRead()
{
    return m_replyIndex < m_reply.size() ? m_reply[m_replyIndex++] : 0xFF;
}

void CSimMcuSlave::OnStop()
{
    // A lone command byte waits for the repeated start of its read.
    if (m_commandAccepted && m_received.size() >= 2)
    {
        ExecuteWrite();
        m_received.clear();
    }
}

void CSimMcuSlave::ExecuteWrite()
{
    const uint8_t command = m_received[0];
    const size_t count = m_received[1];
    if (m_received.size() != count + 2)
    {
        return;
    }
    const std::vector<uint8_t> data(m_received.begin() + 2, m_received.end());
    const auto word = [&] { return static_cast<uint16_t>(data[0] | (data[1] << 8)); };
    switch (command)
    {
    case 0x11:
        if (count >= 1)
        {
            m_bootOverride = data[0];
        }
        return;
    case 0x12:
        if (!m_config.ignoresReset)
        {
            m_mode = (m_bootOverride == 1 || !IsApplicationValid()) ? 0 : 1;
        }
        return;
    case 0x22:
    case 0x24:
        if (count >= 2)
        {
            StartOperation(command == 0x22, word());
        }
        return;
    case 0x28:
        if (count >= 2)
        {
            m_readPage = word();
        }
        return;
    default:
        break;
    }
    if (IsParagraphCommand(command) && m_mode == 0 && count == kParagraphSize)
    {
        std::copy(data.begin(), data.end(),
                  m_pageBuffer.begin() + (command - kParagraphBase) * kParagraphSize);
    }
}

void CSimMcuSlave::StartOperation(bool erase, uint16_t page)
{
    const uint64_t start = kApplicationOffset + static_cast<uint64_t>(page) * kPageSize;
    const bool inRange = start + kPageSize <= kFlashSize;
    uint8_t status = inRange ? 0 : 2;
    if (inRange && erase)
    {
        std::fill_n(m_flash.begin() + static_cast<ptrdiff_t>(start), kPageSize, 0xFF);
        ++m_erases;
    }
    else if (inRange)
    {
        if (static_cast<int>(page) == m_config.failProgramPage)
        {
            status = 2;
        }
        else
        {
            for (uint32_t i = 0; i < kPageSize; ++i)
            {
                m_flash[start + i] &= m_pageBuffer[i];
            }
            ++m_programs;
        }
    }
    (erase ? m_eraseBusy : m_programBusy) = m_config.busyPolls;
    (erase ? m_eraseStatus : m_programStatus) = status;
    if (inRange && !m_applicationFile.empty())
    {
        SaveApplication();
    }
}

void CSimMcuSlave::SaveApplication() const
{
    auto end = m_flash.end();
    while (end != m_flash.begin() + kApplicationOffset && *(end - 1) == 0xFF)
    {
        --end;
    }
    std::ofstream file(m_applicationFile, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(m_flash.data() + kApplicationOffset),
               end - (m_flash.begin() + kApplicationOffset));
    if (!file.flush())
    {
        throw std::runtime_error("cannot write the MCU application to " + m_applicationFile);
    }
}

uint8_t CSimMcuSlave::PollStatus(bool erase)
{
    int& busy = erase ? m_eraseBusy : m_programBusy;
    if (m_config.stuckBusy || busy > 0)
    {
        busy = std::max(0, busy - 1);
        return 1;
    }
    return erase ? m_eraseStatus : m_programStatus;
}

std::vector<uint8_t> CSimMcuSlave::ReplyFor(uint8_t command)
{
    switch (command)
    {
    case 0x10:
        return {m_bootOverride};
    case 0x13:
        return {m_mode};
    case 0x20:
        return Little(kFlashSize, 4);
    case 0x21:
        return Little(Crc32(m_pageBuffer.data(), m_pageBuffer.size()) ^
                          (m_config.badPageBufferCrc ? 1u : 0u),
                      4);
    case 0x23:
        return {PollStatus(true)};
    case 0x25:
        return {PollStatus(false)};
    case 0x26:
        return {static_cast<uint8_t>(IsApplicationValid() ? 1 : 0)};
    case 0x27:
        return Little(m_config.bootloaderVersion, 2);
    default:
        break;
    }
    if (IsParagraphCommand(command))
    {
        const uint32_t paragraph = command - kParagraphBase;
        if (m_mode == 0)
        {
            const auto first = m_pageBuffer.begin() + paragraph * kParagraphSize;
            return {first, first + kParagraphSize};
        }
        const uint64_t start =
            static_cast<uint64_t>(m_readPage) * kPageSize + paragraph * kParagraphSize;
        if (start + kParagraphSize > kFlashSize)
        {
            return {};
        }
        const auto first = m_flash.begin() + static_cast<ptrdiff_t>(start);
        return {first, first + kParagraphSize};
    }
    return {};
}
