#pragma once
// Ordered 8-bit lines, each with an optional object.

#include "platform/ClassesU.h"

#include <string>
#include <string_view>
#include <vector>

class TStringList : public TObject {
public:
    TStringList() = default;
    explicit TStringList(bool ownsObjects) : ownsObjects_(ownsObjects) {}
    ~TStringList() override;
    TStringList(const TStringList&) = delete;
    TStringList& operator=(const TStringList&) = delete;

    int Count() const { return static_cast<int>(items_.size()); }
    const std::string& operator[](int index) const { return items_.at(index).text; }
    const std::string& Strings(int index) const { return items_.at(index).text; }
    // In sorted mode the changed line moves to its sorted place with its object.
    void SetString(int index, std::string text);
    TObject* Objects(int index) const { return items_.at(index).object; }
    // Replaces the object; an owned old object is freed.
    void SetObject(int index, TObject* object);

    // Add keeps the order in sorted mode (inserts at the sorted place, repeats kept).
    int Add(std::string text);
    int AddObject(std::string text, TObject* object);
    // In sorted mode the order, not index, decides the place.
    void Insert(int index, std::string text, TObject* object = nullptr);
    void Delete(int index); // frees an owned object
    void Clear();           // frees owned objects
    // Removes the line and hands back its object without freeing it.
    TObject* Extract(int index);

    // First line equal to text under the list's comparison; -1 when none.
    int IndexOf(std::string_view text) const;
    // Sorted mode: bisects with the very comparison the sort used; found gives the
    // index of the first equal line, else the insertion index.
    bool Find(std::string_view text, int& index) const;

    // Text: in, split at CR, LF or CR LF, a last unterminated line counting
    // ('' gives no lines, CR LF alone one empty line); out, every line followed by CR LF.
    std::string GetText() const;
    void SetText(std::string_view text);

    // Name=value lines: the name is the part before the first "=".
    std::string Names(int index) const;
    std::string ValueFromIndex(int index) const;
    // First line whose name matches ignoring case (CompareText); "key=" is found with ''.
    int IndexOfName(std::string_view name) const;
    std::string Values(std::string_view name) const;
    // Sets the value of the first matching line or appends "name=value";
    // an empty value deletes the line.
    void SetValue(std::string_view name, std::string_view value);

    // Sorted mode keeps the lines ordered by the list's comparison; repeats are kept.
    bool Sorted() const { return sorted_; }
    void SetSorted(bool sorted);
    void Sort();
    // Comparison: CompareText (system upper-casing) unless case-sensitive, then
    // unsigned bytes.
    bool CaseSensitive() const { return caseSensitive_; }
    void SetCaseSensitive(bool caseSensitive);
    int Compare(std::string_view a, std::string_view b) const;

    bool OwnsObjects() const { return ownsObjects_; }
    void SetOwnsObjects(bool owns) { ownsObjects_ = owns; }

private:
    struct Item {
        std::string text;
        TObject* object = nullptr;
        // A sorted list's upper-cased text, made once: upper-casing a line
        // at each comparison would cost a bisection the length of the
        // longest line it meets, every time. Empty when case-sensitive.
        std::string key;
    };
    std::string KeyOf(std::string_view text) const;
    // The key a sorted list compares (filled by InsertSorted and Sort).
    const std::string& SortKey(const Item& item) const
    {
        return caseSensitive_ ? item.text : item.key;
    }
    int InsertSorted(std::string text, TObject* object);

    std::vector<Item> items_;
    bool ownsObjects_ = false;
    bool sorted_ = false;
    bool caseSensitive_ = false;
};
