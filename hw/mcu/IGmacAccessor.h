#pragma once
// The on-board MCU ("GMAC device") of an adapter, reached over one of the GPU's
// I2C ports with SMBus block transfers: its boot loader erases and programs the
// flash page by page through a 1024-byte page buffer, its application hands out
// the contents of the flash. The accessor also holds one MCU firmware file (a
// 64-byte header and the application image) with its checks, and runs the
// update, read-back and version-display workflows.
//
// Messages go to the console and the log file (level 4); detail lines go to the
// given log at its current level (the log file only).

#include "core/Log.h"
#include "core/RefCount.h"
#include "hw/device/II2CMaster.h"

#include <array>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

constexpr size_t kGmacHeaderSize = 64;
constexpr uint32_t kGmacPageSize = 1024;
constexpr uint32_t kGmacParagraphSize = 32;
constexpr uint32_t kGmacFlashLimit = 0x10000;
// Where the application image, header first, lies in the MCU's flash.
constexpr uint32_t kGmacApplicationOffset = 4096;
constexpr uint8_t kGmacI2CPort = 1;
constexpr uint8_t kGmacSlaveAddress = 0x98;

using GmacImageHeader = std::array<uint8_t, kGmacHeaderSize>;

// Results of the MCU reads.
enum EGmacReadResult : int32_t
{
    kGmacReadDone = 0,
    kGmacReadUnsupported = 2, // the application cannot hand out its flash
    kGmacReadFailed = 3,
};

// Bits of CheckImageIds and of the override flags.
constexpr uint32_t kGmacVendorIdMismatch = 0x1;
constexpr uint32_t kGmacDeviceIdMismatch = 0x2;

class IGmacAccessor : public IReferenceCount
{
public:
    // Which ID mismatches an update may override after a typed confirmation.
    virtual void SetOverrideFlags(uint32_t flags) = 0;
    virtual uint32_t GetOverrideFlags() = 0;
    virtual uint8_t GetSlaveAddress() = 0;
    virtual void SetSlaveAddress(uint8_t address) = 0;
    virtual uint8_t GetI2CPort() = 0;
    virtual void SetI2CPort(uint8_t port) = 0;

    // The held image.
    virtual bool ValidateImage() = 0;
    virtual bool ValidateHeader(const GmacImageHeader& header, CLog* log) = 0;
    virtual uint32_t CheckImageIds(CLog* log) = 0;
    virtual const GmacImageHeader* GetImageHeader() = 0;
    virtual bool LoadImage(std::vector<uint8_t> bytes) = 0;
    virtual std::string GetSignature() = 0;
    virtual std::string GetProject() = 0;
    virtual std::string GetSku() = 0;
    virtual std::string GetSkuBranch() = 0;
    virtual std::string GetAppVersion() = 0;
    virtual std::string GetDeviceName() = 0;
    virtual uint16_t GetImageVendorID() = 0;
    virtual uint16_t GetImageDeviceID() = 0;
    virtual uint16_t GetStm32DeviceID() = 0;
    virtual uint16_t GetImageVersion() = 0;
    // CRC-32/MPEG-2 of the first `length` bytes.
    virtual uint32_t Crc32(const uint8_t* bytes, uint32_t length) = 0;

    // Programming and reading.
    virtual bool ProgramImage(std::vector<uint8_t>& bytes, CLog* log) = 0;
    // Appends `size` bytes of flash from `offset` to `out`; an EGmacReadResult.
    virtual int32_t ReadImage(std::vector<uint8_t>& out, uint32_t offset, uint32_t size,
                              CLog* log) = 0;
    virtual bool WritePageBuffer(const std::vector<uint8_t>& page, CLog* log) = 0;
    virtual bool CheckPageBufferChecksum(const std::vector<uint8_t>& page, CLog* log) = 0;
    virtual bool ErasePage(uint16_t page, CLog* log) = 0;
    virtual bool ProgramPage(uint16_t page, CLog* log) = 0;
    virtual bool CheckAppImageStatus(CLog* log) = 0;
    virtual int32_t ReadMcuImageHeader(GmacImageHeader& out, CLog* log) = 0;
    virtual bool SaveMcuImageToFile(const std::string& fileName, CLog* log, bool direct) = 0;

