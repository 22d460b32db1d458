#include "platform/StringListU.h"

#include "platform/SysUtilsU.h"

#include <algorithm>
#include <numeric>
#include <stdexcept>

namespace {

int CompareBytes(std::string_view a, std::string_view b)
{
    const size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        const auto ca = static_cast<unsigned char>(a[i]);
        const auto cb = static_cast<unsigned char>(b[i]);
        if (ca != cb)
            return ca < cb ? -1 : 1;
    }
    if (a.size() == b.size())
        return 0;
    return a.size() < b.size() ? -1 : 1;
}

std::string_view NamePart(std::string_view line, bool& hasSeparator)
{
    const size_t eq = line.find('=');
    hasSeparator = eq != std::string_view::npos;
    return hasSeparator ? line.substr(0, eq) : std::string_view{};
}

} // namespace

TStringList::~TStringList()
{
    Clear();
}

// The list's comparison is "compare these keys as unsigned bytes", the key being
// the system's upper-casing unless the list is case-sensitive. Sort, Find and
// IndexOf all go through it, so a bisection never disagrees with the order.
std::string TStringList::KeyOf(std::string_view text) const
{
    return caseSensitive_ ? std::string(text) : UpperCase(text);
}

int TStringList::Compare(std::string_view a, std::string_view b) const
{
    if (caseSensitive_)
        return CompareBytes(a, b);
    return CompareBytes(UpperCase(a), UpperCase(b));
}

void TStringList::SetString(int index, std::string text)
{
    Item& item = items_.at(static_cast<size_t>(index));
    if (!sorted_) {
        item.text = std::move(text);
        return;
    }
    // A changed line moves to its sorted place, keeping its object.
    TObject* object = item.object;
    items_.erase(items_.begin() + index);
    InsertSorted(std::move(text), object);
}

void TStringList::SetObject(int index, TObject* object)
{
    Item& item = items_.at(static_cast<size_t>(index));
    if (ownsObjects_ && item.object != object)
        delete item.object;
    item.object = object;
}

int TStringList::Add(std::string text)
{
    return AddObject(std::move(text), nullptr);
}

int TStringList::AddObject(std::string text, TObject* object)
{
    if (sorted_)
        return InsertSorted(std::move(text), object);
    items_.push_back(Item{std::move(text), object, {}});
    return Count() - 1;
}

int TStringList::InsertSorted(std::string text, TObject* object)
{
    // After the lines that compare equal, so that repeats keep the order they came in.
    const std::string key = KeyOf(text);
    int lo = 0;
    int hi = Count();
    while (lo < hi) {
        const int mid = lo + (hi - lo) / 2;
        if (CompareBytes(SortKey(items_[static_cast<size_t>(mid)]), key) <= 0)
            lo = mid + 1;
        else
            hi = mid;
    }
    items_.insert(items_.begin() + lo,
                  Item{std::move(text), object, caseSensitive_ ? std::string() : key});
    return lo;
}

void TStringList::Insert(int index, std::string text, TObject* object)
{
    if (sorted_) {
        // The order decides the place in a sorted list.
        InsertSorted(std::move(text), object);
        return;
    }
    if (index < 0 || index > Count())
        throw std::out_of_range("List index out of bounds (" + std::to_string(index) + ")");
    items_.insert(items_.begin() + index, Item{std::move(text), object, {}});
}

void TStringList::Delete(int index)
{
    TObject* object = items_.at(static_cast<size_t>(index)).object;
    items_.erase(items_.begin() + index);
    if (ownsObjects_)
        delete object;
}

void TStringList::Clear()
{
    std::vector<Item> old;
    old.swap(items_);
    if (ownsObjects_) {
        for (auto it = old.rbegin(); it != old.rend(); ++it)
            delete it->object;
    }
}

TObject* TStringList::Extract(int index)
{
    TObject* object = items_.at(static_cast<size_t>(index)).object;
    items_.erase(items_.begin() + index);
    return object;
}

int TStringList::IndexOf(std::string_view text) const
{
    if (sorted_) {
        int index = -1;
        return Find(text, index) ? index : -1;
    }
    const std::string key = KeyOf(text);
    for (int i = 0; i < Count(); ++i) {
        if (CompareBytes(KeyOf(items_[static_cast<size_t>(i)].text), key) == 0)
            return i;
    }
    return -1;
}

