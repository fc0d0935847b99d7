// makefirmware: writes a sample GPU firmware image for the simulated machine.

#include "ToolArguments.h"
#include "testkit/image/GpuImageBuilder.h"

#include <fstream>
#include <iostream>

namespace
{
const char kUsage[] =
    "Usage: makefirmware [--device-id HEX] [--subsystem VENDOR:DEVICE] [--board-id HEX]\n"
    "                    [--version HEX] [--size HEX] OUTPUT\n"
    "Writes a Korvan GPU firmware image to OUTPUT, made the way the image model reads it\n"
    "(one x86 PCI expansion-ROM block with its hardware data area and its information\n"
    "tokens, checksums fixed). Defaults: device 0800, subsystem 7E2B:0001, board 0201,\n"
    "version 86041B00 (shown as 86.04.1B.00), size 10000 bytes.\n"
    "Make an older and a newer version, put the older one in a machine (makemachine\n"
    "--help) and stamp the newer one into a copy of romuvise (romstamp --help).";

int Make(const ToolArguments& arguments)
{
    if (arguments.plain.size() != 1)
    {
        throw std::runtime_error("expected one OUTPUT file");
    }
    const uint16_t deviceId =
        static_cast<uint16_t>(ParseToolNumber(ToolOption(arguments, "device-id", "0800"), 0xFFFF));
    const std::string subsystem = ToolOption(arguments, "subsystem", "7E2B:0001");
    const size_t colon = subsystem.find(':');
    if (colon == std::string::npos)
    {
        throw std::runtime_error("invalid subsystem (VENDOR:DEVICE): " + subsystem);
    }
    const uint16_t subsystemVendor =
        static_cast<uint16_t>(ParseToolNumber(subsystem.substr(0, colon), 0xFFFF));
    const uint16_t subsystemDevice =
        static_cast<uint16_t>(ParseToolNumber(subsystem.substr(colon + 1), 0xFFFF));
    const uint32_t size = ParseToolNumber(ToolOption(arguments, "size", "10000"), 0x200000);
    if (size < 0x1000 || size % 512 != 0)
    {
        throw std::runtime_error("the size must be a multiple of 200 (hex) of at least 1000");
    }

    testkit::InfoToken info;
    info.boardId =
        static_cast<uint16_t>(ParseToolNumber(ToolOption(arguments, "board-id", "0201"), 0xFFFF));
    info.version = ParseToolNumber(ToolOption(arguments, "version", "86041B00"), 0xFFFFFFFF);
    testkit::CGpuImageBuilder builder;
    builder.Block(testkit::CGpuImageBuilder::kX86, size)
        .DeviceId(deviceId)
        .HardwareDataArea(subsystemVendor, subsystemDevice)
        .ModificationDate("12/10/26");
    builder.Info(info).Version(info.version, 2);
    const std::vector<uint8_t> bytes = builder.Build();

    std::ofstream out(arguments.plain[0], std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out)
    {
        throw std::runtime_error("cannot write " + arguments.plain[0]);
    }
    return 0;
}
} // namespace

int main(int argc, char** argv)
{
    return RunTool("makefirmware", kUsage, argc, argv, Make);
}
