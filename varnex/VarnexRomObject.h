#pragma once
// ROM: the directory at the start of a raw Varnex image. Each used entry names
// an object by tag and gives the offset of its header in the image. Subversion
// below 2 has 10 entries (64 bytes), 2 and above 19 entries (112 bytes).

#include "varnex/VarnexCalendar.h"
#include "varnex/VarnexObject.h"

#include <vector>

struct VarnexDirectoryEntry
{
    VarnexTag tag;
    uint16_t offset = 0;

    bool operator==(const VarnexDirectoryEntry&) const = default;
};

class CVarnexImageRomObject : public CVarnexImageObject
{
public:
    static constexpr std::string_view kFormat10 = "3s2bwbw4b3sw3sw3sw3sw3sw3sw3sw3sw3sw3sw";
    static constexpr std::string_view kFormat19 =
        "3s2bwbw4b3sw3sw3sw3sw3sw3sw3sw3sw3sw3sw3sw3sw3sw3sw3sw3sw3sw3sw3sw3b";

    CVarnexImageRomObject(std::span<const uint8_t> image, uint16_t offset);

    // Appends, in entry order, every entry whose tag is neither zero nor FF FF FF.
    void ListEntries(std::vector<VarnexDirectoryEntry>& entries) const;
    // Enters every object of the list other than directories and unnamed ones,
    // back to back from the first offset after the directory, and stamps the
    // date. False, changing nothing, when the entries cannot hold them all or
    // the offsets would pass 0xFFFF.
    bool RebuildDirectory(std::span<CVarnexImageObject* const> objects, const VarnexDate& date);

    // 10 or 19.
    uint32_t GetEntryCapacity() const;
    // Day, month and year of the last rebuild.
    VarnexDate GetDate() const;

protected:
    bool IsAcceptableLayout(const VarnexObjectHeader& header) const override;

private:
    std::string_view GetFormat() const;
};
