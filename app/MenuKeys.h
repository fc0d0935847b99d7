#pragma once
// The keys the numbered menus read.

namespace menu_keys
{
constexpr int kEscape = 27;

inline bool IsEnter(int key)
{
    // A terminal without translation sends either.
    return key == '\r' || key == '\n';
}
} // namespace menu_keys
