#include "varnex/VarnexFileSystem.h"

#include "core/Range.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <new>

namespace
{

bool SourceFits(const VarnexFsContext* context, uint64_t offset, uint64_t length)
{
    return RangeFits(offset, length, context->source->length);
}

const uint8_t* SourceAt(const VarnexFsContext* context, uint32_t offset)
{
    return context->source->data + offset;
}

bool SameName(const std::array<uint8_t, 3>& tag, const uint8_t* name)
{
    return tag[0] == name[0] && tag[1] == name[1] && tag[2] == name[2];
}

VarnexFsFile* FindFile(VarnexFsContext* context, const uint8_t* name)
{
    for (const auto& file : context->files)
    {
        if (file && SameName(file->tag, name))
        {
            return file.get();
        }
    }
    return nullptr;
}

void RemoveFromList(VarnexFsContext* context, VarnexFsBlock* block)
{
    if (block->list != kVarnexFsNoBlockList)
    {
        auto& list = context->lists[block->list];
        list.erase(std::remove(list.begin(), list.end(), block), list.end());
        block->list = kVarnexFsNoBlockList;
    }
}

void ClassifyBlock(VarnexFsContext* context, VarnexFsBlock* block)
{
    VarnexFsBlockListId list = kVarnexFsDirtyBlocks;
    if (block->freeBytes == context->blockSize)
    {
        list = kVarnexFsErasedBlocks;
    }
    else if (block->readOnlyBytes != 0)
    {
        list = kVarnexFsReadOnlyBlocks;
    }
    else if (block->obsoleteBytes == 0)
    {
        list = kVarnexFsCleanBlocks;
    }
    block->list = list;
    context->lists[list].push_back(block);
}

void ReclassifyBlock(VarnexFsContext* context, VarnexFsBlock* block)
{
    RemoveFromList(context, block);
    ClassifyBlock(context, block);
}

// Reads one slot's node into the records of block.
int ParseNode(VarnexFsContext* context, VarnexFsBlock* block, uint32_t offset)
{
    if (offset == 0)
    {
        // The superblock.
        block->readOnlyBytes += kVarnexFsNodeSize;
        block->freeBytes -= kVarnexFsNodeSize;
        return kVarnexFsOk;
    }
    std::array<uint8_t, kVarnexFsNodeHeaderSize> header{};
    std::memcpy(header.data(), SourceAt(context, offset), header.size());
    const uint8_t flags = header[0];
    if ((flags & kVarnexFsFlagErased) != 0)
    {
        return kVarnexFsOk;
    }
    const bool live = (flags & kVarnexFsFlagLive) != 0;
    const bool readWrite = (flags & kVarnexFsFlagReadWrite) != 0;
    auto ref = std::make_unique<VarnexFsNodeRef>();
    ref->offset = offset;

    if (live)
    {
        auto entry = std::make_unique<VarnexFsNodeEntry>();
        entry->header = header;
        entry->block = block;
        // A live node says how many of its 112 data bytes it carries; anything
        // else would make a read copy bytes from beyond the node.
        if (entry->Length() == 0 || entry->Length() > kVarnexFsNodeDataSize)
        {
            return kVarnexFsCorrupt;
        }
        const uint8_t* name = &header[1];
        VarnexFsFile* file = FindFile(context, name);
        if (file == nullptr)
        {
            auto slot = std::find(context->files.begin(), context->files.end(), nullptr);
            if (slot == context->files.end())
            {
                return kVarnexFsTooManyFiles;
            }
            *slot = std::make_unique<VarnexFsFile>();
            file = slot->get();
            std::copy(name, name + 3, file->tag.begin());
            file->kind = readWrite ? kVarnexFsReadWriteFile : kVarnexFsReadOnlyFile;
        }
        if (uint32_t{file->size} + entry->Length() > 0xFFFF)
        {
            return kVarnexFsCorrupt;
        }
        file->size = static_cast<uint16_t>(file->size + entry->Length());
        entry->file = file;
        entry->ref = ref.get();
        ref->entry = entry.get();
        if (!readWrite)
        {
            entry->ownedRef = std::move(ref);
        }
        file->nodes.push_back(std::move(entry));
        block->liveBytes += kVarnexFsNodeSize;
    }
    else
    {
        block->obsoleteBytes += kVarnexFsNodeSize;
    }
    block->freeBytes -= kVarnexFsNodeSize;
    if (readWrite)
    {
        block->nodeRefs.push_back(std::move(ref));
    }
    else
    {
        block->readOnlyBytes += kVarnexFsNodeSize;
    }
    return kVarnexFsOk;
}

int ScanBlock(VarnexFsContext* context, uint32_t start)
{
    if (!SourceFits(context, start, context->blockSize))
    {
        return kVarnexFsCorrupt;
    }
    // The record is kept even when a slot fails: nodes parsed before the
    // failure already point at it.
    context->blocks.push_back(std::make_unique<VarnexFsBlock>());
    VarnexFsBlock* block = context->blocks.back().get();
    block->start = start;
    block->freeBytes = context->blockSize;
    for (uint32_t offset = start; offset <= start + context->blockSize - kVarnexFsNodeSize;
         offset += kVarnexFsNodeSize)
    {
        if (const int result = ParseNode(context, block, offset); result != kVarnexFsOk)
        {
            return result;
        }
    }
    ClassifyBlock(context, block);
    if (block->freeBytes != 0 && block->readOnlyBytes == 0 && block->freeBytes < context->blockSize)
    {
        context->writeBlock = block;
    }
    return kVarnexFsOk;
}

// Clears the live bit of a node in the image and moves its bytes to the
// block's obsolete count.
void MarkObsolete(VarnexFsContext* context, VarnexFsNodeEntry* entry)
{
    entry->header[0] &= static_cast<uint8_t>(~kVarnexFsFlagLive);
    context->source->data[entry->ref->offset] = entry->header[0];
    entry->block->liveBytes -= kVarnexFsNodeSize;
    entry->block->obsoleteBytes += kVarnexFsNodeSize;
}

// Takes a node out of its file; its slot stays on its block without a node.
void UnlinkNode(VarnexFsNodeEntry* entry)
{
    VarnexFsFile* file = entry->file;
    file->size = static_cast<uint16_t>(file->size - entry->Length());
    entry->ref->entry = nullptr;
    auto& nodes = file->nodes;
    nodes.erase(std::find_if(nodes.begin(), nodes.end(),
                             [entry](const auto& node) { return node.get() == entry; }));
}

// Keeps, of every pair of live copies of one node, the higher sequence.
int ResolveNodes(VarnexFsContext* context, VarnexFsFile* file)
{
    if (file->kind == kVarnexFsReadOnlyFile)
    {
        return kVarnexFsOk;
    }
    std::map<uint16_t, VarnexFsNodeEntry*> newest;
    std::vector<VarnexFsNodeEntry*> stale;
    for (auto it = file->nodes.rbegin(); it != file->nodes.rend(); ++it)
    {
        VarnexFsNodeEntry* node = it->get();
        auto [held, inserted] = newest.emplace(node->Offset(), node);
        if (inserted)
        {
            continue;
        }
        if (held->second->Sequence() < node->Sequence())
        {
            stale.push_back(held->second);
            held->second = node;
        }
        else if (held->second->Sequence() > node->Sequence())
        {
            stale.push_back(node);
        }
        else
        {
            return kVarnexFsCorrupt;
        }
    }
    for (VarnexFsNodeEntry* node : stale)
    {
        VarnexFsBlock* block = node->block;
        MarkObsolete(context, node);
        UnlinkNode(node);
        // The block now holds obsolete space that a reclaim can take back.
        ReclassifyBlock(context, block);
    }
    return kVarnexFsOk;
}

// The newest node of the file whose range holds offset.
VarnexFsNodeEntry* FindNode(VarnexFsFile* file, uint32_t offset)
{
    for (auto it = file->nodes.rbegin(); it != file->nodes.rend(); ++it)
    {
        const uint32_t start = (*it)->Offset();
        if (start <= offset && offset < start + (*it)->Length())
        {
            return it->get();
        }
    }
    return nullptr;
}

bool Covers(const VarnexFsNodeEntry* node, uint32_t offset)
{
    return node->ref != nullptr && node->Offset() <= offset &&
           offset < uint32_t{node->Offset()} + node->Length();
}

uint32_t CountErasedBlocks(const VarnexFsContext* context)
{
    uint32_t count = static_cast<uint32_t>(context->lists[kVarnexFsErasedBlocks].size());
    if (context->writeBlock != nullptr && context->writeBlock->freeBytes != 0)
    {
        ++count;
    }
    return count;
}

int RewriteNode(VarnexFsContext* context, VarnexFsBlock* oldBlock, VarnexFsNodeRef* oldRef,
                std::array<uint8_t, kVarnexFsNodeSize>& node)
{
    node[7] = static_cast<uint8_t>(node[7] + 1);
    node[8] = VarnexFsChecksum(node, 0, kVarnexFsNodeSize, 8);

    VarnexFsBlock* target = context->writeBlock;
    if (target == nullptr || target->freeBytes == 0)
    {
        auto& erased = context->lists[kVarnexFsErasedBlocks];
        if (erased.empty())
        {
            return kVarnexFsCorrupt;
        }
        target = erased.front();
        context->writeBlock = target;
    }
    if (target->freeBytes == 0)
    {
        return kVarnexFsBadArgument;
    }
    const uint32_t slot = target->nodeRefs.empty()
                              ? target->start
                              : target->nodeRefs.back()->offset + kVarnexFsNodeSize;
    if (slot >= target->start + context->blockSize || slot % kVarnexFsNodeSize != 0 ||
        !SourceFits(context, slot, kVarnexFsNodeSize))
    {
        return kVarnexFsCorrupt;
    }
    // Flash gains bits only by an erase: the slot must still be erased.
    const uint8_t* slotBytes = SourceAt(context, slot);
    if (!std::all_of(slotBytes, slotBytes + kVarnexFsNodeSize, [](uint8_t b) { return b == 0xFF; }))
    {
        return kVarnexFsCorrupt;
    }
    std::memcpy(context->source->data + slot, node.data(), node.size());

    if (VarnexFsNodeEntry* old = oldRef->entry)
    {
        MarkObsolete(context, old);
        UnlinkNode(old);
    }
    ReclassifyBlock(context, oldBlock);

    if (const int result = ParseNode(context, target, slot); result != kVarnexFsOk)
    {
        return result;
    }
    ReclassifyBlock(context, target);
    return kVarnexFsOk;
}

int Relocate(VarnexFsContext* context, VarnexFsFile* file, uint32_t offset,
             std::array<uint8_t, kVarnexFsNodeSize>& node)
{
    if (CountErasedBlocks(context) < context->reserve)
    {
        if (const int result = VarnexFsReclaim(context); result != kVarnexFsOk)
        {
            return result;
        }
    }
    VarnexFsNodeEntry* entry = FindNode(file, offset);
    if (entry == nullptr)
    {
        return kVarnexFsBadArgument;
    }
    if (!Covers(entry, offset))
    {
        return kVarnexFsCorrupt;
    }
    return RewriteNode(context, entry->block, entry->ref, node);
}

using VarnexFsNode = std::array<uint8_t, kVarnexFsNodeSize>;

// Copies the node that holds the byte at position out of the store.
int ReadNodeAt(VarnexFsContext* context, VarnexFsFile* file, uint32_t position,
               VarnexFsNodeEntry*& entry, VarnexFsNode& node)
{
    node.fill(0);
    entry = FindNode(file, position);
    if (entry == nullptr)
    {
        return kVarnexFsBadArgument;
    }
    if (!Covers(entry, position))
    {
        return kVarnexFsCorrupt;
    }
    const uint32_t at = entry->ref->offset;
    if (at % kVarnexFsNodeSize != 0 || !SourceFits(context, at, kVarnexFsNodeSize))
    {
        return kVarnexFsCorrupt;
    }
    std::memcpy(node.data(), SourceAt(context, at), node.size());
    if (node[4] == 0xFF && node[5] == 0xFF)
    {
        return kVarnexFsCorrupt;
    }
    return kVarnexFsOk;
}

enum class ENodeChange
{
    None,
    InPlace,  // only clears bits of an unchecked node: written over where it is
    Relocate, // sets a bit, or the node is checksummed: written anew elsewhere
};

// Puts count bytes of source into the node's data from within, and tells how
// the changed node must reach the store.
ENodeChange PatchNodeData(VarnexFsNode& node, uint32_t within, const uint8_t* source,
                          uint32_t count)
{
    bool changed = false;
    bool setsBit = false;
    for (uint32_t i = 0; i < count; ++i)
    {
        uint8_t& stored = node[kVarnexFsNodeHeaderSize + within + i];
        const uint8_t wanted = source[i];
        if (stored != wanted)
        {
            changed = true;
            setsBit = setsBit || ((stored ^ wanted) & wanted) != 0;
            stored = wanted;
        }
    }
    if (!changed)
    {
        return ENodeChange::None;
    }
    // A checksummed node cannot be patched: its checksum would go stale.
    if ((node[0] & kVarnexFsFlagUnchecked) == 0)
    {
        setsBit = true;
    }
    return setsBit ? ENodeChange::Relocate : ENodeChange::InPlace;
}

// Writes the part of the remaining bytes that falls into the node holding
// position; written tells how many that was.
int WriteIntoNode(VarnexFsContext* context, VarnexFsFile* file, uint32_t position,
                  uint32_t remaining, const uint8_t* source, uint32_t& written)
{
    VarnexFsNode node{};
    VarnexFsNodeEntry* entry = nullptr;
    const int status = ReadNodeAt(context, file, position, entry, node);
    if (status != kVarnexFsOk)
    {
        return status;
    }
    const uint32_t at = entry->ref->offset;
    const uint32_t within = position - entry->Offset();
    written = std::min(remaining, uint32_t{entry->Length()} - within);
    switch (PatchNodeData(node, within, source, written))
    {
    case ENodeChange::Relocate:
        return Relocate(context, file, position, node);
    case ENodeChange::InPlace:
        std::memcpy(context->source->data + at, node.data(), node.size());
        return kVarnexFsOk;
    case ENodeChange::None:
        break;
    }
    return kVarnexFsOk;
}
} // namespace

