#pragma once
// A small, forgiving XML reader for the system's own XML texts (the catalogue,
// registry backups, the clean report, startup.xml, addons.xml, web replies) and
// the escaping routines their writers use. Text is 8-bit (UTF-8 for our files);
// names are taken as written (a prefix such as "soap:" is part of the name),
// only double-quoted attribute values are understood, and malformed input ends
// the parse quietly with the tree built so far. There is no serializer: writers
// build their lines themselves.

#include "platform/ClassesU.h"
#include "platform/StringListU.h"

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

struct TXMLAttribute {
    std::string Name;
    std::string Value;
};

// One element. Children are owned through unique_ptr; Parent is a plain pointer
// to the owning element (null for a document's Root). Deleting a child with
// DetachOnFree set (the default) removes it from its parent's Children first,
// so `delete tag` is the way to drop one element from a tree. Elements taken
// from a TXML die with the next parse or with the document.
class TXMLTag : public TObject {
public:
    explicit TXMLTag(TXMLTag* parent = nullptr) : parent_(parent) {}
    ~TXMLTag() override;
    TXMLTag(const TXMLTag&) = delete;
    TXMLTag& operator=(const TXMLTag&) = delete;

    std::string Name; // as written, case kept
    std::string Text; // see TXML for which text an element keeps
    // In document order; duplicates are possible and lookups find the first.
    std::vector<TXMLAttribute> Attributes;
    std::string SearchName; // FindNext's name, upper-cased
    int32_t SearchPos = 0;  // index of the next child FindNext looks at
    bool DetachOnFree = true;
    bool IsCData = false; // Text came from a CDATA section
    // The element's tag was read to its ">" and, unless it closed itself, an
    // end tag closed it. An element cut off by the end of the text is not
    // Closed: readers of a damaged file drop it rather than act on half of it.
    bool Closed = false;

    TXMLTag* Parent() const { return parent_; }
    const std::vector<std::unique_ptr<TXMLTag>>& Children() const { return children_; }
    int ChildCount() const { return static_cast<int>(children_.size()); }

    // Empties Name, Text and SearchName, frees the children from the last to the
    // first and empties Attributes. IsCData and Parent are left as they are.
    void Clear();
    // Appends a child named name; when attrName and attrValue are both non-empty,
    // sets that attribute on it.
    TXMLTag* AddChild(std::string_view name, std::string_view attrName = {},
                      std::string_view attrValue = {});
    // Null when index is negative or not below the number of children.
    TXMLTag* GetChild(int index) const;
    // First attribute whose name equals name ignoring ASCII case; -1 when none.
    int IndexOfAttribute(std::string_view name) const;
    // Replaces the first attribute found by IndexOfAttribute, else appends.
    void SetAttribute(std::string_view name, std::string_view value);
    // FindFirst starts a search over the children by name (ASCII case ignored);
    // FindNext returns the next match or null (SearchPos is then ChildCount()).
    TXMLTag* FindFirst(std::string_view name);
    TXMLTag* FindNext();

    // These take the element as a pointer so callers can chain lookups without
    // testing for null: a missing element answers '' or null.
    static std::string GetAttribute(const TXMLTag* tag, std::string_view name);
    static std::string GetText(const TXMLTag* tag);
    // FindFirst(names[0]) on tag, FindFirst(names[1]) on the result, and so on;
    // null as soon as one step finds nothing. No names: tag itself.
    static TXMLTag* FindPath(TXMLTag* tag, std::initializer_list<std::string_view> names);
    static TXMLTag* FindPath(TXMLTag* tag, const std::vector<std::string>& names);

private:
    TXMLTag* parent_;
    std::vector<std::unique_ptr<TXMLTag>> children_;
};

// The document. The tree's Root is always a nameless element; the top element
// and any declaration ('xml'), DOCTYPE or comment ('--') at top level are its
// children. Every parse starts from a new Root and an empty Errors list.
//
// Text rules: an element keeps the trimmed, unescaped text before its first
// child (later runs are dropped); a CDATA section replaces Text verbatim and
// sets IsCData. A mismatched end tag closes the current level and is recorded
// in Errors. Nesting deeper than MaxDepth ends the parse like malformed input.
class TXML : public TObject {
public:
    static constexpr int MaxDepth = 512;

    TXML();
    ~TXML() override;
    TXML(const TXML&) = delete;
    TXML& operator=(const TXML&) = delete;

    // Passed to XmlUnescape for every text and attribute.
    bool Utf8 = false;
    // End-tag mismatches of the last parse.
    TStringList Errors;

    TXMLTag* Root() const { return root_.get(); }
    const std::string& Source() const { return source_; }
    // 1-based position in Source where the last parse stopped.
    int32_t Cursor() const { return cursor_; }
    // True when the last parse reached the end of Source at the top level with
    // every opened element closed and at least one element (not a declaration
    // or comment) in Root. A truncated file is never Complete; callers that
    // must not act on partial data test this.
    bool Complete() const { return complete_; }

    void LoadFromString(std::string_view s);
    // False, with the previous tree kept, when the file is missing (or is a
    // folder) or cannot be opened or read; otherwise parses the whole file and
    // returns True, even when nothing parses.
    bool LoadFromFile(const std::string& fileNameAnsi);
    // Frees Root, makes a new empty Root and clears Errors.
    void Clear();
    // Clear, then parse Source from its start.
    void Parse();

private:
    std::unique_ptr<TXMLTag> root_;
    std::string source_;
    int32_t cursor_ = 1;
    bool complete_ = false;
};

// "<" and ">" escaped; "&" kept when it already starts "&#", "&amp;", "&lt;" or
// "&gt;" (any case), else "&amp;". Unless keepControls, bytes 0-31, 127-132,
// 134-159 and the double quote become "&#<decimal>;".
std::string XmlEscape(std::string_view s, bool keepControls);
// "<", ">" and every "&" escaped. Sanitize: controls other than TAB, LF, CR
// become a space and, with isUtf8, a three-byte sequence coding a surrogate,
// U+FFFE or U+FFFF becomes one space. Without isUtf8 the remaining bytes 0-31,
// 127-132, 134-159 and the double quote become "&#<decimal>;".
std::string XmlEscapeText(std::string_view s, bool isUtf8, bool sanitize);
// Replaces entities: "&" up to a ";" within the entity window (10 characters,
// "&" counted and ";" not; 5 in the tray build). "&lt;", "&gt;", "&amp;",
// "&apos;", "&quot;" in any case; anything else is a number from its third
// character ("x" for hexadecimal, leading minus allowed, 32 when not a number),
// written as one byte (remainder into 0..255) or, with isUtf8, as UTF-8.
// The result may hold NUL bytes ("&#0;").
std::string XmlUnescape(std::string_view s, bool isUtf8);
