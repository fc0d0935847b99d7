// The board MCU accessor against the simulated MCU behind a Dolvik1 GPU's I2C
// port 1: mode switches, the paged read, the page-buffer primitives and their
// status bytes, the firmware file checks and the whole update.

#include "core/CommandLine.h"
#include "core/Log.h"
#include "core/platform/PlatformServices.h"
#include "hw/IRomviseDriver.h"
#include "hw/device/IDevice.h"
#include "hw/mcu/IGmacAccessor.h"
#include "sim/SimMcu.h"
#include "testkit/ScratchDirectory.h"
#include "testkit/machine/AdapterMachine.h"
#include "testkit/machine/SimHardware.h"
#include "testkit/machine/TypedConsole.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace
{
const std::vector<uint8_t> kInstalled =
    MakeMcuFirmware(0x7E2B, 0x0C00, 3000, "KRVN", "S100", "B1", "07");

class GmacAccessorTest : public ::testing::Test
{
protected:
    GmacAccessorTest() : m_made(MakeTwoGpuMachine()), m_scope(m_made.machine)
    {
        m_console = InstallTypedConsole();
        m_device =
            IDevice::Create(CreatePCIDeviceAccessor(GetRomviseDriver(), 0, 1, 0, 0, -1, 0, 0), 12);
        m_gmac = CreateGmacAccessor(m_device.get(), CRefPtr<IReferenceCount>(m_device), 0x7E2B,
                                    0x0C00, 1, 0x98);
    }

    CSimMcuSlave& Mcu() { return *m_made.mcu; }
    CLog* Log() { return GetLog(); }
    // Everything written to the process log: messages and detail lines.
    std::string Output() const { return m_out.str(); }

    std::string WriteFile(const std::string& name, const std::vector<uint8_t>& bytes)
    {
        return m_files.WriteBytes(name, bytes);
    }

    testkit::CScratchDirectory m_files{"romvise-gmac"};
    TwoGpuMachine m_made;
    CSimHardwareScope m_scope;
    CRefPtr<CTypedConsole> m_console;
    CRefPtr<IDevice> m_device;
    CRefPtr<IGmacAccessor> m_gmac;
    std::ostringstream m_out;
    CScopedLogSink m_sink{GetLog(), &m_out, 1, 5};
};

TEST_F(GmacAccessorTest, SwitchesBetweenApplicationAndBootLoader)
{
    ASSERT_EQ(Mcu().Mode(), 1);
    EXPECT_TRUE(m_gmac->SwitchToAppMode(Log())) << "already there";
    EXPECT_EQ(Output().find("Changing"), std::string::npos);

    EXPECT_TRUE(m_gmac->SwitchToBootloaderMode(Log()));
    EXPECT_EQ(Mcu().Mode(), 0);
    EXPECT_NE(Output().find("\n\nChanging the GMAC MCU Mode from APP MODE to BL Mode.\n"),
              std::string::npos);

    EXPECT_TRUE(m_gmac->SwitchToAppMode(Log()));
    EXPECT_EQ(Mcu().Mode(), 1);
    EXPECT_NE(Output().find("Changing the GMAC MCU Mode from BL Mode to APP Mode.\n"),
              std::string::npos);
}

TEST_F(GmacAccessorTest, ModeSwitchFailures)
{
    struct Case
    {
        const char* name;
        void (*prepare)(CSimMcuSlave&);
        const char* text;
    };
    const Case cases[] = {
        {"no valid application to return to",
         [](CSimMcuSlave& mcu)
         {
             mcu.SetMode(0);
             mcu.Flash()[CSimMcuSlave::kApplicationOffset] = 0;
         },
         "Failed to switch to APP mode on confirmation stage.\n"},
        {"a reset that changes nothing",
         [](CSimMcuSlave& mcu)
         {
             mcu.SetMode(0);
             mcu.Config().ignoresReset = true;
         },
         "Failed to switch to APP mode on confirmation stage.\n"},
        {"an empty reply to the mode read",
         [](CSimMcuSlave& mcu) { mcu.Config().emptyReplies = true; },
         "GmacGetCurrentMode failure: Data size mismatch.\n"},
        {"no MCU answering", [](CSimMcuSlave& mcu) { mcu.Config().absent = true; },
         "\n\n    Error communicating with GMAC entry from I2C Device Table,\n"
         "    which failed to get current mode through I2C Slave Address \n"
         "    0x98/Secondary port.\n"
         "    Please confirm the GMAC MCU come with a bootloader\n"
         "    that pre-programmed by manufacturer.\n"},
    };
    for (const Case& c : cases)
    {
        SimMcuConfig fresh;
        Mcu().Config() = fresh;
        Mcu().InstallApplication(kInstalled);
        Mcu().SetMode(1);
        c.prepare(Mcu());
        m_out.str("");
        EXPECT_FALSE(m_gmac->SwitchToAppMode(Log())) << c.name;
        EXPECT_NE(Output().find(c.text), std::string::npos) << c.name << "\n" << Output();
    }
}

TEST_F(GmacAccessorTest, ReadsFlashByPagesAndParagraphs)
{
    std::vector<uint8_t>& flash = Mcu().Flash();
    for (size_t i = 0; i < flash.size(); ++i)
    {
        flash[i] = static_cast<uint8_t>(i * 7 + (i >> 8));
    }
    Mcu().InstallApplication(kInstalled);
    const std::vector<uint8_t> expected(flash.begin() + 4136, flash.begin() + 4200);

    ::testing::internal::CaptureStderr();
    std::vector<uint8_t> out;
    EXPECT_EQ(m_gmac->ReadImage(out, 4136, 64, Log()), kGmacReadDone);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "") << "no progress dot within a page";
    EXPECT_EQ(out, expected);

    // Across a page boundary.
    const std::vector<uint8_t> across(flash.begin() + 5100, flash.begin() + 5200);
    out.clear();
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(m_gmac->ReadImage(out, 5100, 100, Log()), kGmacReadDone);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), ".");
    EXPECT_EQ(out, across);

    out.clear();
    EXPECT_EQ(m_gmac->ReadImage(out, 0, 0, Log()), kGmacReadDone);
    EXPECT_TRUE(out.empty());
}

