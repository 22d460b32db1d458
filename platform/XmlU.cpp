#include "platform/XmlU.h"

#include "platform/SysUtilsU.h"
#include "platform/UnicodeU.h"

#include <algorithm>

namespace {

// The longest entity text XmlUnescape decodes, "&" included and ";" excluded.
// The tray program has always read its files with the shorter window.
#ifdef KORV_TRAY_BUILD
constexpr size_t EntityWindow = 5;
#else
constexpr size_t EntityWindow = 10;
#endif

constexpr unsigned char Tab = 9, Lf = 10, Cr = 13, Space = 32;

unsigned char Byte(char c)
{
    return static_cast<unsigned char>(c);
}

// Bytes the escapers write as numeric references. 133 stays as it is: the
// readers of our files expect it so.
bool IsNumericEscaped(unsigned char c)
{
    return c <= 31 || (c >= 127 && c <= 132) || (c >= 134 && c <= 159) || c == '"';
}

void AppendNumericEscape(std::string& out, unsigned char c)
{
    out += "&#";
    out += std::to_string(c);
    out += ';';
}

bool StartsWithAsciiNoCase(std::string_view s, size_t at, std::string_view prefix)
{
    return s.size() - at >= prefix.size() && SameTextAscii(s.substr(at, prefix.size()), prefix);
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The number of a character reference: decimal with an optional leading minus,
// or hexadecimal after "X"/"x"; 32 bits, as the files were always read. Anything
// else (including an empty text) is not a number and gives a space.
int64_t EntityNumber(std::string_view text)
{
    constexpr int64_t NotANumber = 32;
    if (text.empty())
        return NotANumber;
    int64_t value = 0;
    if (text[0] == 'X' || text[0] == 'x') {
        text.remove_prefix(1);
        if (text.empty())
            return NotANumber;
        for (char c : text) {
            int digit = HexDigit(c);
            if (digit < 0)
                return NotANumber;
            value = value * 16 + digit;
            if (value > 0xFFFFFFFFLL)
                return NotANumber;
        }
        // Eight hex digits wrap into the signed 32-bit range (FFFFFFFF is -1).
        return static_cast<int32_t>(static_cast<uint32_t>(value));
    }
    bool negative = text[0] == '-';
    if (negative)
        text.remove_prefix(1);
    if (text.empty())
        return NotANumber;
    for (char c : text) {
        if (c < '0' || c > '9')
            return NotANumber;
        value = value * 10 + (c - '0');
        if (value > 0x80000000LL)
            return NotANumber;
    }
    if (negative)
        value = -value;
    if (value > INT32_MAX)
        return NotANumber;
    return value;
}

void AppendEntity(std::string& out, std::string_view entity, bool isUtf8)
{
    struct Named {
        std::string_view text;
        char result;
    };
    static constexpr Named named[] = {
        {"&LT", '<'}, {"&GT", '>'}, {"&AMP", '&'}, {"&APOS", '\''}, {"&QUOT", '"'},
    };
    for (const Named& n : named) {
        if (SameTextAscii(entity, n.text)) {
            out += n.result;
            return;
        }
    }
    // Any other entity is a character reference, without checking for "#":
    // "&nbsp;" and "&#;" give a space.
    int64_t number = EntityNumber(entity.size() > 2 ? entity.substr(2) : std::string_view{});
    if (isUtf8)
        out += EncodeUtf8CodePoint(number);
    else
        out += static_cast<char>(((number % 256) + 256) % 256);
}

// Closes a file handle on every way out.
class FileHandle {
public:
    explicit FileHandle(HANDLE h) : h_(h) {}
    ~FileHandle()
    {
        if (h_ != INVALID_HANDLE_VALUE)
            CloseHandle(h_);
    }
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    HANDLE get() const { return h_; }

private:
    HANDLE h_;
};

} // namespace

// ---------------------------------------------------------------- TXMLTag

TXMLTag::~TXMLTag()
{
    if (DetachOnFree && parent_) {
        auto& siblings = parent_->children_;
        auto it =
            std::find_if(siblings.begin(), siblings.end(),
                         [this](const std::unique_ptr<TXMLTag>& c) { return c.get() == this; });
        if (it != siblings.end()) {
            // We are being deleted already: the parent's entry must let go, not free us again.
            it->release();
            siblings.erase(it);
        }
    }
    Clear();
}

void TXMLTag::Clear()
{
    Name.clear();
    Text.clear();
    SearchName.clear();
    // Children are freed last to first and told not to detach: the list is
    // emptied as a whole afterwards.
    for (auto it = children_.rbegin(); it != children_.rend(); ++it) {
        if (*it) {
            (*it)->DetachOnFree = false;
            it->reset();
        }
    }
    children_.clear();
    Attributes.clear();
}

TXMLTag* TXMLTag::AddChild(std::string_view name, std::string_view attrName,
                           std::string_view attrValue)
{
    children_.push_back(std::make_unique<TXMLTag>(this));
    TXMLTag* child = children_.back().get();
    child->Name = name;
    if (!attrName.empty() && !attrValue.empty())
        child->SetAttribute(attrName, attrValue);
    return child;
}

TXMLTag* TXMLTag::GetChild(int index) const
{
    if (index < 0 || index >= ChildCount())
        return nullptr;
    return children_[index].get();
}

int TXMLTag::IndexOfAttribute(std::string_view name) const
{
    for (size_t i = 0; i < Attributes.size(); ++i) {
        if (SameTextAscii(Attributes[i].Name, name))
            return static_cast<int>(i);
    }
    return -1;
}

void TXMLTag::SetAttribute(std::string_view name, std::string_view value)
{
    int index = IndexOfAttribute(name);
    if (index >= 0)
        Attributes[index].Value = value;
    else
        Attributes.push_back({std::string(name), std::string(value)});
}

TXMLTag* TXMLTag::FindFirst(std::string_view name)
{
    SearchName = AsciiUpperCase(name);
    SearchPos = 0;
    return FindNext();
}

TXMLTag* TXMLTag::FindNext()
{
    for (; SearchPos >= 0 && SearchPos < ChildCount(); ++SearchPos) {
        TXMLTag* child = children_[SearchPos].get();
        if (AsciiUpperCase(child->Name) == SearchName) {
            ++SearchPos;
            return child;
        }
    }
    SearchPos = ChildCount();
    return nullptr;
}

std::string TXMLTag::GetAttribute(const TXMLTag* tag, std::string_view name)
{
    if (!tag)
        return {};
    int index = tag->IndexOfAttribute(name);
    return index >= 0 ? tag->Attributes[index].Value : std::string();
}

std::string TXMLTag::GetText(const TXMLTag* tag)
{
    return tag ? tag->Text : std::string();
}

TXMLTag* TXMLTag::FindPath(TXMLTag* tag, std::initializer_list<std::string_view> names)
{
    for (std::string_view name : names) {
        if (!tag)
            return nullptr;
        tag = tag->FindFirst(name);
    }
    return tag;
}

TXMLTag* TXMLTag::FindPath(TXMLTag* tag, const std::vector<std::string>& names)
{
    for (const std::string& name : names) {
        if (!tag)
            return nullptr;
        tag = tag->FindFirst(name);
    }
    return tag;
}

// ---------------------------------------------------------------- TXML

TXML::TXML() : root_(std::make_unique<TXMLTag>()) {}

TXML::~TXML() = default;

void TXML::LoadFromString(std::string_view s)
{
    source_.assign(s.data(), s.size());
    Parse();
}

bool TXML::LoadFromFile(const std::string& fileNameAnsi)
{
    // A name with a NUL inside would name another file to the A call.
    if (fileNameAnsi.find('\0') != std::string::npos)
        return false;
    DWORD attributes = GetFileAttributesA(fileNameAnsi.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY))
        return false;
    FileHandle file(CreateFileA(fileNameAnsi.c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.get() == INVALID_HANDLE_VALUE)
        return false;
    std::string text;
    try {
        THandleStream stream(file.get());
        text = ReadWholeStream(stream);
    } catch (const EStreamError&) {
        return false; // unreadable: the previous tree stays
    }
    source_ = std::move(text);
    Parse();
    return true;
}

void TXML::Clear()
{
    root_ = std::make_unique<TXMLTag>();
    Errors.Clear();
    complete_ = false;
}

// One pass over Source with an explicit current element instead of one call
// per nesting level, so hostile nesting cannot exhaust the stack; MaxDepth
// still bounds the tree for the code that walks it recursively. Every "not
// found" ends the whole parse with the tree built so far.
void TXML::Parse()
{
    Clear();
    const std::string_view src = source_;
    const size_t n = src.size();
    constexpr size_t npos = std::string_view::npos;

    TXMLTag* const root = root_.get();
    TXMLTag* parent = root;
    int depth = 0; // nesting depth of parent; Root is 0
    int topElements = 0;
    bool reachedEnd = false; // left the loop because Source ran out at a tag boundary
    size_t pos = 0;          // 0-based; Cursor is pos + 1

    auto isNameEnd = [](char c) { return c == Cr || c == Space || c == '/' || c == '>'; };

    for (;;) {
        if (pos >= n) {
            reachedEnd = true;
            break;
        }

        // Text run up to the "<" of the next tag; CDATA sections on the way
        // replace the element's text verbatim.
        const size_t start = pos;
        size_t walk = pos;
        size_t tagStart = npos;
        bool stop = false;
        for (;;) {
            size_t lt = src.find('<', walk);
            if (lt == npos)
                break;
            if (lt + 1 < n && src[lt + 1] == '!' && src.substr(lt + 2, 7) == "[CDATA[") {
                size_t contentStart = lt + 9;
                size_t close = src.find("]]>", contentStart);
                if (close == npos) {
                    stop = true;
                    break;
                }
                parent->Text.assign(src.substr(contentStart, close - contentStart));
                parent->IsCData = true;
                walk = close + 3;
                continue;
            }
            tagStart = lt;
            break;
        }
        if (stop)
            break;
        if (tagStart == npos) {
            pos = n;
            reachedEnd = true;
            break;
        }
        // Only the text before an element's first child is kept.
        if (parent->Text.empty() && parent->ChildCount() == 0)
            parent->Text = XmlUnescape(Trim(src.substr(start, tagStart - start)), Utf8);

        pos = tagStart + 1;
        if (pos >= n)
            break;
        bool endTag = false;
        bool childless = false;
        if (src[pos] == '/') {
            endTag = true;
            ++pos;
        } else if (src[pos] == '!' || src[pos] == '?') {
            childless = true;
            ++pos;
        }
        const bool declaration = childless;

        // Name: up to CR, space, "/" or ">" (TAB and LF belong to it).
        size_t nameEnd = pos;
        while (nameEnd < n && !isNameEnd(src[nameEnd]))
            ++nameEnd;
        if (nameEnd >= n)
            break;
        const std::string_view name = src.substr(pos, nameEnd - pos);
        pos = nameEnd;
        while (pos < n && (src[pos] == Cr || src[pos] == Lf))
            ++pos;

        if (endTag) {
            // One character is stepped over, meant to be the ">".
            if (pos >= n)
                break;
            ++pos;
            if (name != parent->Name) {
                Errors.Add("Invalid End Tag \"" + std::string(name) + "\" shoud be \"" +
                           parent->Name + "\"");
            }
            // An end tag always closes the current level, matching or not; at the
            // top level it ends the parse.
            if (parent == root)
                break;
            parent->Closed = true;
            parent = parent->Parent();
            --depth;
            continue;
        }

        if (depth >= MaxDepth)
            break;
        TXMLTag* child = parent->AddChild(name);
        if (parent == root && !declaration)
            ++topElements;

        // Attributes, up to the tag's ">".
        bool tagClosed = false;
        for (;;) {
            while (pos < n &&
                   (src[pos] == Tab || src[pos] == Lf || src[pos] == Cr || src[pos] == Space))
                ++pos;
            if (pos >= n)
                break;
            const size_t attrStart = pos;
            size_t nameStop = npos; // last space or "/" before the "="
            while (pos < n && src[pos] != '=' && src[pos] != '>') {
                if (src[pos] == '/') {
                    childless = true;
                    nameStop = pos;
                } else if (src[pos] == Space) {
                    nameStop = pos;
                }
                ++pos;
            }
            if (pos >= n)
                break;
            if (nameStop == npos)
                nameStop = pos;
            if (src[pos] == '>') {
                ++pos;
                tagClosed = true;
                break;
            }
            const std::string_view attrName = src.substr(attrStart, nameStop - attrStart);
            // Only double quotes delimit a value.
            size_t open = src.find('"', pos);
            if (open == npos)
                break;
            size_t close = src.find('"', open + 1);
            if (close == npos)
                break;
            const std::string_view value = src.substr(open + 1, close - open - 1);
            pos = close + 1;
            child->Attributes.push_back({XmlUnescape(attrName, Utf8), XmlUnescape(value, Utf8)});
        }
        if (!tagClosed)
            break;

        if (childless) {
            child->Closed = true;
        } else {
            parent = child;
            ++depth;
        }
    }

    cursor_ = static_cast<int32_t>(std::min(pos, n) + 1);
    complete_ = reachedEnd && depth == 0 && topElements > 0;
}

// ---------------------------------------------------------------- escaping

std::string XmlEscape(std::string_view s, bool keepControls)
{
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        const unsigned char c = Byte(s[i]);
        if (c == '<') {
            out += "&lt;";
        } else if (c == '>') {
            out += "&gt;";
        } else if (c == '&') {
            // Already escaped text is left alone; "&quot;" and "&apos;" are not
            // recognised and get escaped again.
            bool escaped =
                StartsWithAsciiNoCase(s, i, "&#") || StartsWithAsciiNoCase(s, i, "&amp;") ||
                StartsWithAsciiNoCase(s, i, "&lt;") || StartsWithAsciiNoCase(s, i, "&gt;");
            out += escaped ? "&" : "&amp;";
        } else if (!keepControls && IsNumericEscaped(c)) {
            AppendNumericEscape(out, c);
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::string XmlEscapeText(std::string_view s, bool isUtf8, bool sanitize)
{
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        const unsigned char c = Byte(s[i]);
        if (c == '<') {
            out += "&lt;";
        } else if (c == '>') {
            out += "&gt;";
        } else if (c == '&') {
            out += "&amp;";
        } else if (sanitize && c < Space && c != Tab && c != Lf && c != Cr) {
            out += ' ';
        } else if (sanitize && isUtf8 && (c == 0xED || c == 0xEF) && s.size() - i >= 3) {
            // A three-byte sequence taken by its length alone: surrogates and the
            // two non-characters U+FFFE, U+FFFF are not allowed in XML.
            const uint32_t codePoint =
                ((c & 0x0Fu) << 12) | ((Byte(s[i + 1]) & 0x3Fu) << 6) | (Byte(s[i + 2]) & 0x3Fu);
            if ((codePoint >= 0xD800 && codePoint <= 0xDFFF) || codePoint == 0xFFFE ||
                codePoint == 0xFFFF) {
                out += ' ';
                i += 2;
            } else {
                out += static_cast<char>(c);
            }
        } else if (!isUtf8 && IsNumericEscaped(c)) {
            AppendNumericEscape(out, c);
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::string XmlUnescape(std::string_view s, bool isUtf8)
{
    // Entities are found from their ";": the "&" that opens one lies inside the
    // window before it, and the first "&" there is the one a left-to-right scan
    // would take (any earlier "&" sees this ";" too far away). Only that window
    // is searched for the "&", so neither a flood of "&" without ";" nor one of
    // ";" makes the work grow faster than the text.
    std::string out;
    out.reserve(s.size());
    size_t copied = 0; // s[copied..] is not written yet
    for (size_t semi = s.find(';'); semi != std::string_view::npos; semi = s.find(';', semi + 1)) {
        const size_t from = std::max(copied, semi >= EntityWindow ? semi - EntityWindow : 0);
        size_t amp = s.substr(from, semi - from).find('&');
        if (amp == std::string_view::npos)
            continue;
        amp += from;
        out.append(s.substr(copied, amp - copied));
        AppendEntity(out, s.substr(amp, semi - amp), isUtf8);
        copied = semi + 1;
    }
    out.append(s.substr(copied));
    return out;
}
