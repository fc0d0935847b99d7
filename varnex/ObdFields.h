#pragma once
// The named fields of the OBD object's 120-byte body, in the order every
// operation visits them: read as text (one character a byte, zero bytes
// included) and written from text, with each field's longest text.

#include "varnex/VarnexObject.h"

#include <string>
#include <string_view>
#include <vector>

// The tag of the board-data object in a Varnex store.
inline const VarnexTag kObdTag("OBD");

// The length of the body every field lies in.
inline constexpr size_t kObdBodyLength = 120;

struct ObdField
{
    const char* name;
    size_t offset;
    size_t length;
    const char* tooBigText;
    // The build date: a 32-bit value read as hexadecimal digits.
    bool isDate = false;
};

const std::vector<ObdField>& ObdFields();

// The field of that name; std::invalid_argument for a name no field has.
const ObdField& FindObdField(std::string_view name);

std::string GetObdField(const CVarnexImageObject& obd, const ObdField& field);
// False, after the field's error line on standard output and without a
// change, when the text is longer than the field takes.
bool SetObdField(CVarnexImageObject& obd, const ObdField& field, const std::string& text);
