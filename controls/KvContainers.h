#pragma once
// The HTML units' container family: untyped containers of fixed-size items in
// memory they own, described by shared handler objects (item size and plain
// callbacks to initialise, free, copy, read and write one item; for hashes
// also the key's size and callbacks).
//
// TKvContainer (abstract)
//   TKvHash              keyed, chained hash in one slot array
//   TKvLinearContainer   (abstract, ordered)
//     TKvList            doubly linked
//     TKvTree            general tree of sibling lists
//     TKvVector          one contiguous block
//
// Items and keys are addressed by untyped pointers into container memory; a
// pointer stays valid only until the next operation that can move or free
// memory in that container (insertion, deletion, Pack, Clear, SetCount).
// Items are moved as raw bytes, so nothing stored may point into itself.
//
// Misuse raises EKvContainerError "Class <class name>: <message>" and leaves
// the object as it was. Containers and handlers belong to the GUI thread.

#include "controls/KvWideStrings.h"

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>

class TStream;
class TKvBinaryReader;
class TKvBinaryWriter;
class TKvContainer;

// Every misuse of a container or handler.
class EKvContainerError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The class library's error for an assignment between unrelated classes.
class EKvAssignError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The minimal property filer that containers offer themselves to: one binary
// property per object. The procedures get the property's stream, which may be
// null when the streaming side has none.
class TKvPropertyFiler {
public:
    using TStreamProc = std::function<void(TStream* stream)>;
    virtual ~TKvPropertyFiler() = default;
    virtual void DefineBinaryProperty(const std::string& name, TStreamProc readData,
                                      TStreamProc writeData, bool hasData) = 0;
};

// The persistent base: class name, assignment and the streaming hook.
class TKvPersistent {
public:
    virtual ~TKvPersistent() = default;
    virtual const char* ClassName() const { return "TKvPersistent"; }
    // Copies source into this object; the base asks source to AssignTo this and
    // raises EKvAssignError "Cannot assign a <source> to a <this>" when nobody can.
    virtual void Assign(const TKvPersistent& source);
    virtual void DefineProperties(TKvPropertyFiler& filer);

protected:
    virtual void AssignTo(TKvPersistent& dest) const;
};

class TKvErrorObject : public TKvPersistent {
public:
    const char* ClassName() const override { return "TKvErrorObject"; }
    // Raises EKvContainerError "Class " + ClassName() + ": " + message, the
    // message's one "%d" replaced by arg when given. Public so that handler
    // callbacks can report against the container they serve.
    [[noreturn]] void RaiseContainerError(const char* message) const;
    [[noreturn]] void RaiseContainerError(const char* message, int64_t arg) const;
};

// --- Handlers -------------------------------------------------------------------

using TKvInitItem = void (*)(void* item);
using TKvFreeItem = void (*)(void* item);
using TKvCopyItem = void (*)(const void* source, void* dest);
using TKvReadItem = void (*)(TKvContainer& container, TKvBinaryReader& reader, void* item,
                             void* data);
using TKvWriteItem = void (*)(TKvContainer& container, TKvBinaryWriter& writer, const void* item,
                              void* data);
using TKvReadHeader = void (*)(TKvContainer& container, TKvBinaryReader& reader);
using TKvWriteHeader = void (*)(TKvContainer& container, TKvBinaryWriter& writer);

using TKvHashKey = uint32_t (*)(const void* key);
using TKvHashKeyBuf = uint32_t (*)(const char16_t* buf, int32_t len);
using TKvSameKeys = bool (*)(const void* key1, const void* key2);
using TKvSameKeyBuf = bool (*)(const char16_t* buf, int32_t len, const void* storedKey);
using TKvStoreKey = void (*)(const void* source, void* dest);
using TKvStoreKeyBuf = void (*)(const char16_t* buf, int32_t len, void* dest);
using TKvFreeKey = void (*)(void* key);
using TKvReadKey = void (*)(TKvContainer& container, TKvBinaryReader& reader, void* key,
                            void* data);
using TKvWriteKey = void (*)(TKvContainer& container, TKvBinaryWriter& writer, const void* key,
                             void* data);

