#pragma once
// Components: the owned objects of a window (controls, image lists, timers,
// data modules). An owner frees the components it owns, in the reverse of
// their creation order, when it dies; a component that dies first leaves its
// owner's list. Walks over a window's components (translation, the builder's
// Loaded pass) go in creation order and tell classes apart by dynamic_cast.
//
// Everything here belongs to the GUI thread.

#include "platform/ClassesU.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class TComponent;

enum class TOperation : uint8_t { Insert, Remove };

// A reference that turns null when its component dies: for callbacks that
// may run after the component was freed (a posted release, a timer message).
class TComponentRef {
public:
    TComponentRef() = default;
    TComponent* Get() const { return slot_ ? *slot_ : nullptr; }
    template <typename T> T* As() const { return dynamic_cast<T*>(Get()); }
    explicit operator bool() const { return Get() != nullptr; }

private:
    friend class TComponent;
    explicit TComponentRef(std::shared_ptr<TComponent*> slot) : slot_(std::move(slot)) {}
    std::shared_ptr<TComponent*> slot_;
};

class TComponent : public TObject {
public:
    // An owner takes the component into its list (it frees it later); null
    // leaves it to whoever made it.
    explicit TComponent(TComponent* owner = nullptr);
    // Frees the owned components, last created first, then leaves the owner.
    ~TComponent() override;
    TComponent(const TComponent&) = delete;
    TComponent& operator=(const TComponent&) = delete;

    TComponent* Owner() const { return owner_; }
    const std::wstring& Name() const { return name_; }
    void SetName(const std::wstring& name) { name_ = name; }
    int Tag() const { return tag_; }
    void SetTag(int tag) { tag_ = tag; }

    // The owned components in creation order.
    const std::vector<TComponent*>& Components() const { return components_; }
    int ComponentCount() const { return static_cast<int>(components_.size()); }
    // The first owned component of that name (letter case ignored); null for
    // an empty name or none.
    TComponent* FindComponent(std::wstring_view name) const;
    template <typename T> T* Find(std::wstring_view name) const
    {
        return dynamic_cast<T*>(FindComponent(name));
    }
    // Moves a component into this one's list (out of its former owner's).
    void InsertComponent(TComponent* component);
    void RemoveComponent(TComponent* component);

    // After a layout was built: once per component, in creation order, when
    // all of the layout's components exist.
    virtual void Loaded() {}
    // Frees the component once the message being handled is done: a free
    // asked for inside the component's own event. Several calls free it once;
    // a component freed in between is not touched.
    void Release();
    // Frees every component whose release is due; the application calls it
    // between messages (it also runs from the queue).
    static void FreeReleased();

    bool Destroying() const { return destroying_; }
    TComponentRef Ref();

    // Asks component to tell this one (Notification, TOperation::Remove)
    // when it dies; both directions are kept until either dies.
    void FreeNotification(TComponent* component);
    void RemoveFreeNotification(TComponent* component);

protected:
    // Frees the owned components, last created first (the destructor does it
    // too; a window frees them before its children and its window go).
    void DestroyComponents();
    // A watched component (or an owned one) is about to be freed: clear every
    // reference to it.
    virtual void Notification(TComponent* component, TOperation operation);

private:
    TComponent* owner_ = nullptr;
    std::wstring name_;
    int tag_ = 0;
    bool destroying_ = false;
    std::vector<TComponent*> components_;
    std::vector<TComponent*> freeNotifies_;
    std::shared_ptr<TComponent*> self_;
};

// ASCII and Latin letters folded alike (CompareStringW, ignoring case).
bool SameName(std::wstring_view a, std::wstring_view b);