uint8_t VarnexFsChecksum(std::span<const uint8_t> bytes, size_t first, size_t end, size_t skip)
{
    uint8_t sum = 0;
    end = std::min(end, bytes.size());
    for (size_t i = first; i < end; ++i)
    {
        if (i != first + skip)
        {
            sum = static_cast<uint8_t>(sum + bytes[i]);
        }
    }
    return static_cast<uint8_t>(-sum);
}

VarnexFsContext* CreateVarnexFileSystem(VarnexFsSource* source, uint32_t version)
{
    auto* context = new (std::nothrow) VarnexFsContext();
    if (context == nullptr)
    {
        return nullptr;
    }
    context->source = source;
    context->version = version;
    context->operations = VarnexFsOperations{
        VarnexFsWrite,       VarnexFsRead,         VarnexFsGetSize, VarnexFsGetKind, VarnexFsList,
        VarnexFsSetWritable, VarnexFsNeedsReclaim, VarnexFsReclaim, VarnexFsMount,   VarnexFsClose};
    return context;
}

int VarnexFsMount(VarnexFsContext* context)
{
    if (context == nullptr || context->source == nullptr || context->source->data == nullptr ||
        context->mounted)
    {
        return kVarnexFsBadArgument;
    }
    context->mounted = true;
    if (!SourceFits(context, 0, kVarnexFsNodeSize))
    {
        return kVarnexFsCorrupt;
    }
    if (context->version > kVarnexFsVersion)
    {
        return kVarnexFsNotAllowed;
    }
    uint32_t size = kVarnexFsReadOnlySize;
    if (context->version != 1)
    {
        const uint8_t* superblock = SourceAt(context, 0);
        size = superblock[8] | (uint32_t{superblock[9]} << 8) | (uint32_t{superblock[10]} << 16) |
               (uint32_t{superblock[11]} << 24);
    }
    // The size must also lie inside the bytes handed in.
    if (size == 0xFFFFFFFF || size > context->source->length)
    {
        return kVarnexFsCorrupt;
    }
    context->fileSystemSize = size;
    uint64_t start = 0;
    do
    {
        if (const int result = ScanBlock(context, static_cast<uint32_t>(start));
            result != kVarnexFsOk)
        {
            return result;
        }
        start += context->blockSize;
    } while (start < size);

    for (const auto& file : context->files)
    {
        if (file)
        {
            if (const int result = ResolveNodes(context, file.get()); result != kVarnexFsOk)
            {
                return result;
            }
        }
    }
    return kVarnexFsOk;
}

