#include "core/D3Cold.h"

#include "core/TextHelpers.h"

#include <string>
#include <vector>

int32_t SetD3ColdCapability(ID3ColdControl* control, bool disable, CLog* log)
{
    CLogOrDiscard logOrDiscard(log);
    CLog& out = *logOrDiscard;
    out.SetLevel(3);
    out << LogEndl;
    const bool enable = !disable;

    std::vector<std::string> gpus;
    if (!control || control->EnumerateGpus(gpus) != 0)
    {
        out << "Cannot enumerate GPUs in the system by KRAPI for setting D3 cold capability."
            << LogEndl;
        return kD3ColdNoEnumeration;
    }
    if (gpus.size() > kMaxD3ColdGpus)
    {
        gpus.resize(kMaxD3ColdGpus);
    }

    const char* word = disable ? "Disable" : "Enable";
    bool anySet = false;
    for (size_t index = 0; index < gpus.size(); ++index)
    {
        uint32_t current = 0;
        if (control->QueryD3Cold(gpus[index], current) != 0)
        {
            continue;
        }
        const int32_t status = control->SetD3Cold(gpus[index], enable);
        const std::string gpuIndex = ToHexString(static_cast<uint32_t>(index), 2);
        if (status == 0)
        {
            anySet = true;
            out << word << " D3 cold capability successfully on GPU index " << gpuIndex << "."
                << LogEndl;
        }
        else
        {
            out << "Skip to " << word << " D3 cold capability due to with error code "
                << ToHexString(static_cast<uint32_t>(status), 8) << " on GPU index " << gpuIndex
                << "." << LogEndl;
        }
    }
    return anySet ? kD3ColdSet : kD3ColdNotSet;
}
