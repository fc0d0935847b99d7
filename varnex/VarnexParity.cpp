#include "varnex/VarnexParity.h"

namespace
{
constexpr int kDone = 0;
constexpr int kBadArgument = 2;
} // namespace

uint32_t Parity32(uint32_t word)
{
    uint32_t parity = 0;
    while (word != 0)
    {
        word &= word - 1;
        parity ^= 1;
    }
    return parity;
}

int GetArrayParity(const uint32_t* words, uint32_t count, uint32_t* parity)
{
    if (words == nullptr || parity == nullptr)
    {
        return kBadArgument;
    }
    *parity = 0;
    for (uint32_t i = 0; i < count; ++i)
    {
        if (words[i] != 0)
        {
            *parity = Parity32(words[i]);
            break;
        }
    }
    return kDone;
}

int SetValueParity(uint32_t* word, uint32_t wanted)
{
    if (word == nullptr || (wanted != 0 && *word == 0))
    {
        return kBadArgument;
    }
    if (Parity32(*word) != wanted)
    {
        *word &= *word - 1;
    }
    return kDone;
}

int SetArrayParity(uint32_t* words, uint32_t count, uint32_t wanted)
{
    if (words == nullptr)
    {
        return kBadArgument;
    }
    uint32_t parity = 0;
    if (const int result = GetArrayParity(words, count, &parity); result != kDone)
    {
        return result;
    }
    if (parity == wanted)
    {
        return kDone;
    }
    for (uint32_t i = 0; i < count; ++i)
    {
        if (words[i] != 0)
        {
            return SetValueParity(&words[i], wanted);
        }
    }
    if (count == 0)
    {
        return kBadArgument;
    }
    for (uint32_t i = 0; i < count; ++i)
    {
        words[i] = 0xFFFFFFFF;
    }
    return SetValueParity(&words[0], wanted);
}
