#include "hw/device/DeviceBaseImpl.h"

#include "core/Log.h"
#include "core/TextHelpers.h"

#include <algorithm>

namespace
{
constexpr uint8_t kChiLWriteCommand = 0xD0;
constexpr uint8_t kChiLReadCommand = 0xD1;
constexpr uint8_t kChiLIdRegisterA = 0x8C;
constexpr uint8_t kChiLIdRegisterB = 0x91;
constexpr uint8_t kChiLAccessRegister = 0xD4;

void LogLine(CLog& log, const std::string& text)
{
    log.SetLevel(3);
    log << text << std::endl;
}

std::string IdentificationText(uint8_t a, uint8_t b)
{
    return ToHex(a, 2) + "  " + ToHex(b, 2);
}
} // namespace

CDeviceBaseImpl::CDeviceBaseImpl(CRefPtr<IPCIDeviceAccessor> accessor, int32_t deviceKind)
    : m_accessor(std::move(accessor)), m_deviceKind(deviceKind)
{
}

CDeviceBaseImpl::~CDeviceBaseImpl() = default;

void CDeviceBaseImpl::WriteRegister8(uint32_t offset, uint8_t value)
{
    m_accessor->Write8(offset, value);
}

// ---------------------------------------------------------------------------
// I2C: ports and line-level operations (a device without I2C lines)

bool CDeviceBaseImpl::HasI2CPort(uint8_t port)
{
    const std::vector<uint8_t> ports = GetI2CPorts();
    return std::find(ports.begin(), ports.end(), port) != ports.end();
}

std::vector<uint8_t> CDeviceBaseImpl::GetI2CPorts()
{
    return {};
}

bool CDeviceBaseImpl::IsValidI2CAddress(uint8_t address)
{
    const uint8_t high = address & 0xF0;
    return high != 0x00 && high != 0xF0;
}

bool CDeviceBaseImpl::AcquireI2CPort(uint8_t)
{
    return false;
}

bool CDeviceBaseImpl::ReleaseI2CPort(uint8_t)
{
    return false;
}

void CDeviceBaseImpl::BeginI2CPortAccess(uint8_t) {}

void CDeviceBaseImpl::EndI2CPortAccess(uint8_t) {}

int32_t CDeviceBaseImpl::I2CStart(uint8_t)
{
    return kI2CNoLines;
}

int32_t CDeviceBaseImpl::I2CStop(uint8_t)
{
    return kI2CNoLines;
}

int32_t CDeviceBaseImpl::I2CSendAck(uint8_t, int32_t)
{
    return kI2CNoLines;
}

int32_t CDeviceBaseImpl::I2CReadAck(uint8_t, int32_t&)
{
    return kI2CNoLines;
}

int32_t CDeviceBaseImpl::I2CWriteByte(uint8_t, uint8_t)
{
    return kI2CNoLines;
}

int32_t CDeviceBaseImpl::I2CReadByte(uint8_t, uint8_t&)
{
    return kI2CNoLines;
}

// ---------------------------------------------------------------------------
// I2C transactions

int32_t CDeviceBaseImpl::I2CWrite(uint8_t port, uint8_t address, const std::vector<uint8_t>& bytes,
                                  uint32_t count, bool stop)
{
    int32_t status = I2CStart(port);
    if (status == kI2CDone)
    {
        status = I2CWriteByte(port, address & 0xFE);
    }
    int32_t ack = 0;
    if (status == kI2CDone)
    {
        status = I2CReadAck(port, ack);
    }
    if (status == kI2CDone && ack != 0)
    {
        status = kI2CAddressNack;
    }
    for (auto next = bytes.begin(); status == kI2CDone && count > 0 && next != bytes.end(); ++next)
    {
        status = I2CWriteByte(port, *next);
        if (status == kI2CDone)
        {
            status = I2CReadAck(port, ack);
        }
        if (status == kI2CDone && ack != 0)
        {
            status = kI2CDataNack;
        }
        --count;
    }
    if (status == kI2CDone && count != 0)
    {
        status = kI2CShortTransfer;
    }
    if (status == kI2CDone && stop)
    {
        status = I2CStop(port);
    }
    return status;
}

