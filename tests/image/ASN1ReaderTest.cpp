// The DER reader: nesting, lengths and children that run out of their
// bounds, object identifiers and integers.

#include "image/ASN1Reader.h"
#include "tests/image/NestedDer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

TEST(UEFIDriverReaderTest, DerReaderRefusesWhatRunsOutOfItsBounds)
{
    struct Case
    {
        const char* name;
        std::vector<uint8_t> der;
        bool parsed;
    };
    const std::vector<Case> cases = {
        {"nesting at the limit", Nested(ASN1Handler::kMaxDepth), true},
        {"nesting one deeper", Nested(ASN1Handler::kMaxDepth + 1), false},
        {"long-form length", {0x04, 0x82, 0x00, 0x02, 'a', 'b'}, true},
        {"indefinite length", {0x30, 0x80, 0x00, 0x00}, false},
        {"five length bytes", {0x04, 0x85, 0, 0, 0, 0, 1, 'a'}, false},
        {"length past the data", {0x04, 0x05, 'a'}, false},
        {"child past its parent", {0x30, 0x02, 0x04, 0x05, 'a', 'b', 'c', 'd', 'e'}, false},
        {"no bytes", {}, false},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        const ASN1Handler handler(c.der, 0, static_cast<uint32_t>(c.der.size()));
        EXPECT_EQ(handler.GetRoot() != nullptr, c.parsed);
    }

    const std::vector<uint8_t> oid = {0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02};
    EXPECT_EQ(ASN1Handler(oid, 0, 11).GetRoot()->GetOIDText(), "1.2.840.113549.1.7.2");
    const std::vector<uint8_t> longArc = {0x06, 0x07, 0x55, 0x04, 0x81, 0x82, 0x83, 0x84, 0x05};
    EXPECT_EQ(ASN1Handler(longArc, 0, 9).GetRoot()->GetOIDText(), "2.5.4");
    const std::vector<uint8_t> integer = {0x02, 0x02, 0x01, 0x00};
    EXPECT_EQ(ASN1Handler(integer, 0, 4).GetRoot()->GetIntegerValue(), 0x100u);
}
