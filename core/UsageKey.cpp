#include "core/UsageKey.h"

#include <cstdio>

int ReadUsageKey()
{
    return std::getchar();
}
