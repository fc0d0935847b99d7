// The driver's request records and the kernel side's checks of each request.

#include "hw/DriverRequest.h"
#include "tests/hw/FakeTransport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <span>

using ::testing::ElementsAre;

namespace
{
TEST(DriverRequest, RecordsCarryTagAndLittleEndianFields)
{
    const auto bytes = DriverRequest{kDriverRequestTag, 0x11223344, 0x4000000}.Encode();
    EXPECT_THAT(bytes, ElementsAre('V', 'p', 'l', 'q', 0, 0, 0, 0, 0x44, 0x33, 0x22, 0x11, 0, 0, 0,
                                   0, 0, 0, 0, 4, 0, 0, 0, 0));
}

TEST(DriverRequest, LayoutsOfTheFourRequests)
{
    struct Case
    {
        uint32_t code;
        size_t input;
        size_t output;
    };
    for (const Case& c : {Case{0x81DE804F, 24, 8}, Case{0x81DE8053, 24, 8}, Case{0x81DE8057, 16, 8},
                          Case{0x81DE8063, 24, 0}})
    {
        const DriverRequestLayout* layout = FindRequestLayout(c.code);
        ASSERT_NE(layout, nullptr) << std::hex << c.code;
        EXPECT_EQ(layout->inputSize, c.input) << std::hex << c.code;
        EXPECT_EQ(layout->outputSize, c.output) << std::hex << c.code;
    }
    EXPECT_EQ(FindRequestLayout(0x81DE805B), nullptr);
}

TEST(KernelRequestHandler, RefusesMalformedRequests)
{
    CKernelRequestHandler kernel(MakeTransport());
    std::array<uint8_t, 8> output{};
    auto map = [&](uint64_t tag, uint64_t length, size_t inputSize = 24)
    {
        const auto input = DriverRequest{tag, 0x1000, length}.Encode();
        return kernel.Dispatch(kRequestMapPhysical, std::span(input).first(inputSize), output);
    };
    struct Case
    {
        const char* what;
        uint32_t status;
    };
    const Case cases[] = {
        {"well formed", map(kDriverRequestTag, 0x1000)},
        {"64 MiB", map(kDriverRequestTag, 0x4000000)},
        {"64 MiB + 1", map(kDriverRequestTag, 0x4000001)},
        {"length above 32 bits", map(kDriverRequestTag, 0x100000000ull)},
        {"zero length", map(kDriverRequestTag, 0)},
        {"other tag", map(0x716C7057, 0x1000)},
        {"tag with high bytes", map(kDriverRequestTag | 0x100000000ull, 0x1000)},
        {"short record", map(kDriverRequestTag, 0x1000, 16)},
    };
    const uint32_t expected[] = {0, 0, EINVAL, EINVAL, EINVAL, EINVAL, EINVAL, EINVAL};
    for (size_t i = 0; i < std::size(cases); ++i)
    {
        EXPECT_EQ(cases[i].status, expected[i]) << cases[i].what;
    }
    const auto input = DriverRequest{}.Encode();
    EXPECT_EQ(kernel.Dispatch(0x81DE805B, input, output), static_cast<uint32_t>(ENOTTY));
}
} // namespace
