// The I2C transactions and SMBus forms, traced on the wire of a simulated
// GPU port with a display and a regulator on it; the status codes of failed
// transactions; the ChiL regulator's access switch; a device without I2C lines.

#include "core/Log.h"
#include "hw/catalogue/AdapterCatalogue.h"
#include "hw/device/DeviceBaseImpl.h"
#include "hw/device/IDevice.h"
#include "sim/SimI2CSlaves.h"
#include "testkit/machine/SimGpuRig.h"

#include <gtest/gtest.h>

#include <functional>
#include <sstream>

namespace
{
constexpr uint8_t kPort = 1;

class I2CMasterTest : public ::testing::Test
{
protected:
    I2CMasterTest()
    {
        for (size_t i = 0; i < display->Bytes().size(); ++i)
        {
            display->Bytes()[i] = static_cast<uint8_t>(0x80 + i);
        }
        rig.gpu->Port(kPort).AddSlave(display);
        rig.gpu->Port(kI2CChiLPort).AddSlave(regulator);
        device = IDevice::Create(rig.OpenAccessor(), kDeviceKindIso);
        for (const uint8_t port : {kPort, kI2CChiLPort})
        {
            EXPECT_TRUE(device->AcquireI2CPort(port));
            device->BeginI2CPortAccess(port);
        }
    }
    ~I2CMasterTest() override
    {
        for (const uint8_t port : {kPort, kI2CChiLPort})
        {
            device->EndI2CPortAccess(port);
            device->ReleaseI2CPort(port);
        }
    }

    std::string Trace(uint8_t port = kPort) { return rig.gpu->Port(port).TraceText(); }