bool TStringList::Find(std::string_view text, int& index) const
{
    const std::string key = KeyOf(text);
    if (!sorted_) {
        // Bisection needs the order; an unsorted list is searched line by line.
        for (int i = 0; i < Count(); ++i) {
            if (CompareBytes(KeyOf(items_[static_cast<size_t>(i)].text), key) == 0) {
                index = i;
                return true;
            }
        }
        index = Count();
        return false;
    }
    int lo = 0;
    int hi = Count();
    while (lo < hi) {
        const int mid = lo + (hi - lo) / 2;
        if (CompareBytes(SortKey(items_[static_cast<size_t>(mid)]), key) < 0)
            lo = mid + 1;
        else
            hi = mid;
    }
    index = lo;
    return lo < Count() && CompareBytes(SortKey(items_[static_cast<size_t>(lo)]), key) == 0;
}

std::string TStringList::GetText() const
{
    size_t total = 0;
    for (const Item& item : items_)
        total += item.text.size() + 2;
    std::string out;
    out.reserve(total);
    for (const Item& item : items_) {
        out += item.text;
        out += "\r\n";
    }
    return out;
}

void TStringList::SetText(std::string_view text)
{
    Clear();
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = pos;
        while (end < text.size() && text[end] != '\r' && text[end] != '\n')
            ++end;
        items_.push_back(Item{std::string(text.substr(pos, end - pos)), nullptr, {}});
        // CR LF is one line break; a lone CR or LF is one too.
        if (end < text.size() && text[end] == '\r')
            ++end;
        else if (end < text.size() && text[end] == '\n')
            ++end;
        if (end < text.size() && text[end - 1] == '\r' && text[end] == '\n')
            ++end;
        pos = end;
    }
    if (sorted_)
        Sort();
}

std::string TStringList::Names(int index) const
{
    bool hasSeparator = false;
    return std::string(NamePart(Strings(index), hasSeparator));
}

std::string TStringList::ValueFromIndex(int index) const
{
    const std::string& line = Strings(index);
    const size_t eq = line.find('=');
    return eq == std::string::npos ? std::string() : line.substr(eq + 1);
}

int TStringList::IndexOfName(std::string_view name) const
{
    const std::string key = UpperCase(name);
    for (int i = 0; i < Count(); ++i) {
        bool hasSeparator = false;
        const std::string_view part = NamePart(items_[static_cast<size_t>(i)].text, hasSeparator);
        if (hasSeparator && part.size() == key.size() && UpperCase(part) == key)
            return i;
    }
    return -1;
}

std::string TStringList::Values(std::string_view name) const
{
    const int index = IndexOfName(name);
    return index < 0 ? std::string() : ValueFromIndex(index);
}

void TStringList::SetValue(std::string_view name, std::string_view value)
{
    const int index = IndexOfName(name);
    if (value.empty()) {
        if (index >= 0)
            Delete(index);
        return;
    }
    std::string line;
    line.reserve(name.size() + 1 + value.size());
    line.append(name).append("=").append(value);
    if (index >= 0)
        SetString(index, std::move(line));
    else
        Add(std::move(line));
}

void TStringList::SetSorted(bool sorted)
{
    if (sorted && !sorted_)
        Sort();
    sorted_ = sorted;
}

void TStringList::Sort()
{
    // Keys made once per line; stable so that repeats keep their order.
    std::vector<std::string> keys;
    keys.reserve(items_.size());
    for (const Item& item : items_)
        keys.push_back(KeyOf(item.text));
    std::vector<size_t> order(items_.size());
    std::iota(order.begin(), order.end(), size_t{0});
    std::stable_sort(order.begin(), order.end(),
                     [&keys](size_t a, size_t b) { return CompareBytes(keys[a], keys[b]) < 0; });
    std::vector<Item> sorted;
    sorted.reserve(items_.size());
    for (size_t i : order) {
        sorted.push_back(std::move(items_[i]));
        sorted.back().key = caseSensitive_ ? std::string() : std::move(keys[i]);
    }
    items_.swap(sorted);
}

void TStringList::SetCaseSensitive(bool caseSensitive)
{
    if (caseSensitive == caseSensitive_)
        return;
    caseSensitive_ = caseSensitive;
    if (sorted_)
        Sort();
}