int VarnexFsList(VarnexFsContext* context, uint8_t* names, uint32_t* count)
{
    if (context == nullptr || names == nullptr || count == nullptr)
    {
        return kVarnexFsBadArgument;
    }
    *count = 0;
    for (const auto& file : context->files)
    {
        if (!file || (file->tag[0] == 0 && file->tag[1] == 0 && file->tag[2] == 0))
        {
            break;
        }
        std::copy(file->tag.begin(), file->tag.end(), names + 3 * *count);
        ++*count;
    }
    return kVarnexFsOk;
}

int VarnexFsGetSize(VarnexFsContext* context, const uint8_t* name, uint16_t* size)
{
    if (context == nullptr || name == nullptr || size == nullptr)
    {
        return kVarnexFsBadArgument;
    }
    VarnexFsFile* file = FindFile(context, name);
    if (file == nullptr)
    {
        return kVarnexFsNoFile;
    }
    *size = file->size;
    return kVarnexFsOk;
}

int VarnexFsGetKind(VarnexFsContext* context, const uint8_t* name, uint32_t* kind)
{
    if (context == nullptr || name == nullptr || kind == nullptr)
    {
        return kVarnexFsBadArgument;
    }
    VarnexFsFile* file = FindFile(context, name);
    if (file == nullptr)
    {
        return kVarnexFsNoFile;
    }
    *kind = file->kind;
    return kVarnexFsOk;
}