// A handler counts the containers bound to it and refuses to change while any
// is. Handlers live on the heap and are ended with Free, which refuses while the
// handler is in use and leaves it alive; the destructor never throws.
class TKvBaseHandler : public TKvErrorObject {
public:
    const char* ClassName() const override { return "TKvBaseHandler"; }
    int32_t UseCount() const noexcept { return useCount_; }
    // Deletes the handler; raises "ItemHandler in use during destruction" while
    // a container uses it.
    void Free();
    // Bound and unbound by container constructors and destructors.
    void AddUse() noexcept { ++useCount_; }
    void RemoveUse() noexcept { --useCount_; }

protected:
    void CheckNotInUse(const char* message) const;

private:
    int32_t useCount_ = 0;
};

class TKvItemHandler : public TKvBaseHandler {
public:
    const char* ClassName() const override { return "TKvItemHandler"; }

    int32_t ItemSize() const noexcept { return itemSize_; }
    TKvInitItem OnInitItem() const noexcept { return onInitItem_; }
    TKvFreeItem OnFreeItem() const noexcept { return onFreeItem_; }
    TKvCopyItem OnCopyItem() const noexcept { return onCopyItem_; }
    TKvReadItem OnReadItem() const noexcept { return onReadItem_; }
    TKvWriteItem OnWriteItem() const noexcept { return onWriteItem_; }
    TKvReadHeader OnReadHeader() const noexcept { return onReadHeader_; }
    TKvWriteHeader OnWriteHeader() const noexcept { return onWriteHeader_; }

    void SetItemSize(int32_t size);
    void SetOnInitItem(TKvInitItem fn);
    void SetOnFreeItem(TKvFreeItem fn);
    void SetOnCopyItem(TKvCopyItem fn);
    void SetOnReadItem(TKvReadItem fn);
    void SetOnWriteItem(TKvWriteItem fn);
    void SetOnReadHeader(TKvReadHeader fn);
    void SetOnWriteHeader(TKvWriteHeader fn);

private:
    int32_t itemSize_ = 0;
    TKvInitItem onInitItem_ = nullptr;
    TKvFreeItem onFreeItem_ = nullptr;
    TKvCopyItem onCopyItem_ = nullptr;
    TKvReadItem onReadItem_ = nullptr;
    TKvWriteItem onWriteItem_ = nullptr;
    TKvReadHeader onReadHeader_ = nullptr;
    TKvWriteHeader onWriteHeader_ = nullptr;
};

class TKvKeyHandler : public TKvBaseHandler {
public:
    const char* ClassName() const override { return "TKvKeyHandler"; }

    int32_t KeySize() const noexcept { return keySize_; }
    TKvHashKey OnHashKey() const noexcept { return onHashKey_; }
    TKvHashKeyBuf OnHashKeyBuf() const noexcept { return onHashKeyBuf_; }
    TKvSameKeys OnSameKeys() const noexcept { return onSameKeys_; }
    TKvSameKeyBuf OnSameKeyBuf() const noexcept { return onSameKeyBuf_; }
    TKvStoreKey OnStoreKey() const noexcept { return onStoreKey_; }
    TKvStoreKeyBuf OnStoreKeyBuf() const noexcept { return onStoreKeyBuf_; }
    TKvFreeKey OnFreeKey() const noexcept { return onFreeKey_; }
    TKvReadKey OnReadKey() const noexcept { return onReadKey_; }
    TKvWriteKey OnWriteKey() const noexcept { return onWriteKey_; }

    // The key handler's size setter reports with the item handler's wording.
    void SetKeySize(int32_t size);
    void SetOnHashKey(TKvHashKey fn);
    void SetOnHashKeyBuf(TKvHashKeyBuf fn);
    void SetOnSameKeys(TKvSameKeys fn);
    void SetOnSameKeyBuf(TKvSameKeyBuf fn);
    void SetOnStoreKey(TKvStoreKey fn);
    void SetOnStoreKeyBuf(TKvStoreKeyBuf fn);
    void SetOnFreeKey(TKvFreeKey fn);
    void SetOnReadKey(TKvReadKey fn);
    void SetOnWriteKey(TKvWriteKey fn);

private:
    int32_t keySize_ = 0;
    TKvHashKey onHashKey_ = nullptr;
    TKvHashKeyBuf onHashKeyBuf_ = nullptr;
    TKvSameKeys onSameKeys_ = nullptr;
    TKvSameKeyBuf onSameKeyBuf_ = nullptr;
    TKvStoreKey onStoreKey_ = nullptr;
    TKvStoreKeyBuf onStoreKeyBuf_ = nullptr;
    TKvFreeKey onFreeKey_ = nullptr;
    TKvReadKey onReadKey_ = nullptr;
    TKvWriteKey onWriteKey_ = nullptr;
};

