#pragma once
// Process-wide services live in singleton holders. Each holder registers its
// release in a fixed slot; ReleaseSingletons() empties the holders in the slot
// order below, which is the order the program's services are released at
// exit. The entry points call it explicitly, so the order never depends on how
// static destructors of different files happen to run.

#include "core/RefCount.h"

#include <functional>

enum class ESingletonSlot
{
    KernelDriver,
    AcpiTableAccessor,
    CommandLine,
    PciBus,
    Flasher,
    UserInterface,
    EepromDatabase,
    CrossPlatform,
    BoardCatalogue,
    Count
};

// Registers the release of the holder in a slot; a later registration for the
// same slot adds to it (released in registration order).
void RegisterSingletonRelease(ESingletonSlot slot, std::function<void()> release);

// Empties every registered holder, slot by slot in the order above. Safe to
// call more than once; tests call it between cases.
void ReleaseSingletons();

// A static holder of one process-wide service. Declare it as a function-local
// static inside the getter so it exists before first use.
template <class T> class CSingletonHolder
{
public:
    explicit CSingletonHolder(ESingletonSlot slot)
    {
        RegisterSingletonRelease(slot, [this] { m_held = nullptr; });
    }
    CSingletonHolder(const CSingletonHolder&) = delete;
    CSingletonHolder& operator=(const CSingletonHolder&) = delete;

    T* get() const { return m_held.get(); }
    bool empty() const { return !m_held; }
    // Releases what was held before and takes a reference on the new object.
    T* Set(T* created)
    {
        m_held = created;
        return m_held.get();
    }

private:
    CRefPtr<T> m_held;
};

// The singleton getter convention: the held object, or a new one from the
// factory. The pointer returned is borrowed.
template <class T, class Factory> T* GetOrCreateSingleton(CSingletonHolder<T>& holder, Factory make)
{
    if (!holder.empty())
    {
        return holder.get();
    }
    return holder.Set(make());
}
