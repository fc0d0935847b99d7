#pragma once
// The MCU accessor: the command transport over SMBus block transfers, the
// held firmware image and its checks, and the workflows built on them.

#include "hw/mcu/IGmacAccessor.h"

#include <sstream>
#include <string>

// Fields of an image header: little-endian numbers and fixed-width texts.
inline uint16_t HeaderWord(const GmacImageHeader& header, size_t offset)
{
    return static_cast<uint16_t>(header[offset] | (header[offset + 1] << 8));
}

inline uint32_t HeaderDword(const GmacImageHeader& header, size_t offset)
{
    return HeaderWord(header, offset) |
           (static_cast<uint32_t>(HeaderWord(header, offset + 2)) << 16);
}

inline std::string HeaderText(const GmacImageHeader& header, size_t offset, size_t length)
{
    return std::string(reinterpret_cast<const char*>(header.data() + offset), length);
}

class CGmacAccessorImpl : public CReferenceCountImpl, public IGmacAccessor
{
public:
    ROMVISE_REFCOUNT_FORWARD

    // The erase and program status polls give up after this many busy replies.
    static constexpr int kBusyPollLimit = 200;

    CGmacAccessorImpl(II2CMaster* master, CRefPtr<IReferenceCount> owner, uint16_t vendorId,
                      uint16_t deviceId, uint8_t port, uint8_t slaveAddress);
    ~CGmacAccessorImpl() override;

    void SetOverrideFlags(uint32_t flags) override { m_overrideFlags = flags; }
    uint32_t GetOverrideFlags() override { return m_overrideFlags; }
    uint8_t GetSlaveAddress() override { return m_slaveAddress; }
    void SetSlaveAddress(uint8_t address) override { m_slaveAddress = address; }
    uint8_t GetI2CPort() override { return m_port; }
    void SetI2CPort(uint8_t port) override { m_port = port; }

    bool ValidateImage() override;
    bool ValidateHeader(const GmacImageHeader& header, CLog* log) override;
    uint32_t CheckImageIds(CLog* log) override;
    const GmacImageHeader* GetImageHeader() override { return &m_header; }
    bool LoadImage(std::vector<uint8_t> bytes) override;
    std::string GetSignature() override;
    std::string GetProject() override;
    std::string GetSku() override;
    std::string GetSkuBranch() override;
    std::string GetAppVersion() override;
    std::string GetDeviceName() override { return "GMAC Device"; }
    uint16_t GetImageVendorID() override;
    uint16_t GetImageDeviceID() override;
    uint16_t GetStm32DeviceID() override;
    uint16_t GetImageVersion() override;
    uint32_t Crc32(const uint8_t* bytes, uint32_t length) override;
    virtual bool CheckImageCrc(const std::vector<uint8_t>& image);

    bool ProgramImage(std::vector<uint8_t>& bytes, CLog* log) override;
    int32_t ReadImage(std::vector<uint8_t>& out, uint32_t offset, uint32_t size,
                      CLog* log) override;
    bool WritePageBuffer(const std::vector<uint8_t>& page, CLog* log) override;
    bool CheckPageBufferChecksum(const std::vector<uint8_t>& page, CLog* log) override;
    bool ErasePage(uint16_t page, CLog* log) override;
    bool ProgramPage(uint16_t page, CLog* log) override;
    bool CheckAppImageStatus(CLog* log) override;
    int32_t ReadMcuImageHeader(GmacImageHeader& out, CLog* log) override;
    bool SaveMcuImageToFile(const std::string& fileName, CLog* log, bool direct) override;

    bool GmacGetBootModeOverride(uint8_t& value, CLog* log) override;
    bool GmacSetBootModeOverride(uint8_t value, CLog* log) override;
    bool GmacResetBoot(CLog* log) override;
    bool GmacGetCurrentMode(uint8_t& mode, CLog* log) override;
    bool GmacGetFlashMemorySize(uint32_t& size, CLog* log) override;
    bool GmacGetPageBufferCheckSum(uint32_t& crc, CLog* log) override;
    bool GmacStartPageEraseOperation(uint16_t page, CLog* log) override;
    bool GmacGetPageEraseStatus(uint8_t& status, CLog* log) override;
    bool GmacStartPageProgramOperation(uint16_t page, CLog* log) override;
    bool GmacGetPageProgramStatus(uint8_t& status, CLog* log) override;
    bool GmacGetAPPImageStatus(uint8_t& status, CLog* log) override;
    bool GmacGetBootloaderVersion(uint16_t& version, CLog* log) override;
    int32_t GmacSetReadPage(uint16_t page, CLog* log) override;
    bool GmacWriteDataToPageBuffer(uint8_t paragraph, const std::vector<uint8_t>& bytes,
                                   CLog* log) override;
    bool GmacReadDataToPageBuffer(uint8_t paragraph, std::vector<uint8_t>& out, CLog* log) override;

    bool WriteImageFile(const std::string& fileName, const std::vector<uint8_t>& bytes,
                        uint32_t count) override;
    bool ReadImageFile(const std::string& fileName, std::vector<uint8_t>& out) override;
    void PadToPage(std::vector<uint8_t>& bytes) override;

    bool PrintImageHeader(const std::string& fileName, CLog* log, bool direct) override;
    void PrintApplicationId(const GmacImageHeader& header, std::ostream& out) override;
    std::string GetVersionString(CLog* log) override;
    bool DisplayMcuInfo(CLog* log, bool direct) override;
    bool ConfirmUpdate(CLog* log) override;
    bool PromptContinue() override;
    bool SwitchToAppMode(CLog* log) override;
    bool SwitchToBootloaderMode(CLog* log) override;
    bool Flash(const std::string& fileName, CLog* log) override;
    bool SaveApplicationImage(const std::string& fileName, CLog* log, bool direct) override;
    bool DisplayVersion(const std::string& fileName, CLog* log, bool direct) override;
    virtual bool PrintAll(const std::string& fileName, CLog* log, bool direct);

private:
    // One block transfer; the status of the master (kI2CNoLines without one).
    int32_t BlockRead(uint8_t command, std::vector<uint8_t>& reply);
    int32_t BlockWrite(uint8_t command, const std::vector<uint8_t>& data);
    // The pause the MCU needs after a command it took.
    void Settle(uint32_t microseconds = 50000);
    // A read command whose reply must be exactly `length` bytes.
    bool ReadExact(uint8_t command, size_t length, std::vector<uint8_t>& reply, CLog* log,
                   const char* failureText, const char* sizeText);
    bool WriteCommand(uint8_t command, const std::vector<uint8_t>& data, CLog* log,
                      const char* failureText);
    bool SwitchMode(uint8_t target, CLog* log);
    // Back to the application after a save; a failure is only logged.
    void SwitchBackToApp(CLog* log);
    bool PollStatus(bool erase, uint16_t page, CLog* log);
    bool CheckHeaderFields(const GmacImageHeader& header, std::ostringstream& text, bool& failed);
    // IDs mismatching the image that the override flags do not allow.
    bool IdsRefused();

    II2CMaster* m_master;
    CRefPtr<IReferenceCount> m_masterOwner;
    uint16_t m_vendorId;
    uint16_t m_deviceId;
    bool m_imageValid = false;
    uint8_t m_port;
    uint8_t m_slaveAddress;
    std::vector<uint8_t> m_image;
    GmacImageHeader m_header{};
    uint32_t m_overrideFlags = 0;
};

// Detail lines go to the log at its current level.
void GmacDetail(CLog* log, const std::string& text);
// A message for the console and the log file.
void GmacMessage(const std::string& text);
