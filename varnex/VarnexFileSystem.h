#pragma once
// The small log-structured flash file system that holds a Varnex image with
// one file per object, named by the object's tag.
//
// On the medium: 4096-byte blocks of 128-byte slots. Slot 0 of block 0 is the
// superblock ("JFFS", version, total size). Every other slot is erased (0xFF)
// or a node: a 16-byte header (flags, tag, file offset, length, sequence,
// checksum) and 112 data bytes. Flags: bit 0 erased, bit 1 live, bit 2
// read-write file, bit 3 not checksummed and patchable in place. A node is
// retired by clearing bit 1; a rewritten node goes elsewhere with its sequence
// raised by one, and the higher sequence wins at mount.
//
// The module works in place on a caller's buffer through a context: create,
// mount, then list, read or write, then close. Every access stays inside the
// buffer: a store whose records point outside it fails with kVarnexFsCorrupt.

#include "core/Log.h"
#include "varnex/VarnexObject.h"

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

inline constexpr uint32_t kVarnexFsNodeSize = 128;
inline constexpr uint32_t kVarnexFsNodeHeaderSize = 16;
inline constexpr uint32_t kVarnexFsNodeDataSize = 112;
inline constexpr uint32_t kVarnexFsBlockSize = 4096;
inline constexpr uint32_t kVarnexFsMaxFiles = 20;
inline constexpr uint32_t kVarnexFsVersion = 2;
inline constexpr uint32_t kVarnexFsReadOnlySize = 20480;
inline constexpr uint32_t kVarnexFsReadWriteSize = 32768;
inline constexpr std::string_view kVarnexFsNodeHeaderFormat = "b3sw10b";

inline constexpr uint8_t kVarnexFsFlagErased = 0x01;
inline constexpr uint8_t kVarnexFsFlagLive = 0x02;
inline constexpr uint8_t kVarnexFsFlagReadWrite = 0x04;
inline constexpr uint8_t kVarnexFsFlagUnchecked = 0x08;

// Result codes of every file-system operation.
enum VarnexFsResult : int
{
    kVarnexFsOk = 0,
    kVarnexFsNoMemory = 1,
    kVarnexFsBadArgument = 2, // missing pointer, range beyond a file, no covering node, no room
    kVarnexFsCorrupt = 3,     // inconsistent records, misaligned slots, no erased block left
    kVarnexFsNoFile = 4,      // also: the builder's "content does not fit"
    kVarnexFsNotAllowed = 5,  // version above 2, read-only file, not writable
    kVarnexFsChecksumError = 6,
    kVarnexFsTooManyFiles = -1,
};
inline constexpr int kVarnexFsDoesNotFit = 4;

enum VarnexFsFileKind : uint32_t
{
    kVarnexFsReadOnlyFile = 1,
    kVarnexFsReadWriteFile = 2,
};

struct VarnexFsSource
{
    uint8_t* data; // not owned
    uint32_t length;
};

struct VarnexFsNodeEntry;
struct VarnexFsFile;

// One written read-write slot of a block (read-only slots have one only while
// their node is live).
struct VarnexFsNodeRef
{
    uint32_t offset = 0;                // of the node in the image
    VarnexFsNodeEntry* entry = nullptr; // none when the slot holds no live node
};

enum VarnexFsBlockListId
{
    kVarnexFsReadOnlyBlocks = 0,
    kVarnexFsCleanBlocks = 1,
    kVarnexFsDirtyBlocks = 2,
    kVarnexFsErasedBlocks = 3,
    kVarnexFsNoBlockList = 4,
};

struct VarnexFsBlock
{
    uint32_t start = 0;
    uint32_t readOnlyBytes = 0;
    uint32_t liveBytes = 0;
    uint32_t obsoleteBytes = 0;
    uint32_t freeBytes = kVarnexFsBlockSize;
    // The block's read-write slots in image order; the block owns them.
    std::vector<std::unique_ptr<VarnexFsNodeRef>> nodeRefs;
    VarnexFsBlockListId list = kVarnexFsNoBlockList;
};

// A live node of a file.
struct VarnexFsNodeEntry
{
    VarnexFsFile* file = nullptr;
    VarnexFsNodeRef* ref = nullptr;
    VarnexFsBlock* block = nullptr;
    std::array<uint8_t, kVarnexFsNodeHeaderSize> header{}; // as read at parse
    std::unique_ptr<VarnexFsNodeRef> ownedRef;             // read-only nodes own their slot