int VarnexFsRead(VarnexFsContext* context, const uint8_t* name, uint16_t offset, uint16_t count,
                 uint8_t* buffer)
{
    if (context == nullptr || name == nullptr || buffer == nullptr)
    {
        return kVarnexFsBadArgument;
    }
    VarnexFsFile* file = FindFile(context, name);
    if (file == nullptr)
    {
        return kVarnexFsNoFile;
    }
    if (uint32_t{offset} + count > file->size)
    {
        return kVarnexFsBadArgument;
    }
    std::array<uint8_t, kVarnexFsNodeSize> scratch{};
    uint32_t position = offset;
    uint32_t remaining = count;
    uint32_t written = 0;
    while (remaining > 0)
    {
        VarnexFsNodeEntry* node = FindNode(file, position);
        if (node == nullptr)
        {
            return kVarnexFsBadArgument;
        }
        if (!Covers(node, position) || !SourceFits(context, node->ref->offset, kVarnexFsNodeSize))
        {
            return kVarnexFsCorrupt;
        }
        const uint32_t within = position - node->Offset();
        const uint32_t n = std::min(remaining, uint32_t{node->Length()} - within);
        const uint8_t* data = SourceAt(context, node->ref->offset + kVarnexFsNodeHeaderSize);
        if ((node->Flags() & kVarnexFsFlagUnchecked) == 0)
        {
            std::copy(node->header.begin(), node->header.end(), scratch.begin());
            std::memcpy(scratch.data() + kVarnexFsNodeHeaderSize, data, kVarnexFsNodeDataSize);
            if (VarnexFsChecksum(scratch, 0, kVarnexFsNodeSize, 8) != node->header[8])
            {
                return kVarnexFsChecksumError;
            }
        }
        std::memcpy(buffer + written, data + within, n);
        position += n;
        written += n;
        remaining -= n;
    }
    return kVarnexFsOk;
}