    CSimGpuRig rig{SimGpuConfigForKind(kDeviceKindIso)};
    std::shared_ptr<CSimDisplaySlave> display = std::make_shared<CSimDisplaySlave>();
    std::shared_ptr<CSimRegulatorSlave> regulator = std::make_shared<CSimRegulatorSlave>();
    CRefPtr<IDevice> device;
};

TEST_F(I2CMasterTest, WritesPutTheExactBytesOnTheWireAndStopOnlyAfterSuccess)
{
    const std::vector<uint8_t> two{0x01, 0x02};
    const std::vector<uint8_t> one{0xAA};
    struct Case
    {
        const char* what;
        std::function<int32_t(IDevice&)> run;
        int32_t status;
        const char* trace;
    };
    const Case cases[] = {
        {"address-only write without stop",
         [&](IDevice& d) { return d.I2CWrite(kPort, 0xA0, {}, 0, false); }, 0, "S A0+"},
        {"read bit of the address is cleared",
         [&](IDevice& d) { return d.I2CWrite(kPort, 0xA1, {}, 0, true); }, 0, "S A0+ P"},
        {"nobody at the address", [&](IDevice& d) { return d.I2CWrite(kPort, 0x50, two, 2, true); },
         4, "S 50-"},
        {"count past the end of the list",
         [&](IDevice& d) { return d.I2CWrite(kPort, 0xA0, two, 3, true); }, 7, "S A0+ 01+ 02+"},
        {"count shorter than the list",
         [&](IDevice& d) { return d.I2CWrite(kPort, 0xA0, two, 1, true); }, 0, "S A0+ 01+ P"},
        {"wide register index",
         [&](IDevice& d) { return d.I2CWriteRegister(kPort, 0xA0, 0x1234, one, 1, true); }, 0,
         "S A0+ 12+ 34+ AA+ P"},
        {"narrow register index",
         [&](IDevice& d) { return d.I2CWriteRegister(kPort, 0xA0, 0x1234, one, 1, false); }, 0,
         "S A0+ 34+ AA+ P"},
        {"register write never reads past the list",
         [&](IDevice& d) { return d.I2CWriteRegister(kPort, 0xA0, 0x34, one, 2, false); }, 7,
         "S A0+ 34+ AA+"},
        {"SMBus send byte", [&](IDevice& d) { return d.SMBusSendByte(kPort, 0xA0, 0x42); }, 0,
         "S A0+ 42+ P"},
        {"SMBus word, low byte first",
         [&](IDevice& d) { return d.SMBusWriteData(kPort, 0xA0, 0xC0, 0x1234, true); }, 0,
         "S A0+ C0+ 34+ 12+ P"},
        {"SMBus byte",
         [&](IDevice& d) { return d.SMBusWriteData(kPort, 0xA0, 0xC0, 0x1234, false); }, 0,
         "S A0+ C0+ 34+ P"},
        {"SMBus block write with its count",
         [&](IDevice& d) { return d.SMBusBlockWrite(kPort, 0xA0, 0xC0, 2, two); }, 0,
         "S A0+ C0+ 02+ 01+ 02+ P"},
        {"SMBus block write never reads past the list",
         [&](IDevice& d) { return d.SMBusBlockWrite(kPort, 0xA0, 0xC0, 3, two); }, 7,
         "S A0+ C0+ 03+ 01+ 02+"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.what);
        rig.gpu->Port(kPort).ClearTrace();
        EXPECT_EQ(c.run(*device), c.status);
        EXPECT_EQ(Trace(), c.trace);
        // Whatever the last transaction left, a stop frees the bus again.
        device->I2CStop(kPort);
    }
    EXPECT_EQ(display->Bytes()[0x34], 0xAA);
}

TEST_F(I2CMasterTest, ADataByteNotAcknowledgedEndsTheWriteWithFive)
{
    display->SetRefuseFrom(1);
    EXPECT_EQ(device->I2CWrite(kPort, 0xA0, {0x10, 0x20, 0x30}, 3, true), 5);
    EXPECT_EQ(Trace(), "S A0+ 10+ 20-");
}

TEST_F(I2CMasterTest, ReadsAcknowledgeEveryByteButTheLast)
{
    std::vector<uint8_t> out{0xEE};
    EXPECT_EQ(device->I2CReadRegister(kPort, 0xA0, 0x10, out, 3, false), 0);
    EXPECT_EQ(Trace(), "S A0+ 10+ S A1+ 90+ 91+ 92- P");
    EXPECT_EQ(out, (std::vector<uint8_t>{0x90, 0x91, 0x92}));

    rig.gpu->Port(kPort).ClearTrace();
    uint16_t word = 0;
    EXPECT_EQ(device->SMBusReadData(kPort, 0xA0, 0x20, word, true), 0);
    EXPECT_EQ(word, 0xA1A0);
    uint8_t byte = 0;
    EXPECT_EQ(device->SMBusReceiveByte(kPort, 0xA0, byte), 0);
    EXPECT_EQ(byte, 0xA2);
    EXPECT_EQ(Trace(), "S A0+ 20+ S A1+ A0+ A1- P S A1+ A2- P");
}

TEST_F(I2CMasterTest, ANackedReadAddressClearsTheOutputAndSendsNoStop)
{
    std::vector<uint8_t> out{1, 2, 3};
    EXPECT_EQ(device->I2CRead(kPort, 0x52, out, 2, true), 4);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(Trace(), "S 53-");
    // A count no transfer could reach reserves nothing unreasonable.
    out = {1};
    EXPECT_EQ(device->I2CRead(kPort, 0x52, out, 0xFFFFFFFF, true), 4);
    EXPECT_TRUE(out.empty());
}

TEST_F(I2CMasterTest, BlockReadsTakeTheirLengthFromTheFirstByte)
{
    display->Bytes()[0x40] = 2;
    display->Bytes()[0x41] = 0x11;
    display->Bytes()[0x42] = 0x22;
    display->Bytes()[0x50] = 0;
    std::vector<uint8_t> out;
    EXPECT_EQ(device->SMBusBlockRead(kPort, 0xA0, 0x40, out), 0);
    EXPECT_EQ(out, (std::vector<uint8_t>{0x11, 0x22}));
    EXPECT_EQ(Trace(), "S A0+ 40+ S A1+ 02+ 11+ 22- P");

    rig.gpu->Port(kPort).ClearTrace();
    out = {9};
    EXPECT_EQ(device->SMBusBlockRead(kPort, 0xA0, 0x50, out), 0);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(Trace(), "S A0+ 50+ S A1+ 00+ P");
}

TEST_F(I2CMasterTest, AHeldClockGivesSixAndAClockLowAtStartGivesTwo)
{
    display->SetHangAfterAddress(true);
    EXPECT_EQ(device->I2CWrite(kPort, 0xA0, {0x01}, 1, true), 6);
    EXPECT_EQ(Trace(), "S A0+");

    CSimI2CBus& other = rig.gpu->Port(kI2CChiLPort);
    other.HoldClockLow(true);
    EXPECT_EQ(device->I2CStart(kI2CChiLPort), 2);
    other.HoldClockLow(false);
    EXPECT_EQ(device->I2CStart(kI2CChiLPort), 0);
    EXPECT_EQ(device->I2CStop(kI2CChiLPort), 0);
}

TEST_F(I2CMasterTest, ProcessCallsReachTheRegulator)
{
    regulator->Registers()[0x91] = 0x5C;
    uint16_t reply = 0;
    EXPECT_EQ(device->SMBusProcessCall(kI2CChiLPort, kI2CChiLAddress, 0xD1, 0x0091, reply), 0);
    EXPECT_EQ(reply, 0x005C);
    EXPECT_EQ(Trace(kI2CChiLPort), "S E0+ D1+ 91+ 00+ S E1+ 5C+ 00- P");
}

// The ChiL switch, its writes as the regulator saw them and its log lines.
class ChiLAccessTest : public I2CMasterTest
{
protected:
    std::string Switch(bool enable)
    {
        std::ostringstream text;
        {
            CScopedLogSink sink(GetLog(), &text, 3, 3);
            device->SetChiLI2CAccess(enable, *GetLog());
        }
        return text.str();
    }
    void Identify(uint8_t a, uint8_t b)
    {
        regulator->Registers()[0x8C] = a;
        regulator->Registers()[0x91] = b;
    }
    using Writes = std::vector<std::pair<uint8_t, uint8_t>>;
};

TEST_F(ChiLAccessTest, DisablingThenEnablingPutsTheAccessByteBack)
{
    Identify(14, 0);
    regulator->Registers()[0xD4] = 0x33;
    EXPECT_EQ(Switch(false), "Data = 0033\nDisabling ChiL i2c access 0E  00\nData = 00D4\n");
    EXPECT_EQ(regulator->Registers()[0xD4], 0x00);
    EXPECT_EQ(Switch(true), "Enabling ChiL i2c access 0E  00\nData = 33D4\n");
    EXPECT_EQ(regulator->Writes(), (Writes{{0xD4, 0x00}, {0xD4, 0x33}}));
}

TEST_F(ChiLAccessTest, OtherPartsAndUnsavedStateWriteNothing)
{
    Identify(1, 3);
    EXPECT_EQ(Switch(false), "No need to disable ChiL i2c access 01  03\n");
    Identify(1, 2);
    // Enabling before any disabling has no byte to put back.
    EXPECT_EQ(Switch(true), "Enabling ChiL i2c access 01  02\n"
                            "ChiL i2c access control was not saved; left unchanged\n");
    EXPECT_TRUE(regulator->Writes().empty());

    rig.gpu->Port(kI2CChiLPort).HoldClockLow(true);
    EXPECT_EQ(Switch(false), "Failed to read ChiL registers\n");
}

// A device without I2C lines: the base's line-level operations.
class CLinelessDevice : public CDeviceBaseImpl
{
public:
    using CDeviceBaseImpl::CDeviceBaseImpl;
    void EnableROMAccess() override {}
    void RestoreROMAccess() override {}
    bool IsROMAccessEnabled() override { return true; }
    bool IsDebugPortEnabled() override { return false; }
    uint32_t GetROMType(bool) override { return 0; }
    bool IsROMTypeZero(bool) override { return false; }
    uint32_t ReadROMControl() override { return 0; }
    void WriteROMControl(uint32_t) override {}
    void IdleROMControl() override {}
    uint8_t ReadROMByte(int32_t offset) override
    {
        return static_cast<uint8_t>(0x11 * (offset + 1));
    }
    void WriteROMByte(int32_t offset, uint8_t value) override
    {
        written.emplace_back(offset, value);
    }
    uint8_t ReadROMWindowByte(uint32_t) override { return 0; }

