#pragma once
// The board MCU on a GPU's I2C port (0x98 on port 1): an STM32 with a boot
// loader and an application, reached by SMBus block transfers.
//
// 64 KiB of flash, erased to 0xFF, with the application image (a 64-byte
// header, then the image) at 4096. The boot loader takes the page-buffer
// paragraphs (0x40-0x5F), the page-buffer CRC (0x21), erase and program of an
// application page (0x22/0x24, page counted from 4096) whose status (0x23/0x25)
// reads busy (1) for a set number of polls and then done (0), the application
// status (0x26: bit 0 set while the flash holds a header whose CRC matches its
// image), the flash size (0x20) and its version (0x27). The application takes
// the read page (0x28, an absolute flash page) and hands out that page by
// paragraphs. Both answer the boot-mode override (0x10/0x11), the reset
// (0x12: the boot loader stays when the override is 1 or the application is
// not valid) and the current mode (0x13). A command the running mode does not
// know is not acknowledged.

#include "sim/SimI2CBus.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

struct SimMcuConfig
{
    // The application does not know command 0x28.
    bool refusesReadPage = false;
    // Acknowledges nothing, as when no MCU is fitted.
    bool absent = false;
    // Status polls that read busy after an erase or program start.
    int busyPolls = 2;
    // Erase and program never finish.
    bool stuckBusy = false;
    // Programming this application page reports a failure (-1: none).
    int failProgramPage = -1;
    // The mode confirmation after a reset shows the old mode.
    bool ignoresReset = false;
    // Every read command answers with a count of 0.
    bool emptyReplies = false;
    // The page-buffer CRC (0x21) answers a value that matches no page, as
    // when a paragraph was corrupted on its way in.
    bool badPageBufferCrc = false;
    uint16_t bootloaderVersion = 0x0103;
};

class CSimMcuSlave : public CSimI2CByteSlave
{
public:
    static constexpr uint32_t kFlashSize = 0x10000;
    static constexpr uint32_t kApplicationOffset = 4096;
    static constexpr uint32_t kPageSize = 1024;

    explicit CSimMcuSlave(std::string name = "mcu", uint8_t address = 0x98,
                          SimMcuConfig config = {});

    SimMcuConfig& Config() { return m_config; }
    // 0 boot loader, 1 application.
    uint8_t Mode() const { return m_mode; }
    void SetMode(uint8_t mode) { m_mode = mode; }
    std::vector<uint8_t>& Flash() { return m_flash; }
    // Puts a firmware file (header and image) at the application offset.
    void InstallApplication(const std::vector<uint8_t>& file);
    bool IsApplicationValid() const;
    // Keeps the application area in a file: every finished erase or program
    // writes it back (less its erased tail), so a later run loading the
    // same file sees what this one programmed.
    void KeepApplicationIn(std::string path) { m_applicationFile = std::move(path); }

    // Commands taken, in order (the command byte of every transfer).
    const std::vector<uint8_t>& Commands() const { return m_commands; }
    int ErasedPages() const { return m_erases; }
    int ProgrammedPages() const { return m_programs; }

    // CRC-32/MPEG-2, the MCU's checksum of the page buffer and the image.
    static uint32_t Crc32(const uint8_t* bytes, size_t length);

protected:
    bool OnAddress(bool read) override;
    bool OnWrite(uint8_t byte) override;
    uint8_t OnRead() override;
    void OnStop() override;

private:
    bool KnowsCommand(uint8_t command) const;
    void ExecuteWrite();
    std::vector<uint8_t> ReplyFor(uint8_t command);
    void StartOperation(bool erase, uint16_t page);
    uint8_t PollStatus(bool erase);
    void SaveApplication() const;

    std::string m_name;
    std::string m_applicationFile;
    SimMcuConfig m_config;
    uint8_t m_mode = 1;
    uint8_t m_bootOverride = 0;
    std::vector<uint8_t> m_flash;
    std::array<uint8_t, kPageSize> m_pageBuffer{};
    uint16_t m_readPage = 0;
    std::vector<uint8_t> m_received;
    bool m_commandAccepted = false;
    std::vector<uint8_t> m_reply;
    size_t m_replyIndex = 0;
    // Status of the last erase and program: polls left busy, final status.
    int m_eraseBusy = 0;
    uint8_t m_eraseStatus = 0;
    int m_programBusy = 0;
    uint8_t m_programStatus = 0;
    std::vector<uint8_t> m_commands;
    int m_erases = 0;
    int m_programs = 0;
};
