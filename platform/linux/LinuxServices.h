#pragma once
// The Linux service classes, for the installer and the tests.

#include "core/platform/PlatformServices.h"

#include <array>
#include <csignal>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <termios.h>
#include <unistd.h>
#include <vector>

// CLOCK_MONOTONIC in microseconds; waits are busy loops so short delays hold.
class CLinuxClock : public CReferenceCountImpl, public IClock
{
public:
    ROMVISE_REFCOUNT_FORWARD
    uint64_t NowMicroseconds() override;
    void WaitMicroseconds(uint64_t microseconds) override;
};

// Reads the console one byte at a time from a file descriptor. On a terminal a
// key read switches off line buffering (and echo, when asked) for that one read
// and puts the terminal's mode back afterwards, also when the read fails. The
// output descriptor is where the program's text goes (standard output).
class CLinuxConsoleInput : public CReferenceCountImpl, public IConsoleInput
{
public:
    explicit CLinuxConsoleInput(int fd, int outputFd = STDOUT_FILENO);
    ROMVISE_REFCOUNT_FORWARD
    int ReadKeyWithoutEcho() override;
    int ReadKeyWithEcho() override;
    bool ReadLine(std::string& line) override;
    void RestoreTerminal() override;
    bool IsInteractive() override;

private:
    int ReadKey(bool echo);
    // One byte, or kConsoleEndOfInput at end of input or on a read error.
    int ReadByte();
    // Reads and drops what the terminal has already delivered.
    void DropPendingBytes(termios mode);

    int m_fd;
    int m_outputFd;
    std::optional<termios> m_initialMode; // set when the descriptor is a terminal
};

// Ignores SIGINT, SIGQUIT and SIGTERM while breaks are ignored.
class CLinuxBreakHandling : public CReferenceCountImpl, public IBreakHandling
{
public:
    ROMVISE_REFCOUNT_FORWARD
    ~CLinuxBreakHandling() override;
    void IgnoreBreaks() override;
    void RestoreBreaks() override;

    static constexpr std::array<int, 3> kSignals = {SIGINT, SIGQUIT, SIGTERM};

private:
    bool m_ignoring = false;
    std::array<struct sigaction, 3> m_saved{};
};

// Reads <root>/<supply>/{type,online,scope,capacity,status} under the
// power-supply class directory.
class CLinuxPowerSource : public CReferenceCountImpl, public IPowerSource
{
public:
    explicit CLinuxPowerSource(std::filesystem::path root);
    ROMVISE_REFCOUNT_FORWARD
    bool ReadPowerStatus(PowerStatus& status) override;

private:
    std::filesystem::path m_root;
};

class CLinuxSystemControl : public CReferenceCountImpl, public ISystemControl
{
public:
    CLinuxSystemControl(std::vector<std::string> rebootCommand,
                        std::filesystem::path stateDirectory = "/var/lib/romvise");
    ROMVISE_REFCOUNT_FORWARD
    void Reboot() override;
    bool IsWow64() override;
    std::string GetSystemErrorText(uint32_t code) override;
    std::string GetWorkingDirectory() override;
    std::string GetStateDirectory() override;

private:
    std::vector<std::string> m_rebootCommand;
    std::filesystem::path m_stateDirectory;
};

// The PCI functions under <pciRoot>/devices as the device list. A function with
// a bound driver is started; disabling unbinds it from its driver and remembers
// the driver, enabling binds it to the remembered driver again.
class CLinuxDisplayDeviceManager : public CReferenceCountImpl, public IDisplayDeviceManager
{
public:
    explicit CLinuxDisplayDeviceManager(std::filesystem::path pciRoot);
    ROMVISE_REFCOUNT_FORWARD
    bool ListDevices(std::vector<DeviceEntry>& devices) override;
    uint32_t GetDeviceStatus(const std::string& instanceId, DeviceStatus& status) override;
    uint32_t ChangeDeviceState(const std::string& instanceId, EDeviceStateChange change,
                               EDeviceStateScope scope) override;

private:
    std::filesystem::path m_pciRoot;
    std::map<std::string, std::string> m_unboundDrivers; // address -> driver
};

// <pciRoot>/devices/<address>/d3cold_allowed of the maker's display functions.
class CLinuxD3ColdControl : public CReferenceCountImpl, public ID3ColdControl
{
public:
    explicit CLinuxD3ColdControl(std::filesystem::path pciRoot);
    ROMVISE_REFCOUNT_FORWARD
    int32_t EnumerateGpus(std::vector<std::string>& gpus) override;
    int32_t QueryD3Cold(const std::string& gpu, uint32_t& allowed) override;
    int32_t SetD3Cold(const std::string& gpu, bool allowed) override;

private:
    std::filesystem::path AttributeOf(const std::string& gpu) const;

    std::filesystem::path m_pciRoot;
};

// No sound device is driven: the samples are dropped.
class CLinuxToneOutput : public CReferenceCountImpl, public IToneOutput
{
public:
    ROMVISE_REFCOUNT_FORWARD
    void Play(std::span<const uint8_t>, uint32_t) override {}
};

// The description the device list gives a PCI function: vendor, class and
// device ID, "Korvan" for the maker's functions.
std::string DescribePciFunction(uint16_t vendorId, uint16_t deviceId, uint32_t classCode);