    uint8_t Flags() const { return header[0]; }
    uint16_t Offset() const { return static_cast<uint16_t>(header[4] | (header[5] << 8)); }
    uint8_t Length() const { return header[6]; }
    uint8_t Sequence() const { return header[7]; }
};

struct VarnexFsFile
{
    std::array<uint8_t, 3> tag{};
    uint16_t size = 0; // the sum of its nodes' lengths
    uint32_t kind = kVarnexFsReadOnlyFile;
    // Oldest-parsed first; the newest is at the back and is searched first.
    std::vector<std::unique_ptr<VarnexFsNodeEntry>> nodes;
};

struct VarnexFsContext;

struct VarnexFsOperations
{
    int (*Write)(VarnexFsContext*, const uint8_t* name, uint16_t offset, uint16_t count,
                 const uint8_t* source);
    int (*Read)(VarnexFsContext*, const uint8_t* name, uint16_t offset, uint16_t count,
                uint8_t* buffer);
    int (*GetSize)(VarnexFsContext*, const uint8_t* name, uint16_t* size);
    int (*GetKind)(VarnexFsContext*, const uint8_t* name, uint32_t* kind);
    int (*List)(VarnexFsContext*, uint8_t* names, uint32_t* count);
    int (*SetWritable)(VarnexFsContext*, bool writable);
    int (*NeedsReclaim)(VarnexFsContext*, bool* needed);
    int (*Reclaim)(VarnexFsContext*);
    int (*Mount)(VarnexFsContext*);
    int (*Close)(VarnexFsContext*);
};

struct VarnexFsContext
{
    VarnexFsSource* source = nullptr;
    uint32_t version = 0;
    uint32_t fileSystemSize = 0; // set by mount
    std::array<std::unique_ptr<VarnexFsFile>, kVarnexFsMaxFiles> files;
    uint32_t blockSize = kVarnexFsBlockSize;
    std::vector<std::unique_ptr<VarnexFsBlock>> blocks; // every block record
    std::array<std::vector<VarnexFsBlock*>, 4> lists;   // by VarnexFsBlockListId
    uint32_t reserve = 2; // erased blocks below which a relocation reclaims first
    bool writable = true;
    VarnexFsBlock* writeBlock = nullptr;
    bool mounted = false;
    VarnexFsOperations operations{};
};

// A new context on the source (which must outlive it); none without memory.
VarnexFsContext* CreateVarnexFileSystem(VarnexFsSource* source, uint32_t version);
int VarnexFsMount(VarnexFsContext* context);
// Up to 20 names of 3 bytes each, up to the first empty slot or file 00 00 00.
int VarnexFsList(VarnexFsContext* context, uint8_t* names, uint32_t* count);
int VarnexFsGetSize(VarnexFsContext* context, const uint8_t* name, uint16_t* size);
int VarnexFsGetKind(VarnexFsContext* context, const uint8_t* name, uint32_t* kind);
int VarnexFsRead(VarnexFsContext* context, const uint8_t* name, uint16_t offset, uint16_t count,
                 uint8_t* buffer);
int VarnexFsSetWritable(VarnexFsContext* context, bool writable);
// Releases the context; the source is not written.
int VarnexFsClose(VarnexFsContext* context);
// Writes bytes of a read-write file: in place where that only clears bits of a
// node exempt from checksums, else as a new copy of the node elsewhere.
int VarnexFsWrite(VarnexFsContext* context, const uint8_t* name, uint16_t offset, uint16_t count,
                  const uint8_t* source);
// True when at most the reserve of erased blocks is left.
int VarnexFsNeedsReclaim(VarnexFsContext* context, bool* needed);
// Moves the live nodes of the first dirty block (never the current write
// block) elsewhere and erases it.
int VarnexFsReclaim(VarnexFsContext* context);

// The 8-bit sum of bytes[first, end) without bytes[first + skip], negated.
uint8_t VarnexFsChecksum(std::span<const uint8_t> bytes, size_t first, size_t end, size_t skip);

// The builder's building blocks: appends an object's nodes (0, or 3 when its bytes are
// fewer than its size field), and dummy nodes for count bytes (0, or 3 when
// count is not a multiple of 128).
int VarnexFsWriteObjectNodes(const CVarnexImageObject& object, uint8_t attribute,
                             std::vector<uint8_t>& out, CLog* log);
int VarnexFsWriteDummyNodes(std::vector<uint8_t>& out, uint32_t count, CLog* log);