    std::vector<std::pair<int32_t, uint8_t>> written;
};

TEST(DeviceBase, WithoutLinesEveryTransactionEndsWithOneAndTheOptionalPartsAreNeutral)
{
    CSimGpuRig rig(SimGpuConfigForKind(kDeviceKindIso));
    CRefPtr<CLinelessDevice> device(new CLinelessDevice(rig.OpenAccessor(), kDeviceKindZX22));
    std::vector<uint8_t> out{1};
    EXPECT_EQ(device->I2CWrite(0, 0xA0, {1}, 1, true), 1);
    EXPECT_EQ(device->I2CRead(0, 0xA0, out, 1, true), 1);
    EXPECT_TRUE(out.empty());
    EXPECT_TRUE(device->GetI2CPorts().empty());
    EXPECT_FALSE(device->HasI2CPort(0));
    EXPECT_FALSE(device->AcquireI2CPort(0));
    EXPECT_EQ(device->GetTimerValue(), 0u);
    EXPECT_FALSE(device->IsI2CActive());
    EXPECT_FALSE(device->InitializeClocks());
    EXPECT_EQ(device->GetSecondaryBus(), 0);
    EXPECT_EQ(device->GetDeviceKind(), kDeviceKindZX22);
    EXPECT_EQ(device->GetBus(), kRigGpuBus);
}

TEST(DeviceBase, DwordsAreBytesInLittleEndianOrder)
{
    CSimGpuRig rig(SimGpuConfigForKind(kDeviceKindIso));
    CRefPtr<CLinelessDevice> device(new CLinelessDevice(rig.OpenAccessor(), kDeviceKindZX22));
    // Bytes 0x11, 0x22, 0x33, 0x44 at offsets 0-3.
    EXPECT_EQ(device->ReadROMDword(0), 0x44332211u);
    device->WriteROMDword(0x20, 0xA1B2C3D4);
    EXPECT_EQ(device->written, (std::vector<std::pair<int32_t, uint8_t>>{
                                   {0x20, 0xD4}, {0x21, 0xC3}, {0x22, 0xB2}, {0x23, 0xA1}}));
}

TEST(DeviceBase, AddressRules)
{
    CSimGpuRig rig(SimGpuConfigForKind(kDeviceKindIso));
    CRefPtr<CLinelessDevice> device(new CLinelessDevice(rig.OpenAccessor(), kDeviceKindZX22));
    for (const uint8_t address : {0x0E, 0xF6, 0x00, 0xFF})
    {
        EXPECT_FALSE(device->IsValidI2CAddress(address)) << int(address);
    }
    for (const uint8_t address : {0x10, 0xEE, 0xA0})
    {
        EXPECT_TRUE(device->IsValidI2CAddress(address)) << int(address);
    }
    EXPECT_TRUE(device->IsValidI2CAddress(0x18));
    EXPECT_FALSE(device->IsProbeableI2CAddress(0x18));
    EXPECT_TRUE(device->IsProbeableI2CAddress(0xA0));
}
} // namespace
