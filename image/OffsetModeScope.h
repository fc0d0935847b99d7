#pragma once
// Sets an image's offset mode for the lifetime of the scope and puts back the
// mode it found on every way out, errors included.

#include "image/IROMImage.h"

class COffsetModeScope
{
public:
    COffsetModeScope(IROMImage* image, bool mode) : m_image(image), m_saved(image->GetOffsetMode())
    {
        m_image->SetOffsetMode(mode);
    }
    ~COffsetModeScope() { m_image->SetOffsetMode(m_saved); }
    COffsetModeScope(const COffsetModeScope&) = delete;
    COffsetModeScope& operator=(const COffsetModeScope&) = delete;

    bool SavedMode() const { return m_saved; }

private:
    IROMImage* m_image;
    bool m_saved;
};
