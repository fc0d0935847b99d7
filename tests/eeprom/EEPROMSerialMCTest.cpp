// The EEPROM behind the PCI Express switch, driven through the switch device
// on a simulated switch with its 4 KiB EEPROM.

#include "core/Log.h"
#include "eeprom/IEEPROM.h"
#include "hw/IRomviseDriver.h"
#include "hw/catalogue/AdapterCatalogue.h"
#include "hw/device/DeviceBridgePLX8747Impl.h"
#include "sim/SimPlxSwitch.h"
#include "testkit/ErrorOf.h"
#include "testkit/machine/SimHardware.h"

#include <gtest/gtest.h>

#include <numeric>
#include <random>
#include <sstream>

namespace
{
constexpr uint32_t kBar = 0xD0000000;
constexpr uint32_t kSwitchPartSize = 0x1000;

class EEPROMSwitchTest : public ::testing::Test
{
protected:
    explicit EEPROMSwitchTest(bool stuckBusy = false)
    {
        CSimPciFunction& function = scope.Machine().AddFunction(0, 1, 0);
        function.SetIds(kPlxVendorId, 0x8747, 0x060400, 0xCA);
        function.MakeBridge(0, 1, 2);
        function.Store(0x04, 2, 0x6);
        function.SetBar(0, SimBar{0x20000, ESimBarKind::Memory32, false, kBar});
        SimPlxConfig config;
        config.busyPolls = 0;
        config.stuckBusy = stuckBusy;
        auto model = std::make_shared<CSimPlxSwitch>("plx", function, config);
        plx = model.get();
        scope.Machine().AddDevice(model);
        device = IDevice::Create(CreatePCIDeviceAccessor(GetRomviseDriver(), 0, 0, 1, 0, -1, 0, 0),
                                 kDeviceKindPLX8747);
        log.AddSink(&logText, 1, 5);
    }

    CRefPtr<IEEPROM> OpenIdentified()
    {
        CRefPtr<IEEPROM> eeprom = CreateEEPROM(device, device->GetROMType(true), 3, false, false);
        EXPECT_TRUE(eeprom->Identify(GetEEPROMDatabase(), log));
        return eeprom;
    }

    std::vector<uint8_t> Contents() { return plx->Eeprom().Read(0, kSwitchPartSize); }

    // Write enable, then the status register's block-protect bits (BP1 0x08,
    // BP0 0x04) written to the part.
    void ProtectBlocks(uint32_t protectBits)
    {
        device->Write32(CDeviceBridgePLX8747Impl::kRegisterEEPROMData, protectBits);
        device->WriteROMControl(6u << 13 | 1u << 18);
        device->WriteROMControl(1u << 13 | 1u << 18);
    }

    static std::vector<uint8_t> Pattern(uint32_t seed)
    {
        std::mt19937 random(seed);
        std::vector<uint8_t> bytes(kSwitchPartSize);
        for (uint8_t& byte : bytes)
        {
            byte = static_cast<uint8_t>(random());
        }
        bytes[0] = 0x5A;
        return bytes;
    }

    static CRefPtr<IROMImage> ImageOf(const std::vector<uint8_t>& bytes)
    {
        CRefPtr<IROMImage> image = IROMImage::Create(kROMImageBridgePLX8747);
        image->WriteBlock(bytes.data(), 0, static_cast<uint32_t>(bytes.size()));
        return image;
    }

    CSimHardwareScope scope{MakeMachineWithMcfg()};
    CSimPlxSwitch* plx = nullptr;
    CRefPtr<IDevice> device;
    std::ostringstream logText;
    CLog log;
};
// A controller that, once a command started, stays busy and ignores writes.
class EEPROMSwitchStuckTest : public EEPROMSwitchTest
{
protected:
    EEPROMSwitchStuckTest() : EEPROMSwitchTest(true) {}
};
} // namespace

TEST_F(EEPROMSwitchTest, IsAlwaysTheCataloguePartWithoutAskingForIds)
{
    CRefPtr<IEEPROM> eeprom = OpenIdentified();
    std::ostringstream text;
    eeprom->Describe(text);
    EXPECT_EQ(text.str(), "EEPROM ID (47,8747) : uChip 25AA320A 1.8-5.5V 4Kx8S, page");
}

TEST_F(EEPROMSwitchTest, WriteProgramsEveryDifferingPageIncludingPagesThatBecomeBlank)
{
    const std::vector<uint8_t> before = Pattern(1);
    plx->Eeprom().Write(0, before);
    std::vector<uint8_t> wanted = Pattern(2);
    std::fill(wanted.begin() + 0x200, wanted.begin() + 0x260, 0xFF); // three blank pages
    std::copy(before.begin() + 0x800, before.begin() + 0x820, wanted.begin() + 0x800);
    CRefPtr<IROMImage> image = ImageOf(wanted);
    CRefPtr<IEEPROM> eeprom = OpenIdentified();

    EXPECT_EQ(eeprom->WriteImage(nullptr, 0, image.get(), 0, kSwitchPartSize, true, true, log), kSwitchPartSize);
    EXPECT_EQ(Contents(), wanted);
    // Page 0x800 was already right and is left alone.
    EXPECT_EQ(logText.str().find("Start: 0x00000800\nCount: 32"), std::string::npos);
}