// Shared handlers are created on first request, each once, and freed at program
// end after the containers that use them (one still in use then is left and
// logged). Takes ownership of handler and returns it.
TKvBaseHandler* KvRegisterSharedHandler(TKvBaseHandler* handler);

// --- Containers -----------------------------------------------------------------

using TKvSameItems = bool (*)(const void* item, const void* data);
using TKvIterateItems = std::function<void(void* item)>;

// Options of ReadFromFiler and WriteToFiler.
enum : uint32_t {
    kvfoMagic = 1,
    kvfoVersion = 2,
    kvfoHeader = 4,
    kvfoAll = kvfoMagic | kvfoVersion | kvfoHeader,
};

int32_t ContainerCapacity(int32_t n) noexcept;
int32_t ShrinkThreshold(int32_t m) noexcept;

class TKvContainer : public TKvErrorObject {
public:
    // Raises "ItemHandler is nil" without a handler; binds it otherwise.
    // className names the class being built (its virtual name is not in force
    // while a base constructor runs).
    TKvContainer(TKvItemHandler* itemHandler, const char* className);
    ~TKvContainer() override;
    TKvContainer(const TKvContainer&) = delete;
    TKvContainer& operator=(const TKvContainer&) = delete;

    const char* ClassName() const override { return "TKvContainer"; }
    TKvItemHandler* ItemHandler() const noexcept { return itemHandler_; }
    int32_t Count() const noexcept { return count_; }
    bool NotEmpty() const noexcept { return count_ != 0; }

    // One binary property named after the class, stored only when not empty.
    void DefineProperties(TKvPropertyFiler& filer) override;

    virtual void Clear() = 0;
    virtual bool Exists(const void* data, TKvSameItems sameItems) const = 0;
    virtual bool ExistsBackward(const void* data, TKvSameItems sameItems) const = 0;
    virtual void Iterate(const TKvIterateItems& iterateItems) = 0;
    virtual void* FindFirst(const void* data, TKvSameItems sameItems) const = 0;
    virtual void* FindLast(const void* data, TKvSameItems sameItems) const = 0;
    // Options: kvfo... flags. Data goes to every key and item callback.
    virtual void ReadFromFiler(TKvBinaryReader& reader, uint32_t options, void* data) = 0;
    virtual void WriteToFiler(TKvBinaryWriter& writer, uint32_t options, void* data) = 0;

protected:
    void CheckSameItems(TKvSameItems sameItems) const;
    void CheckIterate(const TKvIterateItems& iterateItems) const;
    void CheckReadItem() const;
    void CheckWriteItem() const;
    // Magic, version and header, as the options ask.
    void ReadPrologue(TKvBinaryReader& reader, uint32_t options, const char* magic);
    void WritePrologue(TKvBinaryWriter& writer, uint32_t options, const char* magic);
    void InitItem(void* item) const;
    void FreeItem(void* item) const noexcept;

    TKvItemHandler* itemHandler_;
    int32_t count_ = 0;
};

class TKvHash : public TKvContainer {
public:
    // Raises "KeyHandler is nil" without a key handler.
    TKvHash(TKvItemHandler* itemHandler, TKvKeyHandler* keyHandler)
        : TKvHash(itemHandler, keyHandler, "TKvHash")
    {
    }
    ~TKvHash() override;
    const char* ClassName() const override { return "TKvHash"; }

    TKvKeyHandler* KeyHandler() const noexcept { return keyHandler_; }
    int32_t HashCount() const noexcept { return hashCount_; }
    int32_t SlotCount() const noexcept { return slotCount_; }
    int32_t FirstDeleted() const noexcept { return firstDeleted_; }

