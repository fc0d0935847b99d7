#pragma once
// One PCI function of the simulated machine: 4 KiB of configuration space
// with per-bit read-write and write-one-to-clear masks (every other bit is
// read-only), BARs that size the standard way, bridge bus numbers, and
// capability lists. A device model attached to the function serves its BARs
// and may take part in its configuration accesses.

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

class ISimDevice;

enum class ESimBarKind
{
    Memory32,
    Memory64,
    Io,
};

struct SimBar
{
    uint64_t size = 0; // a power of two; 0 leaves the BAR unimplemented
    ESimBarKind kind = ESimBarKind::Memory32;
    bool prefetchable = false;
    uint64_t address = 0;
};

class CSimPciFunction
{
public:
    static constexpr uint32_t kConfigSize = 0x1000;
    static constexpr int kBarCount = 6;

    CSimPciFunction(uint8_t bus, uint8_t device, uint8_t function);

    uint8_t Bus() const { return m_bus; }
    uint8_t Device() const { return m_device; }
    uint8_t Function() const { return m_function; }

    // Building: stores bytes and masks directly.
    void Store(uint32_t offset, unsigned width, uint32_t value);
    uint32_t Stored(uint32_t offset, unsigned width) const;
    void SetWritableMask(uint32_t offset, unsigned width, uint32_t mask);
    void SetWriteOneToClearMask(uint32_t offset, unsigned width, uint32_t mask);

    void SetIds(uint16_t vendorId, uint16_t deviceId, uint32_t classCode, uint8_t revision);
    void SetSubsystem(uint16_t vendorId, uint16_t deviceId);
    // Type 1 header with the bus numbers; they are writable as on hardware.
    void MakeBridge(uint8_t primary, uint8_t secondary, uint8_t subordinate);
    bool IsBridge() const;
    uint8_t SecondaryBus() const;
    uint8_t SubordinateBus() const;
    // A 64-bit BAR takes the next BAR register as its upper half.
    void SetBar(int index, const SimBar& bar);
    const SimBar& Bar(int index) const { return m_bars.at(static_cast<size_t>(index)); }
    // Where the BAR decodes now: its register's address bits.
    uint64_t BarAddress(int index) const;
    bool MemoryDecodingEnabled() const;
    // Appends a capability (ID, next pointer, then body) to the list at 0x34;
    // returns its offset.
    uint8_t AddCapability(uint8_t id, const std::vector<uint8_t>& body);
    // Appends an extended capability from 0x100; returns its offset.
    uint16_t AddExtendedCapability(uint16_t id, uint8_t version, const std::vector<uint8_t>& body);
    // A PCI Express capability whose link capabilities carry the port number.
    void SetPortNumber(uint8_t port);
    std::optional<uint8_t> PortNumber() const { return m_portNumber; }

    // The BAR and offset that hold a memory access, when decoding is on.
    std::optional<std::pair<int, uint64_t>> DecodeMemory(uint64_t address, unsigned width) const;

    // Accesses as the bus makes them: through the attached model, then the
    // masks.
    uint32_t ConfigRead(uint32_t offset, unsigned width);
    void ConfigWrite(uint32_t offset, unsigned width, uint32_t value);

    void AttachModel(ISimDevice* model)
    {
        m_model = model;
        NoteChange();
    }
    ISimDevice* Model() const { return m_model; }

    // True when one of the memory BARs before `barLimit` that decode now could
    // hold an access inside [base, base + size).
    bool DecodesInside(uint64_t base, uint64_t size, int barLimit) const;

    // A counter this function advances whenever its header, BARs or model
    // change, so that the bus can tell when an address it decoded before may
    // decode differently now.
    void SetChangeCounter(uint64_t* counter) { m_changeCounter = counter; }

private:
    int BarRegisterCount() const;
    uint32_t HeaderDword(uint32_t offset) const;
    uint64_t DecodedBarAddress(const SimBar& bar, uint32_t offset) const;
    void NoteChange()
    {
        if (m_changeCounter)
        {
            ++*m_changeCounter;
        }
    }
    void ApplyBarMasks(int index);

    uint8_t m_bus;
    uint8_t m_device;
    uint8_t m_function;
    std::array<uint8_t, kConfigSize> m_config{};
    std::array<uint8_t, kConfigSize> m_writable{};
    std::array<uint8_t, kConfigSize> m_writeOneToClear{};
    std::array<SimBar, 6> m_bars{};
    uint8_t m_lastCapability = 0;
    uint32_t m_nextCapability = 0x40;
    uint16_t m_lastExtendedCapability = 0;
    uint32_t m_nextExtendedCapability = 0x100;
    std::optional<uint8_t> m_portNumber;
    ISimDevice* m_model = nullptr;
    uint64_t* m_changeCounter = nullptr;
};
