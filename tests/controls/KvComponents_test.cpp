#include "controls/KvComponents.h"

#include "FormTest.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Records its own destruction by name.
class TLoggedComponent : public TComponent {
public:
    TLoggedComponent(TComponent* owner, std::wstring name, std::vector<std::wstring>& log)
        : TComponent(owner), log_(log)
    {
        SetName(std::move(name));
    }
    ~TLoggedComponent() override { log_.push_back(Name()); }

    std::vector<std::pair<std::wstring, TOperation>> notified;

protected:
    void Notification(TComponent* component, TOperation operation) override
    {
        notified.emplace_back(component->Name(), operation);
    }

private:
    std::vector<std::wstring>& log_;
};

} // namespace

TEST(KvComponents, OwnerKeepsCreationOrderFindsByNameAndFreesInReverse)
{
    std::vector<std::wstring> freed;
    {
        TLoggedComponent owner(nullptr, L"Owner", freed);
        for (const wchar_t* name : {L"First", L"Second", L"Third"})
            new TLoggedComponent(&owner, name, freed);
        ASSERT_EQ(3, owner.ComponentCount());
        EXPECT_EQ(L"First", owner.Components()[0]->Name());
        EXPECT_EQ(L"Third", owner.Components()[2]->Name());
        EXPECT_EQ(owner.Components()[1], owner.FindComponent(L"sECOND"));
        EXPECT_EQ(nullptr, owner.FindComponent(L""));
        EXPECT_EQ(nullptr, owner.FindComponent(L"Fourth"));
    }
    // The owner's own destructor body runs first, then its components go.
    EXPECT_EQ((std::vector<std::wstring>{L"Owner", L"Third", L"Second", L"First"}), freed);
}

TEST(KvComponents, ComponentFreedFirstLeavesItsOwnerAndWatchersForgetIt)
{
    std::vector<std::wstring> freed;
    TLoggedComponent owner(nullptr, L"Owner", freed);
    TLoggedComponent watcher(nullptr, L"Watcher", freed);
    auto* child = new TLoggedComponent(&owner, L"Child", freed);
    watcher.FreeNotification(child);
    TComponentRef ref = child->Ref();
    delete child;
    EXPECT_EQ(0, owner.ComponentCount());
    EXPECT_EQ(nullptr, ref.Get());
    ASSERT_EQ(1u, owner.notified.size()) << "the owner is told a component left it";
    ASSERT_EQ(1u, watcher.notified.size());
    EXPECT_EQ(L"Child", watcher.notified[0].first);
    EXPECT_EQ(TOperation::Remove, watcher.notified[0].second);
}

TEST(KvComponents, InsertComponentMovesOwnership)
{
    std::vector<std::wstring> freed;
    TLoggedComponent a(nullptr, L"A", freed);
    TLoggedComponent b(nullptr, L"B", freed);
    auto* c = new TLoggedComponent(&a, L"C", freed);
    b.InsertComponent(c);
    EXPECT_EQ(&b, c->Owner());
    EXPECT_EQ(0, a.ComponentCount());
    EXPECT_EQ(c, b.FindComponent(L"C"));
}

TEST(KvComponents, ReleaseFreesOnceAfterTheCurrentWorkAndSkipsTheAlreadyFreed)
{
    formtest::InitApplication();
    std::vector<std::wstring> freed;
    auto* a = new TLoggedComponent(nullptr, L"A", freed);
    auto* b = new TLoggedComponent(nullptr, L"B", freed);
    a->Release();
    a->Release();
    b->Release();
    EXPECT_TRUE(freed.empty()) << "a release waits for the queue";
    delete b; // freed by someone else before the queue got there
    formtest::Pump(50);
    EXPECT_EQ((std::vector<std::wstring>{L"B", L"A"}), freed);
}