int VarnexFsSetWritable(VarnexFsContext* context, bool writable)
{
    if (context == nullptr)
    {
        return kVarnexFsBadArgument;
    }
    context->writable = writable;
    return kVarnexFsOk;
}

int VarnexFsClose(VarnexFsContext* context)
{
    if (context != nullptr)
    {
        // Files first: their nodes point into the blocks.
        for (auto& file : context->files)
        {
            file.reset();
        }
        delete context;
    }
    return kVarnexFsOk;
}

int VarnexFsWrite(VarnexFsContext* context, const uint8_t* name, uint16_t offset, uint16_t count,
                  const uint8_t* source)
{
    if (context == nullptr || name == nullptr || source == nullptr)
    {
        return kVarnexFsBadArgument;
    }
    VarnexFsFile* file = FindFile(context, name);
    if (file == nullptr)
    {
        return kVarnexFsNoFile;
    }
    if (uint32_t{offset} + count > file->size)
    {
        return kVarnexFsBadArgument;
    }
    if (file->kind == kVarnexFsReadOnlyFile)
    {
        return kVarnexFsNotAllowed;
    }
    uint32_t position = offset;
    uint32_t remaining = count;
    while (remaining > 0)
    {
        uint32_t written = 0;
        const int result = WriteIntoNode(context, file, position, remaining,
                                         source + (count - remaining), written);
        if (result != kVarnexFsOk)
        {
            return result;
        }
        remaining -= written;
        position += written;
    }
    return kVarnexFsOk;
}

