#pragma once
// The fixed 3 MiB buffer an image holds, every byte 0xFF until written.
//
// Most images use a small part of it. The buffer is a private copy-on-write
// mapping of one erased 3 MiB page set the process shares, so a page costs
// memory only once it is written: an image costs what it uses. The buffer
// keeps the end of the part that may have been written (the dirty end):
// everything from there on is known to be 0xFF. Erasing, snapshotting and
// restoring then cost what was written, not 3 MiB, and a released buffer
// goes back, erased, to a small per-thread pool.
//
// Every write goes through Write (or WriteAll, for a pointer handed to code
// that may write anywhere); reads through Bytes.

#include "image/IROMImage.h"

#include <cstdint>
#include <memory>

class CImageBuffer
{
public:
    static constexpr uint32_t kSize = kImageBufferSize;

    CImageBuffer();
    ~CImageBuffer();
    CImageBuffer(const CImageBuffer&) = delete;
    CImageBuffer& operator=(const CImageBuffer&) = delete;

    const uint8_t* Bytes() const { return m_bytes.get(); }
    // The buffer, for writing below end (at most kSize).
    uint8_t* Write(uint64_t end);
    // The buffer, for a caller that may write anywhere in it.
    uint8_t* WriteAll() { return Write(kSize); }
    // Every byte back to 0xFF.
    void Erase();
    // After Erase and a write of count bytes from the start (a file read of
    // unknown length): the bytes from count on are still 0xFF.
    void ErasedFrom(uint32_t count);

    // This buffer becomes a copy of other (a snapshot, or its restore).
    void CopyFrom(const CImageBuffer& other);

    uint32_t DirtyEnd() const { return m_dirtyEnd; }

    // Unmaps (or frees) the bytes of a buffer.
    struct Release
    {
        void operator()(uint8_t* bytes) const;
    };
    using Storage = std::unique_ptr<uint8_t[], Release>;

private:
    Storage m_bytes;
    uint32_t m_dirtyEnd = 0;
};
