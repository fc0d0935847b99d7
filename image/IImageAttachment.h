#pragma once
// An object that can be attached to an image. The image asks it for its kind
// to decide in which of its two slots it goes; it takes no reference.

#include "core/RefCount.h"

#include <cstdint>

class IImageAttachment : public IReferenceCount
{
public:
    // Kind 1 goes to the image's second slot, every other kind to the first.
    virtual int32_t GetAttachmentKind() = 0;

protected:
    ~IImageAttachment() = default;
};