int VarnexFsNeedsReclaim(VarnexFsContext* context, bool* needed)
{
    if (context == nullptr || needed == nullptr)
    {
        return kVarnexFsBadArgument;
    }
    *needed = CountErasedBlocks(context) <= context->reserve;
    return kVarnexFsOk;
}

int VarnexFsReclaim(VarnexFsContext* context)
{
    if (context == nullptr)
    {
        return kVarnexFsBadArgument;
    }
    if (!context->writable)
    {
        return kVarnexFsNotAllowed;
    }
    // Reclaiming the write block would move its nodes into itself and then
    // erase them.
    VarnexFsBlock* block = nullptr;
    for (VarnexFsBlock* candidate : context->lists[kVarnexFsDirtyBlocks])
    {
        if (candidate != context->writeBlock)
        {
            block = candidate;
            break;
        }
    }
    if (block == nullptr)
    {
        return kVarnexFsCorrupt;
    }
    std::array<uint8_t, kVarnexFsNodeSize> node{};
    for (size_t i = 0; i < block->nodeRefs.size(); ++i)
    {
        VarnexFsNodeRef* ref = block->nodeRefs[i].get();
        if (ref->entry == nullptr)
        {
            continue;
        }
        if (!SourceFits(context, ref->offset, kVarnexFsNodeSize))
        {
            return kVarnexFsCorrupt;
        }
        std::memcpy(node.data(), SourceAt(context, ref->offset), node.size());
        if (const int result = RewriteNode(context, block, ref, node); result != kVarnexFsOk)
        {
            return result;
        }
    }
    const uint32_t start = block->start;
    std::memset(context->source->data + start, 0xFF, context->blockSize);
    RemoveFromList(context, block);
    auto& blocks = context->blocks;
    blocks.erase(std::find_if(blocks.begin(), blocks.end(),
                              [block](const auto& held) { return held.get() == block; }));
    return ScanBlock(context, start);
}
