#include "varnex/VarnexTag.h"

std::string TagToString(const VarnexTag& tag)
{
    return std::string(reinterpret_cast<const char*>(tag.bytes.data()), tag.bytes.size());
}
