#pragma once
// The driver transport of a simulated machine: maps hand out linear addresses
// that stand for physical ones, and every access goes to the machine's bus.

#include "hw/DriverTransportBase.h"

#include <memory>

class CSimMachine;

class CSimDriverTransport : public CDriverTransportBase
{
public:
    // Linear addresses are the physical ones moved above any real mapping.
    static constexpr uint64_t kLinearOffset = 0x100000000000ull;

    explicit CSimDriverTransport(std::shared_ptr<CSimMachine> machine);

    CSimMachine& Machine() { return *m_machine; }

    uint32_t MapPhysical(uint64_t physical, uint64_t length, uint64_t& linear) override;
    uint32_t UnmapPhysical(uint64_t linear, uint64_t length) override;
    uint32_t ReadPort32(uint32_t port, uint32_t& value) override;
    uint32_t WritePort32(uint32_t port, uint32_t value) override;
    // From the machine's BAR table (segment 0 only).
    uint32_t QueryBarSize(uint16_t segment, uint8_t bus, uint8_t device, uint8_t function,
                          uint32_t bar, uint64_t& size) override;

    uint8_t ReadMemory8(uint64_t linear) override;
    uint16_t ReadMemory16(uint64_t linear) override;
    uint32_t ReadMemory32(uint64_t linear) override;
    void WriteMemory8(uint64_t linear, uint8_t value) override;
    void WriteMemory16(uint64_t linear, uint16_t value) override;
    void WriteMemory32(uint64_t linear, uint32_t value) override;

protected:
    uint32_t OpenAccess() override { return 0; }
    void CloseAccess() override {}

private:
    std::shared_ptr<CSimMachine> m_machine;
};
