#include "controls/KvComponents.h"

#include "platform/GuardU.h"
#include "platform/ThreadU.h"

#include <windows.h>

#include <algorithm>

namespace {

// Components whose release is due, and whether a queue entry to free them
// is on its way.
std::vector<TComponentRef>& PendingReleases()
{
    static std::vector<TComponentRef> pending;
    return pending;
}
bool gFlushPosted = false;

} // namespace

bool SameName(std::wstring_view a, std::wstring_view b)
{
    if (a.size() != b.size())
        return false;
    return CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, a.data(), static_cast<int>(a.size()),
                          b.data(), static_cast<int>(b.size())) == CSTR_EQUAL;
}

TComponent::TComponent(TComponent* owner)
{
    if (owner)
        owner->InsertComponent(this);
}

TComponent::~TComponent()
{
    destroying_ = true;
    if (self_)
        *self_ = nullptr;
    // Those that watch this one forget it first.
    std::vector<TComponent*> watchers = std::move(freeNotifies_);
    for (TComponent* watcher : watchers) {
        std::erase(watcher->freeNotifies_, this);
        Guard([&] { watcher->Notification(this, TOperation::Remove); });
    }
    DestroyComponents();
    if (owner_)
        owner_->RemoveComponent(this);
}

void TComponent::DestroyComponents()
{
    destroying_ = true;
    while (!components_.empty()) {
        TComponent* last = components_.back();
        // The destructor takes it out of the list through RemoveComponent.
        delete last;
        if (!components_.empty() && components_.back() == last)
            components_.pop_back();
    }
}

TComponent* TComponent::FindComponent(std::wstring_view name) const
{
    if (name.empty())
        return nullptr;
    for (TComponent* c : components_)
        if (SameName(c->name_, name))
            return c;
    return nullptr;
}

void TComponent::InsertComponent(TComponent* component)
{
    if (!component || component->owner_ == this)
        return;
    if (component->owner_)
        component->owner_->RemoveComponent(component);
    components_.push_back(component);
    component->owner_ = this;
}

void TComponent::RemoveComponent(TComponent* component)
{
    if (!component || component->owner_ != this)
        return;
    if (!destroying_)
        Guard([&] { Notification(component, TOperation::Remove); });
    std::erase(components_, component);
    component->owner_ = nullptr;
}

void TComponent::Notification(TComponent*, TOperation) {}

void TComponent::FreeNotification(TComponent* component)
{
    if (!component || component == this)
        return;
    if (std::find(component->freeNotifies_.begin(), component->freeNotifies_.end(), this) ==
        component->freeNotifies_.end())
        component->freeNotifies_.push_back(this);
    if (std::find(freeNotifies_.begin(), freeNotifies_.end(), component) == freeNotifies_.end())
        freeNotifies_.push_back(component);
}

void TComponent::RemoveFreeNotification(TComponent* component)
{
    if (!component)
        return;
    std::erase(component->freeNotifies_, this);
    std::erase(freeNotifies_, component);
}

TComponentRef TComponent::Ref()
{
    if (!self_)
        self_ = std::make_shared<TComponent*>(this);
    return TComponentRef(self_);
}

void TComponent::Release()
{
    auto& pending = PendingReleases();
    for (const TComponentRef& ref : pending)
        if (ref.Get() == this)
            return;
    pending.push_back(Ref());
    if (!gFlushPosted)
        gFlushPosted = TDispatcher::Post([] { TComponent::FreeReleased(); });
}

void TComponent::FreeReleased()
{
    gFlushPosted = false;
    std::vector<TComponentRef> due = std::move(PendingReleases());
    PendingReleases().clear();
    for (const TComponentRef& ref : due)
        if (TComponent* c = ref.Get())
            Guard([&] { delete c; });
}
