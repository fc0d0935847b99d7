#pragma once
// The VField table held in memory.

#include "core/RefCount.h"
#include "image/IVFieldTable.h"

#include <vector>

class VFieldTableImpl : public CReferenceCountImpl, public IVFieldTable
{
public:
    ROMVISE_REFCOUNT_FORWARD

    VFieldTableImpl();

    void Clear() override;
    uint32_t AddRegister(const VFieldRegisterRecord& record) override;
    uint32_t AddField(const VFieldRecord& record) override;
    uint32_t GetRegisterCount() override { return m_registerHeader[2]; }
    uint32_t GetFieldCount() override { return m_fieldHeader[2]; }
    VFieldRegisterRecord GetRegister(uint32_t index) override;
    VFieldRecord GetField(uint32_t index) override;
    bool HasField(uint8_t id) override;
    bool Validate() override;
    bool IsEmpty() override;
    uint32_t ReadFieldValue(IDevice* device, uint8_t id) override;
    uint32_t WriteToStream(std::ostream& output, CLog* log) override;
    void ReadFromStream(std::istream& input, CLog* log) override;

    // Decoded parts of the records.
    static uint8_t RegisterType(const VFieldRegisterRecord& r) { return r[0] >> 5; }
    static uint8_t ReadWidthCode(const VFieldRegisterRecord& r) { return (r[0] >> 3) & 3; }
    static uint8_t IndexWidthCode(const VFieldRegisterRecord& r) { return (r[0] >> 1) & 3; }
    static uint32_t DataAddress(const VFieldRegisterRecord& r) { return Dword(r, 1); }
    static uint32_t IndexAddress(const VFieldRegisterRecord& r) { return Dword(r, 5); }
    static uint32_t IndexValue(const VFieldRegisterRecord& r) { return Dword(r, 9); }
    static uint8_t LowestBit(const VFieldRecord& f) { return FieldWord(f) & 0x1F; }
    static uint8_t HighestBit(const VFieldRecord& f) { return (FieldWord(f) >> 5) & 0x1F; }
    static uint8_t RegisterIndex(const VFieldRecord& f) { return (FieldWord(f) >> 10) & 0xF; }

private:
    static uint32_t Dword(const VFieldRegisterRecord& r, size_t at)
    {
        return static_cast<uint32_t>(r[at]) | static_cast<uint32_t>(r[at + 1]) << 8 |
               static_cast<uint32_t>(r[at + 2]) << 16 | static_cast<uint32_t>(r[at + 3]) << 24;
    }
    static uint16_t FieldWord(const VFieldRecord& f)
    {
        return static_cast<uint16_t>(f[1] | f[2] << 8);
    }

    virtual uint32_t ReadRegister(IDevice* device, uint8_t widthCode, uint32_t address);
    virtual void WriteRegister(IDevice* device, uint8_t widthCode, uint32_t address,
                               uint32_t value);
    virtual uint32_t ReadField(IDevice* device, uint32_t registerIndex);

    void PrintTables(CLog* log, const std::vector<VFieldRegisterRecord>& registers,
                     const std::vector<VFieldRecord>& fields, const std::array<uint8_t, 3>& rh,
                     const std::array<uint8_t, 3>& fh);

    std::array<uint8_t, 3> m_registerHeader{};
    std::vector<VFieldRegisterRecord> m_registers;
    std::array<uint8_t, 3> m_fieldHeader{};
    std::vector<VFieldRecord> m_fields;
};
