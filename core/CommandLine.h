#pragma once
// The command line, parsed once against the application's option table and
// queried by long option name from anywhere through ICommandLine::GetInstance.

#include "core/RefCount.h"

#include <cstdint>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

// One row of an option table.
struct OptionDescriptor
{
    const char* longName; // the name after "--" and the key of every query
    int shortChar;        // the letter after "-" or "/"; a blank means none
    int maxValues;        // largest number of values one occurrence takes
    const char* argHelp;  // usage column after the letter
    const char* helpText; // empty keeps the option out of the usage screen
};

// A PCI address; a component not given is -1.
struct PciAddress
{
    int segment;
    int bus;
    int device;
    int function;
};

// A register access: REG.W to read, REG.W=VALUE[:MASK] to write.
struct RegisterSpec
{
    uint16_t offset;
    uint16_t width; // bytes: 1, 2 or 4
    int32_t access; // 0 option absent, 1 write, -1 read
    uint32_t value;
    uint32_t mask;
};

// A preservation-tuning request: a register field edit or a data block.
struct TuneSpec
{
    enum Kind : int32_t
    {
        Absent = 0,
        Assign = 1,
        Read = 2,
        Add = 3,
        Subtract = 4,
        DataIdOnly = 5,
        DataIdWithData = 6,
    };
    uint32_t reg;
    uint32_t value;
    uint8_t lsb;
    uint8_t msb;
    uint8_t id;
    uint16_t dataLength;
    int32_t kind;
};

using OptionMap = std::multimap<std::string, std::vector<std::string>>;

// The whole text as a number of the base (10 or 16; "0x" may lead a
// hexadecimal one) no larger than limit; nothing for an empty text, a sign,
// any other character or a larger value.
std::optional<uint32_t> ReadWholeNumber(const std::string& text, int base, uint32_t limit);

class ICommandLine : public IReferenceCount
{
public:
    // Parses argv[1..] against the table and replaces any earlier instance in
    // the process-wide holder; returns the held (borrowed) pointer.
    static ICommandLine* Create(int rowCount, const OptionDescriptor* table, int argc, char** argv);
    // The held instance; throws std::runtime_error when there is none.
    static ICommandLine* GetInstance();

    virtual bool HasError() = 0;
    // The argument, as typed, that stopped the parse; empty when none did.
    virtual const std::string& GetUnknownWord() = 0;
    virtual bool IsSet(std::string name) = 0;
    virtual std::string GetValue(std::string name, int occurrence, int index) = 0;
    // Throws std::runtime_error for a component out of range.
    virtual void GetPCIAddress(std::string name, int occurrence, int index,
                               PciAddress* address) = 0;
    virtual bool GetRegisterSpec(std::string name, int occurrence, int index,
                                 RegisterSpec* spec) = 0;
    virtual bool GetRegisterFieldSpec(std::string name, int occurrence, int index,
                                      TuneSpec* spec) = 0;
    virtual bool GetValuePair(std::string name, int occurrence, int index, TuneSpec* spec) = 0;
    // Stores the occurrence's data values into out (spec->dataLength bytes).
    virtual bool GetHexList(std::string name, int occurrence, const TuneSpec* spec, void* out) = 0;
    virtual uint32_t GetValueDec(std::string name, int occurrence, int index) = 0;
    virtual uint32_t GetValueHex(std::string name, int occurrence, int index) = 0;
    virtual int GetOccurrenceCount(std::string name) = 0;
    virtual bool RemoveOption(std::string name, int occurrence) = 0;
    virtual void AddOption(std::string name, std::vector<std::string> values) = 0;
    virtual int GetOptionCount() = 0;
    virtual const std::vector<std::string>& GetPlainArguments() = 0;
    virtual const OptionMap& GetOptions() = 0;
    // Returns true when the user quit the paged listing.
    virtual bool PrintUsage(std::ostream* out, bool paginate, int linesSoFar,
                            std::string firstOption, std::string lastOption) = 0;
};