// Reads `count` data bytes after an acknowledged address: acknowledges every
// byte but the last, then sends the stop when asked.
static int32_t ReadDataBytes(II2CMaster& master, uint8_t port, std::vector<uint8_t>& out,
                             uint32_t count, bool stop, int32_t status)
{
    // The count comes from the caller (or a slave's length byte): reserve no
    // more than a sane transfer, the vector grows if more bytes really come.
    constexpr uint32_t kReserveLimit = 4096;
    out.clear();
    out.reserve(std::min(count, kReserveLimit));
    while (count > 0 && status == kI2CDone)
    {
        --count;
        uint8_t byte = 0;
        status = master.I2CReadByte(port, byte);
        if (status == kI2CDone)
        {
            out.push_back(byte);
            status = master.I2CSendAck(port, count == 0 ? 1 : 0);
        }
    }
    if (status == kI2CDone && stop)
    {
        status = master.I2CStop(port);
    }
    return status;
}

// Start, the address with the read bit, and its acknowledge.
static int32_t AddressForRead(II2CMaster& master, uint8_t port, uint8_t address)
{
    int32_t status = master.I2CStart(port);
    if (status == kI2CDone)
    {
        status = master.I2CWriteByte(port, address | 0x01);
    }
    int32_t ack = 0;
    if (status == kI2CDone)
    {
        status = master.I2CReadAck(port, ack);
    }
    if (status == kI2CDone && ack != 0)
    {
        status = kI2CAddressNack;
    }
    return status;
}

int32_t CDeviceBaseImpl::I2CRead(uint8_t port, uint8_t address, std::vector<uint8_t>& out,
                                 uint32_t count, bool stop)
{
    const int32_t status = AddressForRead(*this, port, address);
    return ReadDataBytes(*this, port, out, count, stop, status);
}

// The register index as sent: high byte first when wide.
static std::vector<uint8_t> RegisterIndexBytes(uint16_t reg, bool wideIndex)
{
    std::vector<uint8_t> index;
    if (wideIndex)
    {
        index.push_back(static_cast<uint8_t>(reg >> 8));
    }
    index.push_back(static_cast<uint8_t>(reg));
    return index;
}

// The prefix followed by at most `count` bytes of the list; the count the
// transaction must send stays prefix + count, so a list that is too short
// ends in status 7 instead of a read past its end.
static std::vector<uint8_t> PrefixedBytes(std::vector<uint8_t> prefix,
                                          const std::vector<uint8_t>& bytes, uint32_t count)
{
    const size_t taken = std::min<size_t>(count, bytes.size());
    prefix.insert(prefix.end(), bytes.begin(), bytes.begin() + static_cast<ptrdiff_t>(taken));
    return prefix;
}

int32_t CDeviceBaseImpl::I2CWriteRegister(uint8_t port, uint8_t address, uint16_t reg,
                                          const std::vector<uint8_t>& bytes, uint32_t count,
                                          bool wideIndex)
{
    std::vector<uint8_t> index = RegisterIndexBytes(reg, wideIndex);
    const uint32_t total = static_cast<uint32_t>(index.size()) + count;
    if (total < count)
    {
        return kI2CShortTransfer;
    }
    const std::vector<uint8_t> message = PrefixedBytes(std::move(index), bytes, count);
    return I2CWrite(port, address, message, total, true);
}

int32_t CDeviceBaseImpl::I2CReadRegister(uint8_t port, uint8_t address, uint16_t reg,
                                         std::vector<uint8_t>& out, uint32_t count, bool wideIndex)
{
    const std::vector<uint8_t> index = RegisterIndexBytes(reg, wideIndex);
    const int32_t status =
        I2CWrite(port, address, index, static_cast<uint32_t>(index.size()), false);
    if (status != kI2CDone)
    {
        return status;
    }
    return I2CRead(port, address, out, count, true);
}

