#pragma once
// What the simulated machine counts. Device models add their own counters
// (SPI bytes, erase and program operations, mailbox commands) by name.

#include <cstdint>
#include <map>
#include <string>

struct SimCounters
{
    uint64_t registerReads = 0; // device memory: BARs, ECAM, claimed ranges
    uint64_t registerWrites = 0;
    uint64_t portReads = 0;
    uint64_t portWrites = 0;
    uint64_t configReads = 0; // configuration space, either mechanism
    uint64_t configWrites = 0;
    uint64_t mapRequests = 0;
    uint64_t unmapRequests = 0;
    std::map<std::string, uint64_t> named;

    void Add(const std::string& name, uint64_t count = 1) { named[name] += count; }
    uint64_t Get(const std::string& name) const
    {
        const auto found = named.find(name);
        return found == named.end() ? 0 : found->second;
    }
};
