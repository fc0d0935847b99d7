// Fuzzes the board MCU's firmware files: the search for the header, the
// header's checks, the CRC over the image the header sizes, the ID
// comparison and the header listing, from bytes as from a file, and the
// check of a header as the MCU would report it. Any input must end in an
// accepted or refused image, never in a read outside the file.
//
// The seeds are firmware files of the test kit's builder: whole, with the
// header behind other bytes, and with sizes that disagree with the file.
//
// fuzz-link: romvise_testkit_machine
// fuzz-seconds: 4

#include "fuzz/FuzzSeeds.h"
#include "hw/mcu/GmacAccessorImpl.h"
#include "testkit/machine/AdapterMachine.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace
{
// An accessor with no I2C master: only the file and header checks run.
CRefPtr<CGmacAccessorImpl> Accessor()
{
    return CRefPtr<CGmacAccessorImpl>(new CGmacAccessorImpl(nullptr, nullptr, 0x7E2B, 0x0C00, 1, 0x98));
}

void ReadFromFile(const uint8_t* data, size_t size)
{
    const int fd = memfd_create("mcu.bin", 0);
    if (fd < 0)
    {
        return;
    }
    if (size == 0 || write(fd, data, size) == static_cast<ssize_t>(size))
    {
        Accessor()->PrintImageHeader("/proc/self/fd/" + std::to_string(fd), nullptr, false);
    }
    close(fd);
}
} // namespace

std::vector<FuzzSeed> FuzzSeeds()
{
    const std::vector<uint8_t> firmware =
        MakeMcuFirmware(0x7E2B, 0x0C00, 1500, "KRVN", "S100", "B1", "07");
    std::vector<uint8_t> behind(16, 0xEE);
    behind.insert(behind.end(), firmware.begin(), firmware.end());
    std::vector<uint8_t> cut(firmware.begin(), firmware.begin() + 700);
    return {
        {"firmware", firmware},
        {"firmware-other-ids", MakeMcuFirmware(0x10DE, 0x1234, 1200)},
        {"header-behind-other-bytes", behind},
        {"cut-firmware", cut},
    };
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    CLog log; // no sinks: the checks' reports go nowhere
    CRefPtr<CGmacAccessorImpl> accessor = Accessor();
    if (accessor->LoadImage(std::vector<uint8_t>(data, data + size)))
    {
        accessor->CheckImageIds(&log);
        accessor->GetSignature();
        accessor->GetAppVersion();
        std::vector<uint8_t> padded(data, data + size);
        accessor->PadToPage(padded);
    }
    GmacImageHeader header{};
    if (size > 0)
    {
        std::memcpy(header.data(), data, std::min(size, header.size()));
    }
    accessor->ValidateHeader(header, &log);
    ReadFromFile(data, size);
    return 0;
}