    // Nil when the key is already present (nothing changes then).
    void* Insert(const void* key);
    void* FindOrInsert(const void* key);
    void* Find(const void* key) const;
    void* FindBuf(const char16_t* buf, int32_t len) const;
    void Delete(const void* key);
    void SetHashCount(int32_t n);
    void Rehash();
    void Pack();
    bool IsSlotDeleted(int32_t index) const;
    void* PKeyAtSlot(int32_t index) const;
    void* PItemAtSlot(int32_t index) const;
    // The raw header of a slot (tests and the free-list walk).
    uint32_t SlotHeader(int32_t index) const;
    // Index of the first slot of a bucket's chain; negative when empty.
    int32_t BucketHead(int32_t bucket) const;

protected:
    TKvHash(TKvItemHandler* itemHandler, TKvKeyHandler* keyHandler, const char* className);

public:
    void Clear() override;
    bool Exists(const void* data, TKvSameItems sameItems) const override;
    bool ExistsBackward(const void* data, TKvSameItems sameItems) const override;
    void Iterate(const TKvIterateItems& iterateItems) override;
    void* FindFirst(const void* data, TKvSameItems sameItems) const override;
    void* FindLast(const void* data, TKvSameItems sameItems) const override;
    void ReadFromFiler(TKvBinaryReader& reader, uint32_t options, void* data) override;
    void WriteToFiler(TKvBinaryWriter& writer, uint32_t options, void* data) override;

private:
    struct Hit {
        int32_t slot;    // negative when absent
        int32_t prev;    // the slot before it in the chain, or the tail; negative: none
        uint32_t bucket; // the key's bucket
    };
    Hit Lookup(const void* key) const;
    char* Slot(int32_t index) const;
    uint32_t& Header(int32_t index) const;
    void* KeyOf(int32_t index) const;
    void* ItemOf(int32_t index) const;
    bool Live(int32_t index) const;
    void* AddEntry(const void* key, const Hit& hit);
    void ResizeSlots(int32_t newCount);
    void FreeLiveSlots() noexcept;
    void RebuildAfterRead();

    TKvKeyHandler* keyHandler_;
    int32_t hashCount_ = 0;
    int32_t firstDeleted_;
    int32_t* buckets_ = nullptr;
    char* slots_ = nullptr;
    int32_t slotCount_ = 0;
    size_t keyOffset_, itemOffset_, slotSize_;
};

class TKvLinearContainer : public TKvContainer {
public:
    using TKvContainer::TKvContainer;
    const char* ClassName() const override { return "TKvLinearContainer"; }
    // The plain forms call OnInitItem on the new item; the Raw forms leave the
    // memory as allocated, for callers that fill it at once.
    virtual void* InsertFirst() = 0;
    virtual void* InsertFirstRaw() = 0;
    virtual void* InsertLast() = 0;
    virtual void* InsertLastRaw() = 0;
    virtual void* PFirstItem() const = 0;
    virtual void* PLastItem() const = 0;

    // Lists, trees and vectors copy from each other (in that order of test);
    // any other source gets the persistent base's assignment error.
    void Assign(const TKvPersistent& source) override;

protected:
    // Checks handler identity and OnCopyItem before anything changes.
    void CheckAssignable(const TKvContainer& source) const;
    // The general rule: clear, then append a copy of every source item.
    void AppendCopies(const TKvContainer& source);
};

class TKvList : public TKvLinearContainer {
public:
    explicit TKvList(TKvItemHandler* itemHandler) : TKvLinearContainer(itemHandler, "TKvList") {}
    ~TKvList() override;
    const char* ClassName() const override { return "TKvList"; }

    void* InsertFirst() override;
    void* InsertFirstRaw() override;
    void* InsertLast() override;
    void* InsertLastRaw() override;
    // Nil on an empty list.
    void* PFirstItem() const override;
    void* PLastItem() const override;
    // Raises "Container is empty" on an empty list.
    void DeleteLast();
    // Forward walk from an item pointer; nil after the last.
    void* NextItem(const void* item) const;
    void* PrevItem(const void* item) const;

    void Clear() override;
    bool Exists(const void* data, TKvSameItems sameItems) const override;
    bool ExistsBackward(const void* data, TKvSameItems sameItems) const override;
    void Iterate(const TKvIterateItems& iterateItems) override;
    void* FindFirst(const void* data, TKvSameItems sameItems) const override;
    void* FindLast(const void* data, TKvSameItems sameItems) const override;
    void ReadFromFiler(TKvBinaryReader& reader, uint32_t options, void* data) override;
    void WriteToFiler(TKvBinaryWriter& writer, uint32_t options, void* data) override;

private:
    struct Node {
        Node* prev;
        Node* next;
    };
    static void* ItemOf(const Node* node);
    static Node* NodeOf(const void* item);
    Node* NewNode(bool atFront);

    Node* first_ = nullptr;
    Node* last_ = nullptr;
};

class TKvTree : public TKvLinearContainer {
public:
    explicit TKvTree(TKvItemHandler* itemHandler) : TKvLinearContainer(itemHandler, "TKvTree") {}
    ~TKvTree() override;
    const char* ClassName() const override { return "TKvTree"; }

