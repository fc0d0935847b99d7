#pragma once
// The D3-cold power capability of the maker's GPUs. Every call returns a
// status: 0 done, anything else a failure code of the platform.

#include "core/RefCount.h"

#include <cstdint>
#include <string>
#include <vector>

class ID3ColdControl : public IReferenceCount
{
public:
    // The maker's GPUs as handles the other two calls take (on Linux the PCI
    // address, "0000:01:00.0"). Non-zero when the GPUs cannot be listed.
    virtual int32_t EnumerateGpus(std::vector<std::string>& gpus) = 0;
    // Reads whether the GPU may enter D3 cold (1) or not (0).
    virtual int32_t QueryD3Cold(const std::string& gpu, uint32_t& allowed) = 0;
    // Allows (true) or forbids (false) D3 cold for the GPU.
    virtual int32_t SetD3Cold(const std::string& gpu, bool allowed) = 0;
};
