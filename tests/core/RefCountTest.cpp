#include "core/RefCount.h"
#include "core/Singleton.h"

#include <gtest/gtest.h>

namespace
{
// An interface and an implementation that counts its destructions, laid out as
// every implementation class is (counting base first, interface second).
class IProbe : public IReferenceCount
{
public:
    virtual int Value() const = 0;
};

class CProbeImpl : public CReferenceCountImpl, public IProbe
{
public:
    explicit CProbeImpl(int* destroyed) : m_destroyed(destroyed) {}
    ~CProbeImpl() override { ++*m_destroyed; }
    ROMVISE_REFCOUNT_FORWARD
    int Value() const override { return 42; }

private:
    int* m_destroyed;
};

IProbe* CreateProbe(int* destroyed)
{
    return new CProbeImpl(destroyed);
}

int CountOf(IProbe* probe)
{
    return static_cast<CProbeImpl*>(probe)->GetReferenceCount();
}
} // namespace

TEST(RefCount, FactoryObjectLivesUntilLastPointerGoes)
{
    int destroyed = 0;
    {
        CRefPtr<IProbe> first(CreateProbe(&destroyed));
        EXPECT_EQ(CountOf(first.get()), 1);
        {
            CRefPtr<IProbe> copy(first);
            EXPECT_EQ(CountOf(first.get()), 2);
        }
        EXPECT_EQ(CountOf(first.get()), 1);
        EXPECT_EQ(destroyed, 0);
    }
    EXPECT_EQ(destroyed, 1);
}

TEST(RefCount, AddRefAndReleaseReturnTheNewCount)
{
    int destroyed = 0;
    IProbe* probe = CreateProbe(&destroyed);
    EXPECT_EQ(probe->AddRef(), 1);
    EXPECT_EQ(probe->AddRef(), 2);
    EXPECT_EQ(probe->Release(), 1);
    EXPECT_EQ(destroyed, 0);
    EXPECT_EQ(probe->Release(), 0);
    EXPECT_EQ(destroyed, 1);
}

TEST(RefCount, InterfacePointerIsNotTheObjectStart)
{
    int destroyed = 0;
    CRefPtr<IProbe> probe(CreateProbe(&destroyed));
    auto* object = static_cast<CProbeImpl*>(probe.get());
    EXPECT_NE(static_cast<void*>(object), static_cast<void*>(probe.get()));
    EXPECT_EQ(probe->Value(), 42);
}

TEST(RefCount, AssignmentsKeepCountsRight)
{
    int destroyedA = 0;
    int destroyedB = 0;
    CRefPtr<IProbe> a(CreateProbe(&destroyedA));
    CRefPtr<IProbe> empty;
    empty = nullptr; // nothing is called on null
    CRefPtr<IProbe> alias(a);

    // Self-assignment keeps the object and its count.
    auto& self = a;
    a = self;
    EXPECT_EQ(CountOf(a.get()), 2);
    a = a.get();
    EXPECT_EQ(CountOf(a.get()), 2);
    EXPECT_EQ(destroyedA, 0);

    // Assigning a new value releases the old one.
    IProbe* b = CreateProbe(&destroyedB);
    EXPECT_EQ(alias = b, b);
    EXPECT_EQ(CountOf(a.get()), 1);
    a = nullptr;
    EXPECT_EQ(destroyedA, 1);
    EXPECT_FALSE(a);
    alias = empty;
    EXPECT_EQ(destroyedB, 1);
}

TEST(RefCount, MovedFromPointerIsEmpty)
{
    int destroyed = 0;
    CRefPtr<IProbe> a(CreateProbe(&destroyed));
    CRefPtr<IProbe> b(std::move(a));
    EXPECT_FALSE(a);
    EXPECT_EQ(CountOf(b.get()), 1);
    CRefPtr<IProbe>& alias = b; // self-move through an alias keeps the object
    b = std::move(alias);
    EXPECT_EQ(destroyed, 0);
}

// A list node that owns the next one.
class CNode : public CReferenceCountImpl, public IReferenceCount
{
public:
    ROMVISE_REFCOUNT_FORWARD
    explicit CNode(int* destroyed) : m_destroyed(destroyed) {}
    ~CNode() override { ++*m_destroyed; }

    CRefPtr<CNode> next;

private:
    int* m_destroyed;
};

TEST(RefCount, MovingFromAMemberOfTheHeldObjectKeepsTheMovedObject)
{
    int headDestroyed = 0;
    int nextDestroyed = 0;
    CRefPtr<CNode> head(new CNode(&headDestroyed));
    CNode* second = new CNode(&nextDestroyed);
    head->next = second;

    // Releasing the old head destroys the pointer being moved from.
    head = std::move(head->next);
    EXPECT_EQ(headDestroyed, 1);
    EXPECT_EQ(nextDestroyed, 0);
    EXPECT_EQ(head.get(), second);
    EXPECT_EQ(second->GetReferenceCount(), 1);
}

TEST(Singleton, GetterReturnsTheSameObjectUntilReleasedInSlotOrder)
{
    static int destroyed = 0;
    static CSingletonHolder<IProbe> late(ESingletonSlot::BoardCatalogue);
    static CSingletonHolder<IProbe> early(ESingletonSlot::KernelDriver);
    // Registrations stay for the life of the process: the record is static.
    static std::vector<std::string> order;
    RegisterSingletonRelease(ESingletonSlot::BoardCatalogue, [] { order.push_back("board"); });
    RegisterSingletonRelease(ESingletonSlot::KernelDriver, [] { order.push_back("driver"); });

    IProbe* first = GetOrCreateSingleton(late, [] { return CreateProbe(&destroyed); });
    IProbe* second = GetOrCreateSingleton(late, [] { return CreateProbe(&destroyed); });
    EXPECT_EQ(first, second);
    EXPECT_EQ(CountOf(first), 1);
    GetOrCreateSingleton(early, [] { return CreateProbe(&destroyed); });

    ReleaseSingletons();
    EXPECT_EQ(destroyed, 2);
    EXPECT_TRUE(late.empty());
    EXPECT_EQ(order, (std::vector<std::string>{"driver", "board"}));
    order.clear();
    ReleaseSingletons(); // a second teardown finds nothing to release
}