TEST_F(EEPROMSwitchTest, MissingSignatureIsSetWithoutTouchingTheRestOfItsDword)
{
    std::vector<uint8_t> before = Pattern(3);
    before[0] = 0x00;
    plx->Eeprom().Write(0, before);
    std::vector<uint8_t> wanted = before;
    wanted[0x105] = 0x11;
    CRefPtr<IROMImage> image = ImageOf(wanted);
    CRefPtr<IEEPROM> eeprom = OpenIdentified();

    ::testing::internal::CaptureStdout();
    eeprom->WriteImage(nullptr, 0x100, image.get(), 0x100, 0x20, true, true, log);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Writing valid signature\n");
    wanted[0] = 0x5A;
    EXPECT_EQ(Contents(), wanted);
}

TEST_F(EEPROMSwitchTest, SignatureThatCannotBeWrittenIsAnError)
{
    std::vector<uint8_t> before = Pattern(4);
    before[0] = 0x00;
    plx->Eeprom().Write(0, before);
    ProtectBlocks(0x0C); // all of the array
    std::vector<uint8_t> wanted = before;
    wanted[0x105] ^= 0xFF;
    CRefPtr<IROMImage> image = ImageOf(wanted);
    CRefPtr<IEEPROM> eeprom = OpenIdentified();

    ::testing::internal::CaptureStdout();
    std::string error = "no error";
    try
    {
        eeprom->WriteImage(nullptr, 0, image.get(), 0, kSwitchPartSize, true, true, log);
    }
    catch (const std::exception& caught)
    {
        error = caught.what();
    }
    ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(error, "Unable to write the EEPROM signature 0x5A");
    EXPECT_EQ(Contents(), before);
}

TEST_F(EEPROMSwitchTest, EraseAndReadImageCoverTheWholePart)
{
    const std::vector<uint8_t> before = Pattern(5);
    plx->Eeprom().Write(0, before);
    CRefPtr<IEEPROM> eeprom = OpenIdentified();
    CRefPtr<IROMImage> image = eeprom->ReadImage(nullptr, 0x10000, log);
    EXPECT_EQ(image->GetImageType(), kROMImageBridgePLX8747);
    EXPECT_EQ(image->GetLoadedSize(), kSwitchPartSize);
    EXPECT_TRUE(std::equal(before.begin(), before.end(), image->GetBuffer()));

    const uint64_t writesBefore = scope.Machine().Counters().Get("plx eeprom writes");
    eeprom->EraseChip(nullptr, log);
    EXPECT_EQ(scope.Machine().Counters().Get("plx eeprom writes") - writesBefore, kSwitchPartSize / 4);
    EXPECT_EQ(Contents(), std::vector<uint8_t>(kSwitchPartSize, 0xFF));
}

TEST_F(EEPROMSwitchTest, ReadOfAnOddCountStaysInsideTheDestination)
{
    plx->Eeprom().Write(0, Pattern(6));
    CRefPtr<IEEPROM> eeprom = OpenIdentified();
    CRefPtr<IROMImage> image = IROMImage::Create(kROMImageBridgePLX8747);
    image->SetByte(7, 0x77);
    EXPECT_EQ(eeprom->Read(nullptr, 0, 7, 0, image.get(), log), 7u);
    EXPECT_EQ(image->GetByte(6), Pattern(6)[6]);
    EXPECT_EQ(image->GetByte(7), 0x77);
}

TEST_F(EEPROMSwitchTest, PageThatNeverReadsBackTimesOutAfterTheRetries)
{
    const std::vector<uint8_t> before = Pattern(7);
    plx->Eeprom().Write(0, before);
    ProtectBlocks(0x04); // the upper quarter
    std::vector<uint8_t> wanted = before;
    wanted[0xC1F] ^= 0xFF;
    CRefPtr<IROMImage> image = ImageOf(wanted);
    CRefPtr<IEEPROM> eeprom = OpenIdentified();

    std::string error = "no error";
    try
    {
        eeprom->WriteImage(nullptr, 0, image.get(), 0, kSwitchPartSize, true, true, log);
    }
    catch (const std::runtime_error& caught)
    {
        error = caught.what();
    }
    EXPECT_EQ(error,
              "Exceeded maximum wait time to program a single page (200 ms) at offset 0x00C00");
    const std::string text = logText.str();
    size_t timeouts = 0;
    for (size_t at = text.find("iCount exceeds MAX_LOOP."); at != std::string::npos;
         at = text.find("iCount exceeds MAX_LOOP.", at + 1))
    {
        ++timeouts;
    }
    EXPECT_EQ(timeouts, 3u);
    EXPECT_EQ(Contents(), before);
}

TEST_F(EEPROMSwitchTest, ProtectionSetsTheLockBitsOfTheControlRegister)
{
    CRefPtr<IEEPROM> eeprom = OpenIdentified();
    // Lock: bits 31, 27 and 26 set and bit 25 clear; unlock: the reverse.
    eeprom->SetProtection(true, log);
    EXPECT_EQ(plx->ControlWrites().back() & 0x8E000000, 0x8C000000u);
    eeprom->SetProtection(false, log);
    EXPECT_EQ(plx->ControlWrites().back() & 0x8E000000, 0x02000000u);
}

TEST_F(EEPROMSwitchStuckTest, ProtectionThatDoesNotReachTheControlRegisterIsAnError)
{
    CRefPtr<IEEPROM> eeprom = OpenIdentified();
    device->WriteROMControl(3u << 13 | 1u << 18); // a read that never ends
    for (const bool lock : {true, false})
    {
        EXPECT_EQ(testkit::ErrorOf([&] { eeprom->SetProtection(lock, log); }),
                  "Error: set EEPROM protection function failed")
            << lock;
    }
}