TEST_F(GmacAccessorTest, ApplicationWithoutReadPageCommand)
{
    Mcu().Config().refusesReadPage = true;
    std::vector<uint8_t> out;
    EXPECT_EQ(m_gmac->ReadImage(out, 4096, 64, Log()), kGmacReadUnsupported);
    EXPECT_NE(Output().find("\n\n    Failed to issue SET_READ_PAGE(0x28) command,\n"
                            "    this application version command did NOT exist.\n"),
              std::string::npos);
}

TEST_F(GmacAccessorTest, PageBufferEraseAndProgram)
{
    ASSERT_TRUE(m_gmac->SwitchToBootloaderMode(Log()));
    std::vector<uint8_t> page(kGmacPageSize);
    for (size_t i = 0; i < page.size(); ++i)
    {
        page[i] = static_cast<uint8_t>(i ^ 0x5A);
    }
    EXPECT_TRUE(m_gmac->WritePageBuffer(page, Log()));
    EXPECT_TRUE(m_gmac->CheckPageBufferChecksum(page, Log()));
    std::vector<uint8_t> other = page;
    other[1023] ^= 1;
    EXPECT_FALSE(m_gmac->CheckPageBufferChecksum(other, Log()));
    EXPECT_NE(Output().find(" => CRC mismatch.\n"), std::string::npos);

    EXPECT_TRUE(m_gmac->ErasePage(3, Log()));
    EXPECT_TRUE(m_gmac->ProgramPage(3, Log()));
    const auto at = Mcu().Flash().begin() + 4096 + 3 * 1024;
    EXPECT_EQ(std::vector<uint8_t>(at, at + 1024), page);

    Mcu().Config().failProgramPage = 4;
    EXPECT_FALSE(m_gmac->ProgramPage(4, Log()));
    EXPECT_NE(Output().find("Failed to program page #02\n"), std::string::npos)
        << "the status byte, not the page";

    Mcu().Config().stuckBusy = true;
    EXPECT_FALSE(m_gmac->ErasePage(5, Log()));
    EXPECT_NE(Output().find("Page erase did not finish, page #05\n"), std::string::npos);

    Mcu().Flash()[4096] = 0;
    EXPECT_FALSE(m_gmac->CheckAppImageStatus(Log()));
    EXPECT_NE(Output().find("Invalid application image00\n"), std::string::npos);
}