bool CDeviceBaseImpl::IsProbeableI2CAddress(uint8_t address)
{
    return address != 0x18 && IsValidI2CAddress(address);
}

int32_t CDeviceBaseImpl::SMBusSendByte(uint8_t port, uint8_t address, uint8_t byte)
{
    return I2CWrite(port, address, {byte}, 1, true);
}

int32_t CDeviceBaseImpl::SMBusReceiveByte(uint8_t port, uint8_t address, uint8_t& byte)
{
    std::vector<uint8_t> read;
    const int32_t status = I2CRead(port, address, read, 1, true);
    if (!read.empty())
    {
        byte = read[0];
    }
    return status;
}

int32_t CDeviceBaseImpl::SMBusWriteData(uint8_t port, uint8_t address, uint8_t command,
                                        uint16_t data, bool word)
{
    std::vector<uint8_t> message{command, static_cast<uint8_t>(data)};
    if (word)
    {
        message.push_back(static_cast<uint8_t>(data >> 8));
    }
    return I2CWrite(port, address, message, static_cast<uint32_t>(message.size()), true);
}

int32_t CDeviceBaseImpl::SMBusReadData(uint8_t port, uint8_t address, uint8_t command,
                                       uint16_t& data, bool word)
{
    int32_t status = I2CWrite(port, address, {command}, 1, false);
    if (status != kI2CDone)
    {
        return status;
    }
    std::vector<uint8_t> read;
    status = I2CRead(port, address, read, word ? 2 : 1, true);
    if (!read.empty())
    {
        data = read[0];
        if (word && read.size() > 1)
        {
            data = static_cast<uint16_t>(read[0] | (read[1] << 8));
        }
    }
    return status;
}

int32_t CDeviceBaseImpl::I2CBlockRead(uint8_t port, uint8_t address, std::vector<uint8_t>& out,
                                      bool stop)
{
    int32_t status = AddressForRead(*this, port, address);
    uint8_t length = 0;
    if (status == kI2CDone)
    {
        status = I2CReadByte(port, length);
    }
    if (status == kI2CDone)
    {
        status = I2CSendAck(port, 0);
    }
    return ReadDataBytes(*this, port, out, status == kI2CDone ? length : 0, stop, status);
}

int32_t CDeviceBaseImpl::I2CBlockWrite(uint8_t port, uint8_t address,
                                       const std::vector<uint8_t>& bytes, uint32_t count, bool stop)
{
    return I2CWrite(port, address, bytes, count, stop);
}

int32_t CDeviceBaseImpl::SMBusBlockWrite(uint8_t port, uint8_t address, uint8_t command,
                                         uint32_t count, const std::vector<uint8_t>& bytes)
{
    const uint32_t total = count + 2;
    if (total < count)
    {
        return kI2CShortTransfer;
    }
    const std::vector<uint8_t> message =
        PrefixedBytes({command, static_cast<uint8_t>(count)}, bytes, count);
    return I2CBlockWrite(port, address, message, total, true);
}

int32_t CDeviceBaseImpl::SMBusBlockRead(uint8_t port, uint8_t address, uint8_t command,
                                        std::vector<uint8_t>& out)
{
    const int32_t status = I2CBlockWrite(port, address, {command}, 1, false);
    if (status != kI2CDone)
    {
        return status;
    }
    return I2CBlockRead(port, address, out, true);
}

int32_t CDeviceBaseImpl::SMBusProcessCall(uint8_t port, uint8_t address, uint8_t command,
                                          uint16_t data, uint16_t& reply)
{
    const std::vector<uint8_t> message{command, static_cast<uint8_t>(data),
                                       static_cast<uint8_t>(data >> 8)};
    int32_t status = I2CWrite(port, address, message, 3, false);
    if (status != kI2CDone)
    {
        return status;
    }
    std::vector<uint8_t> read;
    status = I2CRead(port, address, read, 2, true);
    if (read.size() == 2)
    {
        reply = static_cast<uint16_t>(read[0] | (read[1] << 8));
    }
    return status;
}