    // The command set.
    virtual bool GmacGetBootModeOverride(uint8_t& value, CLog* log) = 0;
    virtual bool GmacSetBootModeOverride(uint8_t value, CLog* log) = 0;
    virtual bool GmacResetBoot(CLog* log) = 0;
    virtual bool GmacGetCurrentMode(uint8_t& mode, CLog* log) = 0;
    virtual bool GmacGetFlashMemorySize(uint32_t& size, CLog* log) = 0;
    virtual bool GmacGetPageBufferCheckSum(uint32_t& crc, CLog* log) = 0;
    virtual bool GmacStartPageEraseOperation(uint16_t page, CLog* log) = 0;
    virtual bool GmacGetPageEraseStatus(uint8_t& status, CLog* log) = 0;
    virtual bool GmacStartPageProgramOperation(uint16_t page, CLog* log) = 0;
    virtual bool GmacGetPageProgramStatus(uint8_t& status, CLog* log) = 0;
    virtual bool GmacGetAPPImageStatus(uint8_t& status, CLog* log) = 0;
    virtual bool GmacGetBootloaderVersion(uint16_t& version, CLog* log) = 0;
    // An EGmacReadResult.
    virtual int32_t GmacSetReadPage(uint16_t page, CLog* log) = 0;
    virtual bool GmacWriteDataToPageBuffer(uint8_t paragraph, const std::vector<uint8_t>& bytes,
                                           CLog* log) = 0;
    virtual bool GmacReadDataToPageBuffer(uint8_t paragraph, std::vector<uint8_t>& out,
                                          CLog* log) = 0;

    // Files.
    virtual bool WriteImageFile(const std::string& fileName, const std::vector<uint8_t>& bytes,
                                uint32_t count) = 0;
    virtual bool ReadImageFile(const std::string& fileName, std::vector<uint8_t>& out) = 0;
    virtual void PadToPage(std::vector<uint8_t>& bytes) = 0;

    // Workflows.
    virtual bool PrintImageHeader(const std::string& fileName, CLog* log, bool direct) = 0;
    virtual void PrintApplicationId(const GmacImageHeader& header, std::ostream& out) = 0;
    virtual std::string GetVersionString(CLog* log) = 0;
    virtual bool DisplayMcuInfo(CLog* log, bool direct) = 0;
    virtual bool ConfirmUpdate(CLog* log) = 0;
    virtual bool PromptContinue() = 0;
    virtual bool SwitchToAppMode(CLog* log) = 0;
    virtual bool SwitchToBootloaderMode(CLog* log) = 0;
    // Returns whether the MCU ended up running the new image.
    virtual bool Flash(const std::string& fileName, CLog* log) = 0;
    // False when the microcontroller's image could not be read (no file is
    // then written); a file that cannot be written raises io_error after the
    // failure's message.
    virtual bool SaveApplicationImage(const std::string& fileName, CLog* log, bool direct) = 0;
    // False when the version could not be shown: the file's (a file named)
    // or the microcontroller's (none named).
    virtual bool DisplayVersion(const std::string& fileName, CLog* log, bool direct) = 0;

protected:
    ~IGmacAccessor() = default;
};

// An accessor over the I2C master of `owner` (which keeps the master alive; it
// is held for the accessor's life). Both empty: an accessor for image files
// only, whose MCU commands fail.
CRefPtr<IGmacAccessor> CreateGmacAccessor(II2CMaster* master, CRefPtr<IReferenceCount> owner,
                                          uint16_t vendorId, uint16_t deviceId, uint8_t port,
                                          uint8_t slaveAddress);