TEST_F(GmacAccessorTest, ImageFileChecks)
{
    const std::vector<uint8_t> good = MakeMcuFirmware(0x7E2B, 0x0C00, 1500);
    struct Case
    {
        const char* name;
        std::vector<uint8_t> file;
        std::vector<std::string> texts;
    };
    std::vector<uint8_t> badChecksum = good;
    badChecksum[63] ^= 1;
    std::vector<uint8_t> changedImage = good;
    changedImage[100] ^= 0xFF;
    std::vector<uint8_t> padded = good;
    padded.insert(padded.begin(), 16, 0);
    const Case cases[] = {
        {"header only",
         std::vector<uint8_t>(good.begin(), good.begin() + 64),
         {" Invalid image buffer size. "}},
        {"bad checksum", badChecksum, {" Bad image header checksum"}},
        {"changed image", changedImage, {"MCU application image checksum mismatched."}},
        {"padding before the header",
         padded,
         {" Size of input image mismatch with Header size [0040] + Image size[05DC]",
          "MCU application image checksum mismatched."}},
        {"no signature",
         std::vector<uint8_t>(200, 0x11),
         {"Invalid header, unable to find out the image header signature."}},
    };
    for (const Case& c : cases)
    {
        m_out.str("");
        EXPECT_FALSE(m_gmac->LoadImage(c.file)) << c.name;
        for (const std::string& text : c.texts)
        {
            EXPECT_NE(Output().find(text), std::string::npos) << c.name << ": " << text;
        }
        EXPECT_EQ(m_gmac->GetProject(), "") << c.name;
    }

    EXPECT_TRUE(m_gmac->LoadImage(good));
    EXPECT_EQ(m_gmac->GetProject() + m_gmac->GetSku() + m_gmac->GetSkuBranch() +
                  m_gmac->GetAppVersion(),
              "KRVNS100B107");
    EXPECT_EQ(m_gmac->GetStm32DeviceID(), 0x0440);
    // A file too short for a header leaves nothing of the earlier image.
    EXPECT_FALSE(m_gmac->LoadImage(std::vector<uint8_t>(10, 0)));
    EXPECT_EQ(m_gmac->GetProject(), "");
    EXPECT_EQ((*m_gmac->GetImageHeader())[0], 0);

    std::vector<uint8_t> odd(1025, 1);
    m_gmac->PadToPage(odd);
    EXPECT_EQ(odd.size(), 2048u);
    EXPECT_EQ(odd.back(), 0xFF);
    EXPECT_EQ(m_gmac->Crc32(nullptr, 0), 0xFFFFFFFFu);
}

