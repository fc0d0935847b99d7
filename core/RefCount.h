#pragma once
// Intrusive reference counting: the root interface, the counting base of
// every implementation class, and the smart pointer that holds one reference.

#include <cstdint>
#include <type_traits>
#include <utility>

// Root of every interface. Every other interface appends its operations
// after these two.
class IReferenceCount
{
public:
    virtual int32_t AddRef() = 0;
    virtual int32_t Release() = 0;

protected:
    ~IReferenceCount() = default;
};

// Base of every implementation class, placed before the interface:
//   class CThingImpl : public CReferenceCountImpl, public IThing
// The implementation forwards its interface's AddRef/Release to this counter
// (ROMVISE_REFCOUNT_FORWARD below), so the interface part and the whole object
// count the same references. The program has one thread: the count is a plain
// integer.
class CReferenceCountImpl
{
public:
    CReferenceCountImpl() = default;
    CReferenceCountImpl(const CReferenceCountImpl&) = delete;
    CReferenceCountImpl& operator=(const CReferenceCountImpl&) = delete;
    virtual ~CReferenceCountImpl() = default;

    virtual int32_t AddRef() { return ++m_referenceCount; }

    virtual int32_t Release()
    {
        const int32_t remaining = --m_referenceCount;
        if (remaining == 0)
        {
            delete this;
        }
        return remaining;
    }

    int32_t GetReferenceCount() const { return m_referenceCount; }

private:
    int32_t m_referenceCount = 0;
};

// Put inside an implementation class that derives from CReferenceCountImpl and
// from an interface: both AddRef/Release reach the one counter.
#define ROMVISE_REFCOUNT_FORWARD                                                                   \
    int32_t AddRef() override                                                                      \
    {                                                                                              \
        return CReferenceCountImpl::AddRef();                                                      \
    }                                                                                              \
    int32_t Release() override                                                                     \
    {                                                                                              \
        return CReferenceCountImpl::Release();                                                     \
    }

// Holds one reference on an interface object; empty holds nothing.
template <class T> class CRefPtr
{
public:
    CRefPtr() = default;
    CRefPtr(std::nullptr_t) {}
    CRefPtr(T* raw) : m_ptr(raw) { AddRefIfSet(); }
    CRefPtr(const CRefPtr& other) : m_ptr(other.m_ptr) { AddRefIfSet(); }
    CRefPtr(CRefPtr&& other) noexcept : m_ptr(std::exchange(other.m_ptr, nullptr)) {}
    template <class U, class = std::enable_if_t<std::is_convertible_v<U*, T*>>>
    CRefPtr(const CRefPtr<U>& other) : m_ptr(other.get())
    {
        AddRefIfSet();
    }
    ~CRefPtr() { ReleaseIfSet(); }

    // The new value's reference is taken before the old one is released, so
    // assigning the value already held keeps the object alive.
    T* operator=(T* raw)
    {
        T* old = m_ptr;
        m_ptr = raw;
        AddRefIfSet();
        if (old)
        {
            AsCounted(old)->Release();
        }
        return m_ptr;
    }
    CRefPtr& operator=(const CRefPtr& other)
    {
        *this = other.m_ptr;
        return *this;
    }
    // The incoming pointer is taken before the old object is released: that
    // object may own `other` (as in `node = std::move(node->next)`).
    CRefPtr& operator=(CRefPtr&& other) noexcept
    {
        if (this != &other)
        {
            T* incoming = std::exchange(other.m_ptr, nullptr);
            ReleaseIfSet();
            m_ptr = incoming;
        }
        return *this;
    }
    CRefPtr& operator=(std::nullptr_t)
    {
        ReleaseIfSet();
        m_ptr = nullptr;
        return *this;
    }

    T* get() const { return m_ptr; }
    T* operator->() const { return m_ptr; }
    T& operator*() const { return *m_ptr; }
    explicit operator bool() const { return m_ptr != nullptr; }
    bool operator==(const CRefPtr& other) const { return m_ptr == other.m_ptr; }
    bool operator==(std::nullptr_t) const { return m_ptr == nullptr; }

private:
    // Reaches the IReferenceCount base wherever it lies (IDevice has it second).
    static IReferenceCount* AsCounted(T* p) { return static_cast<IReferenceCount*>(p); }
    void AddRefIfSet()
    {
        if (m_ptr)
        {
            AsCounted(m_ptr)->AddRef();
        }
    }
    void ReleaseIfSet()
    {
        if (T* p = std::exchange(m_ptr, nullptr))
        {
            AsCounted(p)->Release();
        }
    }

    T* m_ptr = nullptr;
};
