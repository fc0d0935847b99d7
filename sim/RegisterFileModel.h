#pragma once
// The plainest device model: one BAR of a function holds registers that read
// back what was written (zero until then), with initial values. It stands in
// for a device whose registers have no side effects, and shows the shape of a
// model: claim in Attach, serve the accesses, count them.

#include "sim/ISimDevice.h"

#include <cstdint>
#include <map>
#include <string>

class CSimRegisterFile : public ISimDevice
{
public:
    CSimRegisterFile(std::string name, CSimPciFunction& function, int bar = 0);

    void SetRegister32(uint64_t offset, uint32_t value);
    uint32_t Register32(uint64_t offset) const;

    std::string Name() const override { return m_name; }
    void Attach(CSimMachine& machine) override;
    uint32_t ReadBar(CSimPciFunction& function, int bar, uint64_t offset, unsigned width) override;
    void WriteBar(CSimPciFunction& function, int bar, uint64_t offset, unsigned width,
                  uint32_t value) override;

private:
    std::string m_name;
    CSimPciFunction& m_function;
    int m_bar;
    std::map<uint64_t, uint8_t> m_bytes;
};