    // Top-level nodes without children.
    void* InsertFirst() override;
    void* InsertFirstRaw() override;
    void* InsertLast() override;
    void* InsertLastRaw() override;
    // Children of the node holding parentItem (nil: top level).
    void* InsertFirstChild(void* parentItem);
    void* InsertFirstChildRaw(void* parentItem);
    void* InsertLastChild(void* parentItem);
    void* InsertLastChildRaw(void* parentItem);
    // The first top-level item; nil when empty.
    void* PFirstItem() const override;
    // The last item in pre-order (the deepest last descendant); nil when empty.
    void* PLastItem() const override;
    // Pre-order neighbours of an item; nil at either end.
    void* NextItem(const void* item) const;
    void* PrevItem(const void* item) const;
    // Structure of an item's node; nil where there is none (the parent of a
    // top-level item is nil).
    void* ParentItem(const void* item) const;
    void* FirstChildItem(const void* item) const;
    void* NextSiblingItem(const void* item) const;

    void Assign(const TKvPersistent& source) override;
    void Clear() override;
    bool Exists(const void* data, TKvSameItems sameItems) const override;
    bool ExistsBackward(const void* data, TKvSameItems sameItems) const override;
    void Iterate(const TKvIterateItems& iterateItems) override;
    void* FindFirst(const void* data, TKvSameItems sameItems) const override;
    void* FindLast(const void* data, TKvSameItems sameItems) const override;
    void ReadFromFiler(TKvBinaryReader& reader, uint32_t options, void* data) override;
    void WriteToFiler(TKvBinaryWriter& writer, uint32_t options, void* data) override;

private:
    struct Node {
        Node* parent;
        Node* prevSibling;
        Node* nextSibling;
        Node* firstChild;
        Node* lastChild;
    };
    static void* ItemOf(const Node* node);
    static Node* NodeOf(const void* item);
    Node* ParentNode(void* parentItem);
    Node* NewNode(Node* parent, bool atFront, bool init);
    const Node* Next(const Node* node) const;
    const Node* Prev(const Node* node) const;
    static const Node* DeepestLast(const Node* node);
    // Unlinks and frees a childless node that is its parent's last child.
    void DropLastLeaf(Node* node) noexcept;

    // Every walk is iterative: a tree's depth comes from its data (a stream's
    // child counts), and one stack frame per level would overflow.
    Node root_{nullptr, nullptr, nullptr, nullptr, nullptr};
};

class TKvVector : public TKvLinearContainer {
public:
    explicit TKvVector(TKvItemHandler* itemHandler) : TKvVector(itemHandler, "TKvVector") {}
    ~TKvVector() override;
    const char* ClassName() const override { return "TKvVector"; }

    void* InsertFirst() override;
    void* InsertFirstRaw() override;
    void* InsertLast() override;
    void* InsertLastRaw() override;
    // Raise "List index out of bounds (0)" on an empty vector.
    void* PFirstItem() const override;
    void* PLastItem() const override;
    // Raise "List index out of bounds (%d)" outside 0..Count-1.
    void* PItemAt(int32_t index) const;
    void Delete(int32_t index);
    int32_t IndexOf(const void* data, TKvSameItems sameItems) const;
    // Growing initialises the new items in ascending order, shrinking frees the
    // dropped ones from the last down. Below 0 raises "List index out of bounds (%d)".
    void SetCount(int32_t n);
    // Room for this many items (ContainerCapacity of Count).
    int32_t Capacity() const noexcept { return ContainerCapacity(count_); }

    void Assign(const TKvPersistent& source) override;
    void Clear() override;
    bool Exists(const void* data, TKvSameItems sameItems) const override;
    bool ExistsBackward(const void* data, TKvSameItems sameItems) const override;
    void Iterate(const TKvIterateItems& iterateItems) override;
    void* FindFirst(const void* data, TKvSameItems sameItems) const override;
    void* FindLast(const void* data, TKvSameItems sameItems) const override;
    void ReadFromFiler(TKvBinaryReader& reader, uint32_t options, void* data) override;
    void WriteToFiler(TKvBinaryWriter& writer, uint32_t options, void* data) override;

protected:
    TKvVector(TKvItemHandler* itemHandler, const char* className);
    void CheckIndex(int32_t index) const;
    char* ItemAt(int32_t index) const { return items_ + static_cast<size_t>(index) * itemSize_; }

private:
    void Resize(int32_t newCount);

    char* items_ = nullptr;
    size_t itemSize_;
};
