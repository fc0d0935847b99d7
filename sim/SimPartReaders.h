#pragma once
// Readers for the parts a device model section of a machine file may hold:
// EEPROM chips and I2C slaves. A part kind joins by registering its reader
// (from the Register...Model function of its file, listed in
// sim/BuiltinModels.cpp).
//
//   "eeprom": {"kind": "plain", "size": "0x100000", "file": "board.rom",
//              "fill": "0xFF", "image": "firmware.rom"}
//       plain: contents only; "file" keeps them on disk (loaded when it
//       exists), "image" copies a file's bytes in from offset 0 at load.
//   "slaves": [{"kind": "display", "name": "edid", "address": "0xA0",
//               "bytes": [0, 255, ...], "refuse_from": 3,
//               "hang_after_address": false},
//              {"kind": "regulator", "address": "0xE0",
//               "registers": {"0x8C": 14, "0x91": 2, "0xD4": "0x33"}}]

#include "sim/MachineFile.h"
#include "sim/SimEepromChip.h"
#include "sim/SimI2CBus.h"

#include <functional>
#include <memory>
#include <string>

using SimEepromChipReader = std::function<std::shared_ptr<ISimEepromChip>(
    const nlohmann::json& section, SimLoadContext& context, const std::string& defaultName)>;
using SimI2CSlaveReader = std::function<std::shared_ptr<ISimI2CSlave>(const nlohmann::json& section,
                                                                      SimLoadContext& context)>;

void RegisterSimEepromChipKind(const std::string& kind, SimEepromChipReader reader);
void RegisterSimI2CSlaveKind(const std::string& kind, SimI2CSlaveReader reader);

// Reads an "eeprom" or a slave section through the reader of its "kind";
// std::runtime_error for a kind no reader has.
std::shared_ptr<ISimEepromChip> ReadSimEepromChip(const nlohmann::json& section,
                                                  SimLoadContext& context,
                                                  const std::string& defaultName);
std::shared_ptr<ISimI2CSlave> ReadSimI2CSlave(const nlohmann::json& section,
                                              SimLoadContext& context);

// The contents of a "plain" EEPROM section (size, file, fill, image); other
// chip kinds use it for their contents too.
std::shared_ptr<CSimChipStore> ReadSimChipContents(const nlohmann::json& section,
                                                   SimLoadContext& context);
