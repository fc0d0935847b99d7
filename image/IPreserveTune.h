#pragma once
// Reads and changes the preserved registers and data blocks of a new GPU image
// before it is written, for the adapter whose RAM strap it was made with.

#include "core/RefCount.h"

#include <cstdint>

class CLog;
class IDisplayAdapter;
class IROMImage;

// A change to one preserved register: value placed at bits lowest..highest
// (0xFF in either: the whole register). Operation 3 adds under the mask, 4
// subtracts, any other sets the bits.
struct PreservedRegisterTune
{
    uint32_t registerAddress = 0;
    uint32_t value = 0;
    uint8_t lowestBit = 0xFF;
    uint8_t highestBit = 0xFF;
    uint32_t operation = 0;
};

// A preserved data block by its ID; FindData fills in where it lies.
// TuneData writes size bytes.
struct PreservedDataTune
{
    uint8_t dataId = 0;
    uint32_t offset = 0;
    uint32_t size = 0;
};

class IPreserveTune : public IReferenceCount
{
public:
    // For the adapter being updated: its RAM strap is bits 2-5 of its strap
    // word 0.
    static CRefPtr<IPreserveTune> Create(IDisplayAdapter* adapter);
    // The same for an adapter whose strap word 0 is given.
    static CRefPtr<IPreserveTune> CreateForStraps(uint32_t strapWord0);

    // The smallest range offset of the table, the table itself for an old
    // table, -1 without one.
    virtual int32_t GetLowestPreservedOffset(IROMImage* image) = 0;
    virtual bool FindRegister(IROMImage* image, uint32_t registerAddress, uint32_t& value,
                              CLog* log) = 0;
    // Changes the register's preserved value and fixes the first block's
    // checksum; a failure leaves the image unchanged.
    virtual bool TuneRegister(IROMImage* image, const PreservedRegisterTune& tune, CLog* log) = 0;
    virtual bool FindData(IROMImage* image, PreservedDataTune& tune, CLog* log) = 0;
    // Writes tune.size bytes of the source over the data block; a failure
    // leaves the image unchanged.
    virtual bool TuneData(IROMImage* image, PreservedDataTune& tune, const uint8_t* source,
                          CLog* log) = 0;

protected:
    ~IPreserveTune() = default;
};