bool CDeviceBaseImpl::ReadChiLRegister(uint8_t reg, uint16_t& reply)
{
    return SMBusProcessCall(kI2CChiLPort, kI2CChiLAddress, kChiLReadCommand, reg, reply) ==
           kI2CDone;
}

void CDeviceBaseImpl::SetChiLI2CAccess(bool enable, CLog& log)
{
    uint16_t replyA = 0;
    uint16_t replyB = 0;
    if (!ReadChiLRegister(kChiLIdRegisterA, replyA) || !ReadChiLRegister(kChiLIdRegisterB, replyB))
    {
        LogLine(log, "Failed to read ChiL registers");
        return;
    }
    const auto a = static_cast<uint8_t>(replyA);
    const auto b = static_cast<uint8_t>(replyB);
    if (!((a == 1 && b == 2) || a == 14))
    {
        LogLine(log, "No need to disable ChiL i2c access " + IdentificationText(a, b));
        return;
    }
    uint8_t value = 0;
    if (!enable)
    {
        uint16_t current = 0;
        if (!ReadChiLRegister(kChiLAccessRegister, current))
        {
            LogLine(log, "Failed to read ChiL i2c access control register");
            return;
        }
        m_savedChiLAccess = static_cast<uint8_t>(current);
        m_chiLAccessSaved = true;
        LogLine(log, "Data = " + ToHex(current, 4));
        LogLine(log, "Disabling ChiL i2c access " + IdentificationText(a, b));
    }
    else
    {
        LogLine(log, "Enabling ChiL i2c access " + IdentificationText(a, b));
        if (!m_chiLAccessSaved)
        {
            // Nothing was read by a disabling: writing a guess could lock the
            // regulator's access in a state no one chose.
            LogLine(log, "ChiL i2c access control was not saved; left unchanged");
            return;
        }
        value = m_savedChiLAccess;
    }
    const uint16_t data = static_cast<uint16_t>(value << 8 | kChiLAccessRegister);
    LogLine(log, "Data = " + ToHex(data, 4));
    uint16_t reply = 0;
    if (SMBusProcessCall(kI2CChiLPort, kI2CChiLAddress, kChiLWriteCommand, data, reply) != kI2CDone)
    {
        LogLine(log, "Failed to write ChiL i2c access control register");
    }
}

// ---------------------------------------------------------------------------
// IDevice: forwarding to the accessor

void IdleDeviceROMControl(IDevice& device)
{
    const uint32_t control = device.ReadROMControl();
    device.WriteROMControl((control & ~7u) | 3u);
    static_cast<void>(device.ReadROMControl());
}

void CDeviceBaseImpl::ScanForChildren(const std::vector<CRefPtr<IPCIDeviceAccessor>>&, CLog&) {}

int32_t CDeviceBaseImpl::GetDeviceKind()
{
    return m_deviceKind;
}

void CDeviceBaseImpl::PrintLocation(std::ostream& out, bool shortForm)
{
    m_accessor->PrintLocation(out, shortForm);
}

void CDeviceBaseImpl::MapRegisters()
{
    m_accessor->MapRegisters();
}

void CDeviceBaseImpl::UnmapRegisters()
{
    m_accessor->UnmapRegisters();
}

uint8_t CDeviceBaseImpl::Read8(uint32_t offset)
{
    return m_accessor->Read8(offset);
}

void CDeviceBaseImpl::Write8(uint32_t offset, uint8_t value)
{
    m_accessor->Write8(offset, value);
}

uint32_t CDeviceBaseImpl::Read32(uint32_t offset)
{
    return m_accessor->Read32(offset);
}

void CDeviceBaseImpl::Write32(uint32_t offset, uint32_t value)
{
    m_accessor->Write32(offset, value);
}