TEST_F(GmacAccessorTest, UpdatesTheFirmwareAfterConfirmation)
{
    const std::vector<uint8_t> update =
        MakeMcuFirmware(0x7E2B, 0x0C00, 1500, "KRVN", "S100", "B1", "08");
    m_console->keys = {'y'};
    EXPECT_TRUE(m_gmac->Flash(WriteFile("mcu-08.bin", update), Log()));
    EXPECT_EQ(Mcu().Mode(), 1);
    EXPECT_TRUE(Mcu().IsApplicationValid());
    EXPECT_EQ(std::vector<uint8_t>(Mcu().Flash().begin() + 4096,
                                   Mcu().Flash().begin() + 4096 + update.size()),
              update);
    EXPECT_EQ(Mcu().ErasedPages(), 2);
    const std::string out = Output();
    EXPECT_NE(out.find("Update GMAC application image? \n"
                       "Current      - APP Version:07, ID:7E2B:0C00:KRVN:S100\n"
                       "Replace with - APP Version:08, ID:7E2B:0C00:KRVN:S100\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("Press 'y' to continue (any other key to abort):  \n"), std::string::npos);
    EXPECT_NE(out.find("Successfully flashed application image to after 00 try.\n"),
              std::string::npos);
    EXPECT_NE(out.find("\nSuccessfully flashed application image to KRVN.S100.B1.08.\n"),
              std::string::npos);

    // The installed image reads back as it was written (not the padding).
    const std::string saved = WriteFile("saved.bin", {});
    m_gmac->SaveApplicationImage(saved, Log(), true);
    std::ifstream file(saved, std::ios::binary);
    const std::vector<uint8_t> back{std::istreambuf_iterator<char>(file), {}};
    EXPECT_EQ(back, update);
    EXPECT_NE(Output().find("Successfully saved application image to " + saved + "."),
              std::string::npos);
}

TEST_F(GmacAccessorTest, IdMismatchesAndRefusals)
{
    struct Case
    {
        const char* name;
        uint16_t vendorId;
        uint16_t deviceId;
        uint32_t overrides;
        std::deque<int> keys;
        std::deque<std::string> lines;
        bool flashed;
        const char* text;
    };
    const Case cases[] = {
        {"declined", 0x7E2B, 0x0C00, 0, {'n'}, {}, false, "\nUpdate aborted.\n"},
        {"device mismatch without override",
         0x7E2B,
         0x0C05,
         0,
         {'y'},
         {},
         false,
         "Detected a mismatch in Device ID.\n"},
        {"device mismatch overridden and confirmed",
         0x7E2B,
         0x0C05,
         2,
         {'y'},
         {"YES"},
         true,
         "Device ID override detected.\n"},
        {"device mismatch overridden, lower-case word",
         0x7E2B,
         0x0C05,
         2,
         {'y'},
         {"yes"},
         false,
         "Type \"YES\" to confirm (all caps):  \n"},
        {"vendor mismatch is never overridden",
         0x10DE,
         0x0C00,
         2,
         {'y'},
         {"YES"},
         false,
         "Vendor ID mismatch ( Adapter = 7E2B vs. ROM = 10DE )\n"},
        {"device ID 0 in the image matches any", 0x7E2B, 0x0000, 0, {'y'}, {}, true, ""},
    };
    for (const Case& c : cases)
    {
        Mcu().InstallApplication(kInstalled);
        Mcu().SetMode(1);
        m_out.str("");
        m_console->keys = c.keys;
        m_console->lines = c.lines;
        m_gmac->SetOverrideFlags(c.overrides);
        const std::vector<uint8_t> update =
            MakeMcuFirmware(c.vendorId, c.deviceId, 1200, "KRVN", "S100", "B1", "09");
        EXPECT_EQ(m_gmac->Flash(WriteFile("mcu-09.bin", update), Log()), c.flashed) << c.name;
        EXPECT_EQ(Mcu().Flash()[4096 + 18 + 1], c.flashed ? '9' : '7') << c.name;
        EXPECT_NE(Output().find(c.text), std::string::npos) << c.name << "\n" << Output();
    }
}

TEST_F(GmacAccessorTest, WithoutConfirmationTheIdsAreStillChecked)
{
    // An MCU stuck in the boot loader cannot confirm: the update goes on
    // unconfirmed, but only with an image made for this board.
    Mcu().SetMode(0);
    Mcu().Flash()[4096] = 0;
    const std::vector<uint8_t> foreign = MakeMcuFirmware(0x10DE, 0x0C00, 1200);
    EXPECT_FALSE(m_gmac->Flash(WriteFile("foreign.bin", foreign), Log()));
    EXPECT_NE(Output().find("Failed to switch mode to APP, override the MCU firmware without the "
                            "user confirmation.\n"),
              std::string::npos);
    EXPECT_NE(Output().find("\nUpdate aborted.\n"), std::string::npos);
    EXPECT_EQ(Mcu().ErasedPages(), 0);

    const std::vector<uint8_t> own = MakeMcuFirmware(0x7E2B, 0x0C00, 1200);
    EXPECT_TRUE(m_gmac->Flash(WriteFile("own.bin", own), Log()));
    EXPECT_EQ(Mcu().Mode(), 1);
}

TEST_F(GmacAccessorTest, NoConfirmSkipsTheQuestionButNotTheIdCheck)
{
    const OptionDescriptor table[] = {{"noconfirm", ' ', 0, "", ""}};
    char program[] = "romvise";
    char option[] = "--noconfirm";
    char* argv[] = {program, option};
    ICommandLine::Create(1, table, 2, argv);

    EXPECT_FALSE(
        m_gmac->Flash(WriteFile("other.bin", MakeMcuFirmware(0x7E2B, 0x0C05, 1200)), Log()));
    EXPECT_NE(Output().find("Device ID mismatch ( Adapter = 0C00 vs. ROM = 0C05 )\n"),
              std::string::npos);
    EXPECT_EQ(Mcu().ErasedPages(), 0);

    EXPECT_TRUE(m_gmac->Flash(WriteFile("same.bin", MakeMcuFirmware(0x7E2B, 0x0C00, 1200)), Log()));
    EXPECT_EQ(Output().find("Press 'y'"), std::string::npos) << "no question asked";
    EXPECT_EQ(Mcu().Mode(), 1);
}

TEST_F(GmacAccessorTest, UpdateFailsWhenTheMcuNeverReturnsToTheApplication)
{
    m_console->keys = {'y'};
    Mcu().Config().failProgramPage = 1;
    const std::vector<uint8_t> update = MakeMcuFirmware(0x7E2B, 0x0C00, 1500);
    EXPECT_FALSE(m_gmac->Flash(WriteFile("fails.bin", update), Log()));
    const std::string out = Output();
    EXPECT_NE(out.find("Failed to program page# 01\n"), std::string::npos);
    EXPECT_NE(out.find("retry 00/03...\n"), std::string::npos);
    EXPECT_NE(out.find("retry 02/03...\n"), std::string::npos);
    EXPECT_NE(out.find("\nFailed to flash application image to GMAC MCU.\n"), std::string::npos);
    EXPECT_EQ(out.find("Successfully flashed"), std::string::npos);
}

TEST_F(GmacAccessorTest, UpdateThatProgrammedNothingFailsThoughTheOldApplicationRuns)
{
    // Every page buffer fails its CRC check, so no page is erased and the
    // installed application starts again after each attempt.
    m_console->keys = {'y'};
    Mcu().Config().badPageBufferCrc = true;
    const std::vector<uint8_t> update =
        MakeMcuFirmware(0x7E2B, 0x0C00, 1500, "KRVN", "S100", "B1", "08");
    EXPECT_FALSE(m_gmac->Flash(WriteFile("unwritten.bin", update), Log()));
    EXPECT_EQ(Mcu().Mode(), 1);
    EXPECT_EQ(Mcu().ErasedPages(), 0);
    EXPECT_EQ(Mcu().Flash()[4096 + 18 + 1], '7');
    const std::string out = Output();
    EXPECT_NE(out.find("Failed to verify CRC at page#00\n"), std::string::npos);
    EXPECT_NE(out.find("Programming the MCU failed, and retry 02/03...\n"), std::string::npos);
    EXPECT_NE(out.find("\nFailed to flash application image to GMAC MCU.\n"), std::string::npos);
    EXPECT_EQ(out.find("Successfully flashed"), std::string::npos) << out;
}

TEST_F(GmacAccessorTest, DisplaysTheMcuAndAFile)
{
    m_gmac->DisplayVersion("", Log(), false);
    const std::string out = Output();
    EXPECT_NE(out.find("GMAC MCU bootloader information :\n  Bootloader Version    : 0103\n"),
              std::string::npos);
    EXPECT_NE(out.find("  Full Version          : KRVN.S100.B1.07\n\n"), std::string::npos);
    EXPECT_NE(out.find("  Image Size            : 0x0BB8 (3000) bytes\n"), std::string::npos);
    EXPECT_NE(out.find("\nVersion display completed successfully.\n"), std::string::npos);
    EXPECT_EQ(Mcu().Mode(), 1);

    m_out.str("");
    const std::vector<uint8_t> commandsBefore = Mcu().Commands();
    m_gmac->DisplayVersion(WriteFile("show.bin", kInstalled), Log(), false);
    EXPECT_NE(Output().find(" PCI ID                : 7E2B-0C00\n"), std::string::npos);
    EXPECT_EQ(Mcu().Commands(), commandsBefore) << "a file display never touches the MCU";

    m_out.str("");
    m_gmac->DisplayVersion("/nonexistent/mcu.bin", Log(), false);
    EXPECT_NE(Output().find("Couldn't open /nonexistent/mcu.bin\n"), std::string::npos);
    EXPECT_NE(Output().find("Version display completed with failure."), std::string::npos);
}
} // namespace
