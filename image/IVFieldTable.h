#pragma once
// VField (virtual field) tables: a register table describing how to read a
// register of an adapter (address, access width, an optional index register
// written first) and a field table naming bit ranges of those registers by a
// one-byte ID. Several field records of one ID are joined into one value, the
// first record in the most significant position.

#include "core/RefCount.h"

#include <array>
#include <cstdint>
#include <iosfwd>

class CLog;
class IDevice;

// Register record: flags (bits 5-7 type, 3-4 read width, 1-2 index-write
// width), data register address, index register address, index value; all
// little-endian.
using VFieldRegisterRecord = std::array<uint8_t, 13>;
// Field record: ID, then a word of lowest bit (0-4), highest bit (5-9) and
// register index (10-13).
using VFieldRecord = std::array<uint8_t, 3>;

class IVFieldTable : public IReferenceCount
{
public:
    static CRefPtr<IVFieldTable> Create();

    // Both tables empty, with their headers {0x10, 13, 0} and {0x10, 3, 0}.
    virtual void Clear() = 0;
    // The index of an equal record already held (the highest), else the
    // index of the appended record.
    virtual uint32_t AddRegister(const VFieldRegisterRecord& record) = 0;
    // Appends the record; returns the new field count.
    virtual uint32_t AddField(const VFieldRecord& record) = 0;
    virtual uint32_t GetRegisterCount() = 0;
    virtual uint32_t GetFieldCount() = 0;
    // A copy of the record, zeros for an index beyond the count.
    virtual VFieldRegisterRecord GetRegister(uint32_t index) = 0;
    virtual VFieldRecord GetField(uint32_t index) = 0;
    virtual bool HasField(uint8_t id) = 0;
    // Every field has a sound bit range and a register it may be read through.
    virtual bool Validate() = 0;
    virtual bool IsEmpty() = 0;
    // The value of field ID read from the device; 0 when no field has the ID.
    virtual uint32_t ReadFieldValue(IDevice* device, uint8_t id) = 0;
    // Writes both tables as bytes and lists them in the log (which may be
    // null); returns the byte count.
    virtual uint32_t WriteToStream(std::ostream& output, CLog* log) = 0;
    // Reads both tables as WriteToStream writes them and appends their
    // records. A stream that ends early is refused and changes nothing.
    virtual void ReadFromStream(std::istream& input, CLog* log) = 0;

protected:
    ~IVFieldTable() = default;
};