uint16_t CDeviceBaseImpl::Read16(uint32_t offset)
{
    return m_accessor->Read16(offset);
}

void CDeviceBaseImpl::Write16(uint32_t offset, uint16_t value)
{
    m_accessor->Write16(offset, value);
}

uint32_t CDeviceBaseImpl::ReadROMDword(int32_t offset)
{
    uint32_t value = 0;
    for (int32_t i = 0; i < 4; ++i)
    {
        value |= static_cast<uint32_t>(ReadROMByte(offset + i)) << (8 * i);
    }
    return value;
}

void CDeviceBaseImpl::WriteROMDword(int32_t offset, uint32_t value)
{
    for (int32_t i = 0; i < 4; ++i)
    {
        WriteROMByte(offset + i, static_cast<uint8_t>(value >> (8 * i)));
    }
}

void CDeviceBaseImpl::UpdateROMWindowOffset(uint32_t) {}

bool CDeviceBaseImpl::HasAGPCapability()
{
    return m_accessor->HasAGPCapability();
}

bool CDeviceBaseImpl::IsBar0Assigned()
{
    return m_accessor->IsBar0Assigned();
}

bool CDeviceBaseImpl::IsNormalBoard()
{
    return m_accessor->IsNormalBoard();
}

int32_t CDeviceBaseImpl::GetSwitchPort()
{
    return m_accessor->GetSwitchPort();
}

uint32_t CDeviceBaseImpl::ReadConfig32(uint32_t offset)
{
    return m_accessor->ReadConfig32(offset);
}

void CDeviceBaseImpl::WriteConfig32(uint32_t offset, uint32_t value)
{
    m_accessor->WriteConfig32(offset, value);
}

uint32_t CDeviceBaseImpl::ReadExtConfig32(uint32_t offset)
{
    return m_accessor->ReadExtConfig32(offset);
}

uint16_t CDeviceBaseImpl::ReadExtConfig16(uint32_t offset)
{
    return m_accessor->ReadExtConfig16(offset);
}

uint8_t CDeviceBaseImpl::ReadExtConfig8(uint32_t offset)
{
    return m_accessor->ReadExtConfig8(offset);
}

void CDeviceBaseImpl::WriteExtConfig32(uint32_t offset, uint32_t value)
{
    m_accessor->WriteExtConfig32(offset, value);
}

void CDeviceBaseImpl::WriteExtConfig16(uint32_t offset, uint16_t value)
{
    m_accessor->WriteExtConfig16(offset, value);
}

void CDeviceBaseImpl::WriteExtConfig8(uint32_t offset, uint8_t value)
{
    m_accessor->WriteExtConfig8(offset, value);
}

uint16_t CDeviceBaseImpl::GetSegment()
{
    return m_accessor->GetSegment();
}

uint8_t CDeviceBaseImpl::GetBus()
{
    return m_accessor->GetBus();
}

uint8_t CDeviceBaseImpl::GetDeviceNumber()
{
    return m_accessor->GetDeviceNumber();
}

uint8_t CDeviceBaseImpl::GetFunctionNumber()
{
    return m_accessor->GetFunctionNumber();
}

uint8_t CDeviceBaseImpl::GetSecondaryBus()
{
    return 0;
}

uint8_t CDeviceBaseImpl::GetParentBus()
{
    return m_accessor->GetParentBus();
}

uint16_t CDeviceBaseImpl::GetParentSegment()
{
    return m_accessor->GetParentSegment();
}

void CDeviceBaseImpl::SetI2CPortConfig(uint8_t, const I2CPortConfig&) {}

void CDeviceBaseImpl::GetI2CPortConfig(uint8_t, I2CPortConfig&) {}

uint32_t CDeviceBaseImpl::GetTimerValue()
{
    return 0;
}

bool CDeviceBaseImpl::IsI2CActive()
{
    return false;
}

bool CDeviceBaseImpl::InitializeClocks()
{
    return false;
}
