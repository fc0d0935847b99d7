#pragma once
// The data that belongs to one board and not to the firmware it runs: the
// board's own 0x85 block, its IEEE 1394 GUID and the serial number in its
// Varnex store. An update carries it from the old firmware into the new one;
// a restore must not bring another board's.

#include "image/IROMImage.h"

#include <cstdint>
#include <string>
#include <vector>

// The image's first 0x85 block as it stands when it ends a chain (last-image
// marks set, checksum fixed); empty when the image has none. The image's
// offset mode must be off.
std::vector<uint8_t> BoardBlockBytes(IROMImage& image);

// Removes every 0x85 block from the image's chain. The blocks behind a
// removed block move down; a Varnex block among them is laid out again for
// its new place, so its store stays on its 4096-byte boundary. The image's
// offset mode must be off.
void RemoveBoardBlocks(IROMImage& image);

// The image carries a GUID record whose GUID was given to a board (neither
// all 0x00 nor all 0xFF bytes).
bool HasBoardGuid(IROMImage& image);

// What of the board data `adapterImage` carries differs in `saved` ("0x85
// block", "IEEE 1394 GUID", "Varnex serial number", joined by ", "); empty
// when all of it is the same in `saved`. A datum `adapterImage` lacks is not
// compared, except the 0x85 block of a GPU image: `saved` bringing one where
// the board has none differs too. An erased chip, or one left with only its
// Varnex block, holds no GPU image.
std::string BoardDataDifference(IROMImage& adapterImage, IROMImage& saved);
