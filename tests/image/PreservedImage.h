#pragma once
// GPU firmware whose preservation table lists chosen entries, for the tests
// of the table's readers and of the tuning.

#include "image/IROMImage.h"
#include "testkit/image/GpuImageBuilder.h"

#include <cstdint>
#include <utility>
#include <vector>

// A first block whose preservation table lists the given entries; each entry
// whose bytes are given has them placed and its offset and length set.
struct PreservedImage
{
    testkit::CGpuImageBuilder builder;
    std::vector<uint32_t> placed;
    uint32_t table = 0;

    PreservedImage(uint8_t version,
                   std::vector<std::pair<testkit::PreservationEntry, std::vector<uint8_t>>> entries,
                   uint8_t controlIndex = 0, bool ramConfigToken = false)
    {
        builder.Block(testkit::CGpuImageBuilder::kX86, 0x10000);
        std::vector<testkit::PreservationEntry> list;
        for (auto& [entry, bytes] : entries)
        {
            testkit::PreservationEntry e = entry;
            if (!bytes.empty())
            {
                const uint32_t at = builder.Place(bytes);
                placed.push_back(at);
                e.offset = static_cast<uint16_t>(at);
                e.length = static_cast<uint16_t>(bytes.size());
            }
            list.push_back(e);
        }
        if (ramConfigToken)
        {
            // Version 1 memory token: RAM configuration count 3 at +2, strap
            // table at +3 mapping strap s to configuration s.
            const uint32_t strapTable =
                builder.Place({0, 1, 2, 0, 1, 2, 0, 1, 2, 0, 1, 2, 0, 1, 2, 0});
            builder.Token(
                'M', 1,
                {0, 0, 3, static_cast<uint8_t>(strapTable), static_cast<uint8_t>(strapTable >> 8)});
        }
        table = builder.PreservationTable(version, list, controlIndex);
        testkit::InfoToken info;
        info.preservationTable = static_cast<uint16_t>(table);
        builder.Info(info);
    }
    CRefPtr<IROMImage> Build() const { return builder.BuildImage(); }
};
