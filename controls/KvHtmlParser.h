#pragma once
// The HTML tokenizer and the tag, attribute and entity tables it looks names
// up in.

#include "controls/KvUnicode.h"
#include "controls/KvWideString2CardinalVector.h"
#include "controls/KvWideStrings.h"

#include <cstdint>
#include <functional>

class TKvCardinalHash;
class TKvWideStringHash;
class TKvHtmlParser;
class TKvHtmlParserPlugin;

// --- Tables ---------------------------------------------------------------------------

// Tag ids the tokenizer acts on.
enum : uint32_t {
    kvTagMETA = 70,
    kvTagPRE = 81,
    kvTagSCRIPT = 86,
    kvTagSTYLE = 93,
    kvTagTITLE = 103,
    kvTagDYNAMIC = 1421,
};
// Attribute ids the tokenizer acts on.
enum : uint32_t {
    kvAttrCONTENT = 33,
    kvAttrHTTP_EQUIV = 55,
    kvAttrLANGUAGE = 60,
    kvAttrTYPE = 120,
};

// Reference-counted: the first init fills the tables (tags, DYNAMIC,
// attributes, entities, then the colours), the last done frees them. The unit
// initialises itself at program start and finishes at its end.
void KvHtmlTablesInit();
void KvHtmlTablesDone();
// Nil while not initialised. Tag and attribute names are case-insensitive,
// entity names exact; an entity's item is a one-character WideString.
TKvCardinalHash* KvHtmlTagTable();
TKvCardinalHash* KvHtmlAttribTable();
TKvWideStringHash* KvHtmlEntityTable();
// Id of a name, 0 when unknown.
uint32_t KvHtmlTagID(const char16_t* buf, int32_t len);
uint32_t KvHtmlAttribID(const char16_t* buf, int32_t len);
// The character of an entity name; false when unknown.
bool KvHtmlEntityChar(const char16_t* buf, int32_t len, char16_t& c);

// --- Pieces and filters --------------------------------------------------------------

// Piece kinds; 0 is none.
enum TKvPieceKind : uint8_t {
    pkNone = 0,
    pkASP = 1,
    pkCDataSection = 2,
    pkComment = 3,
    pkCustomTag = 4,
    pkDTD = 5,
    pkExclamationMarkup = 6,
    pkHtmlPI = 7,
    pkHtmlTag = 8,
    pkPHP = 9,
    pkScript = 10,
    pkSsiTag = 11,
    pkStyle = 12,
    pkText = 13,
    pkTitle = 14,
    pkXmlPI = 15,
};
constexpr int kvPieceKindCount = 16;

// Filter values. In a filter word bit $20 returns the piece and bit $40 reads
// its content (for tags: parses the attributes); the low five bits name the
// value. Tag filter words carry the end-tag half shifted by 8 bits.
enum TKvFilter : uint8_t { fiHide, fiShowHidden, fiShowShown, fiShowLocal, fiShow };
uint32_t KvFilterWord(TKvFilter filter) noexcept;
TKvFilter KvFilterOfWord(uint32_t word) noexcept;

// The three kinds of tag pieces, each with its own tag filter.
enum TKvTagKind : uint8_t { tkCustomTags, tkHtmlTags, tkSsiTags };

// The start-tag and end-tag halves of a tag filter; a change runs OnChange.
class TKvTagFilter {
public:
    TKvFilter StartTags() const noexcept { return KvFilterOfWord(startWord_); }
    TKvFilter EndTags() const noexcept { return KvFilterOfWord(endWord_); }
    void SetStartTags(TKvFilter filter);
    void SetEndTags(TKvFilter filter);
    // Both halves at once.
    void SetFilter(TKvFilter filter);
    std::function<void()> OnChange;

private:
    uint32_t startWord_ = 0x01;
    uint32_t endWord_ = 0x01;
};

// The filters of a parser or a plug-in: one per piece kind, three tag filters
// and, per tag kind, overrides for single tag ids (both halves).
class TKvFilterSet {
public:
    TKvFilterSet();
    virtual ~TKvFilterSet();
    TKvFilterSet(const TKvFilterSet&) = delete;
    TKvFilterSet& operator=(const TKvFilterSet&) = delete;

    // For the kinds that are not tags.
    TKvFilter Filter(TKvPieceKind kind) const noexcept { return KvFilterOfWord(words_[kind]); }
    void SetFilter(TKvPieceKind kind, TKvFilter filter);
    TKvTagFilter& TagFilter(TKvTagKind kind) noexcept { return tagFilters_[kind]; }
    const TKvTagFilter& TagFilter(TKvTagKind kind) const noexcept { return tagFilters_[kind]; }
    // A per-tag override of both halves for one tag id of a tag kind.
    void SetTagOverride(TKvTagKind kind, uint32_t id, TKvFilter start, TKvFilter end);
    void RemoveTagOverride(TKvTagKind kind, uint32_t id);
    bool TagOverride(TKvTagKind kind, uint32_t id, TKvFilter& start, TKvFilter& end) const;
    // The overrides of a tag kind: id -> start word | end word << 8.
    const TKvCardinalHash& TagOverrides(TKvTagKind kind) const noexcept
    {
        return *overrides_[kind];
    }

    TKvFilter FilterASPs() const noexcept { return Filter(pkASP); }
    TKvFilter FilterCDataSections() const noexcept { return Filter(pkCDataSection); }
    TKvFilter FilterComments() const noexcept { return Filter(pkComment); }
    TKvFilter FilterDTDs() const noexcept { return Filter(pkDTD); }
    TKvFilter FilterExclamationMarkups() const noexcept { return Filter(pkExclamationMarkup); }
    TKvFilter FilterHtmlPIs() const noexcept { return Filter(pkHtmlPI); }
    TKvFilter FilterPHPs() const noexcept { return Filter(pkPHP); }
    TKvFilter FilterScripts() const noexcept { return Filter(pkScript); }
    TKvFilter FilterStyles() const noexcept { return Filter(pkStyle); }
    TKvFilter FilterText() const noexcept { return Filter(pkText); }
    TKvFilter FilterTitles() const noexcept { return Filter(pkTitle); }
    TKvFilter FilterXmlPIs() const noexcept { return Filter(pkXmlPI); }
    void SetFilterASPs(TKvFilter f) { SetFilter(pkASP, f); }
    void SetFilterCDataSections(TKvFilter f) { SetFilter(pkCDataSection, f); }
    void SetFilterComments(TKvFilter f) { SetFilter(pkComment, f); }
    void SetFilterDTDs(TKvFilter f) { SetFilter(pkDTD, f); }
    void SetFilterExclamationMarkups(TKvFilter f) { SetFilter(pkExclamationMarkup, f); }
    void SetFilterHtmlPIs(TKvFilter f) { SetFilter(pkHtmlPI, f); }
    void SetFilterPHPs(TKvFilter f) { SetFilter(pkPHP, f); }
    void SetFilterScripts(TKvFilter f) { SetFilter(pkScript, f); }
    void SetFilterStyles(TKvFilter f) { SetFilter(pkStyle, f); }
    void SetFilterText(TKvFilter f) { SetFilter(pkText, f); }
    void SetFilterTitles(TKvFilter f) { SetFilter(pkTitle, f); }
    void SetFilterXmlPIs(TKvFilter f) { SetFilter(pkXmlPI, f); }
    TKvTagFilter& FilterCustomTags() noexcept { return tagFilters_[tkCustomTags]; }
    TKvTagFilter& FilterHtmlTags() noexcept { return tagFilters_[tkHtmlTags]; }
    TKvTagFilter& FilterSsiTags() noexcept { return tagFilters_[tkSsiTags]; }

protected:
    // Any filter of the set changed.
    virtual void FiltersChanged() = 0;

private:
    uint32_t words_[kvPieceKindCount];
    TKvTagFilter tagFilters_[3];
    TKvCardinalHash* overrides_[3];
};

// --- Tag objects ----------------------------------------------------------------------

// A tag piece: its attributes (name, value, attribute id), its name, its tag
// id (0 when unknown) and its end flag (0 start tag, 1 end tag, 2 empty-element
// tag closed by "/>").
class TKvTag : public TKvWideString2CardinalVector {
public:
    const char* ClassName() const override { return "TKvTag"; }
    WideString Name;
    uint32_t ID = 0;
    uint8_t EndFlag = 0;

    // No attributes, name empty, id 0, end flag 0.
    void Clear() override;
    // Name, id, end flag and attributes of another tag object.
    void Assign(const TKvPersistent& source) override;
    // The first HTML tag of text, read with a private parser; cleared when the
    // text has none.
    void SetAsString(const WideString& text);

protected:
    explicit TKvTag(const char* className)
        : TKvWideString2CardinalVector(KvNameValueIDItemHandler(), className)
    {
    }
};

class TKvHtmlTag : public TKvTag {
public:
    TKvHtmlTag() : TKvTag("TKvHtmlTag") {}
    const char* ClassName() const override { return "TKvHtmlTag"; }
};

class TKvCustomTag : public TKvTag {
public:
    TKvCustomTag() : TKvTag("TKvCustomTag") {}
    const char* ClassName() const override { return "TKvCustomTag"; }
};

class TKvSsiTag : public TKvTag {
public:
    TKvSsiTag() : TKvTag("TKvSsiTag") {}
    const char* ClassName() const override { return "TKvSsiTag"; }
};

// Writes an attribute value as it would stand in a tag: "=" and the value,
// unquoted where the quoting mode allows it (1: name characters only; 2: no
// white space, quotation mark, backquote, "<", ">" or "="), otherwise quoted:
// in double marks when it has none, in single marks when it has double but no
// single ones, and with both in the rarer mark (double on a tie), "&" not
// followed by "{" written "&amp;" and the chosen mark "&quot;" or "&apos;".
// An empty value is always quoted.
WideString KvAttribValueText(const WideString& value, int quotingMode);

// --- Parser -----------------------------------------------------------------------------

// A pull tokenizer over the character reader: each ReadPiece leaves the next
// returned piece's kind, text and, for tags, a tag object. Which pieces are
// returned, read or skipped is set per kind by filters; attached plug-ins watch
// pieces and may veto or force their return.
class TKvHtmlParser : public TKvUnicodeReader, public TKvFilterSet {
public:
    TKvHtmlParser();
    ~TKvHtmlParser() override;
    const char* ClassName() const override { return "TKvHtmlParser"; }

    // The next returned piece; false at the end of input or after Stop.
    bool ReadPiece();
    // Ends the current ReadPiece after the piece being read (for hooks).
    void Stop() noexcept { stop_ = true; }

    TKvPieceKind PieceKind() const noexcept { return pieceKind_; }
    WideString PieceText() const { return DataAsString(); }
    WideString PieceTextTrimLeft() const { return DataAsStringTrimLeft(); }
    // The tag object of the last tag piece of each kind.
    TKvHtmlTag& HtmlTag() noexcept { return htmlTag_; }
    TKvCustomTag& CustomTag() noexcept { return customTag_; }
    TKvSsiTag& SsiTag() noexcept { return ssiTag_; }
    // The current piece's tag object; nil for other kinds.
    TKvTag* Tag() noexcept;
    // Where the current piece started: 0-based character index, line, column.
    int32_t PieceStartPosition() const noexcept { return startPosition_; }
    int32_t PieceStartLine() const noexcept { return startLine_; }
    int32_t PieceStartColumn() const noexcept { return startColumn_; }

    bool EnableASP = false;
    bool EnableCustomTags = false;
    bool EnableHtmlTags = true;
    bool EnablePHP = false;
    bool EnableSSI = false;
    char16_t CustomTagChar = u'#';
    bool NormalizeWhiteSpace = false;
    // Named opposite to its effect and set by nothing here: while false the
    // white space around quoted attribute values is removed, while true it is
    // kept.
    bool TrimAttribValues = false;
    WideString DefaultContentScriptType;
    // Set only by a META Content-Script-Type; kept for the parser's lifetime.
    const WideString& DocumentContentScriptType() const noexcept { return documentScriptType_; }
    int32_t PreDepth() const noexcept { return preDepth_; }

    int32_t PluginCount() const noexcept;
    TKvHtmlParserPlugin* FirstPlugin() const noexcept { return plugins_; }

    // Combined words (tests and plug-ins): a kind's filter word with bit 21 set
    // when plug-ins are to be called; a tag's start word | end word << 8 with
    // bits 22 and 30 for the plug-ins of the halves.
    uint32_t PieceWord(TKvPieceKind kind) const noexcept { return pieceWords_[kind]; }
    uint32_t TagWord(TKvTagKind kind, uint32_t id) const;

protected:
    void FiltersChanged() override { RecomputeWords(); }

private:
    friend class TKvHtmlParserPlugin;
    enum class TStep { Returned, Skipped, Ended };
    struct TDecision {
        bool store, show, plugins;
    };

    void RecomputeWords();
    void Attach(TKvHtmlParserPlugin* plugin);
    void Detach(TKvHtmlParserPlugin* plugin) noexcept;

    TStep ReadStep();
    TStep Deliver(TKvPieceKind kind, const TDecision& d, uint32_t tagId = 0, bool endTag = false);
    TDecision Decide(TKvPieceKind kind) const;
    TStep Dispatch();
    TStep ReadText();
    TStep ReadBlock(TKvPieceKind kind, char16_t endChar);
    TStep ReadUntilGt(TKvPieceKind kind);
    TStep ReadXmlPI();
    TStep ReadComment();
    TStep ReadCData();
    TStep ReadContent(TKvPieceKind kind);
    TStep ReadTag(TKvTagKind kind, bool endTag);
    TStep ReadSsiTag(bool endTag);

    void Take(bool store);
    void Consume(int32_t n);
    bool PeekIs(int32_t offset, char16_t c);
    bool PeekWordCI(int32_t offset, const char16_t* word);
    bool AtTextStop();
    bool AtEndTagOf(const char16_t* name);
    bool AtScriptEndTag();
    int32_t HyphenRun(bool& closes);
    void DecodeEntity(bool normalized);
    void ParseAttributes(TKvTag& tag, bool store);
    void ParseSsiAttributes(TKvTag& tag, bool store, bool& ended);
    void ReadSsiName(bool store, bool& ended);
    void ReadSsiValue(bool store, bool& ended);
    void ScanScriptPlain(bool store);
    void ScanScriptAware(bool store);
    void ScanLineComment(bool store);

    TKvPieceKind pieceKind_ = pkNone;
    TKvPieceKind pendingKind_ = pkNone;
    bool charPending_ = false; // the current character starts the next piece
    bool stop_ = false;
    bool scriptAware_ = true;
    int32_t startPosition_ = 0, startLine_ = 1, startColumn_ = 0;
    int32_t preDepth_ = 0;
    WideString documentScriptType_;

    TKvHtmlTag htmlTag_;
    TKvCustomTag customTag_;
    TKvSsiTag ssiTag_;

    uint32_t pieceWords_[kvPieceKindCount];
    uint32_t generalTagWords_[3];
    TKvCardinalHash* tagWords_[3];
    TKvHtmlParserPlugin* plugins_ = nullptr;
};

// A parser plug-in: its own filters say which pieces it wants to see; its
// hooks (slot order below) get the parser through HtmlParser() and a Show flag
// they may change. Attaching links it into the parser's list; destroying either
// side unlinks it.
class TKvHtmlParserPlugin : public TKvErrorObject, public TKvFilterSet {
public:
    TKvHtmlParserPlugin();
    ~TKvHtmlParserPlugin() override;
    const char* ClassName() const override { return "TKvHtmlParserPlugin"; }

    bool Enabled = true;
    TKvHtmlParser* HtmlParser() const noexcept { return parser_; }
    // Detaches from the old parser, links into the new one, runs the attached
    // hook and recomputes the parser's words. Nil detaches.
    void SetHtmlParser(TKvHtmlParser* parser);
    TKvHtmlParserPlugin* Next() const noexcept { return next_; }

    // Whether the hook for a kind (tags: per half and tag id) is to be called.
    bool Calls(TKvPieceKind kind) const noexcept { return (callWords_[kind] & 0x20) != 0; }
    bool CallsTag(TKvTagKind kind, uint32_t id, bool endTag) const;

    virtual void ASPHook(bool& /*show*/) {}
    virtual void CDataHook(bool& /*show*/) {}
    virtual void CommentHook(bool& /*show*/) {}
    virtual void CustomTagHook(bool& /*show*/) {}
    virtual void DTDHook(bool& /*show*/) {}
    virtual void ExclamationMarkupHook(bool& /*show*/) {}
    virtual void HtmlPIHook(bool& /*show*/) {}
    virtual void PHPHook(bool& /*show*/) {}
    virtual void ScriptHook(bool& /*show*/) {}
    virtual void SsiTagHook(bool& /*show*/) {}
    virtual void StyleHook(bool& /*show*/) {}
    virtual void HtmlTagHook(bool& /*show*/) {}
    virtual void TextHook(bool& /*show*/) {}
    virtual void TitleHook(bool& /*show*/) {}
    virtual void XmlPIHook(bool& /*show*/) {}
    virtual void AttachedHook() {}

protected:
    void FiltersChanged() override;

private:
    friend class TKvHtmlParser;
    TKvHtmlParser* parser_ = nullptr;
    TKvHtmlParserPlugin* next_ = nullptr;
    uint32_t callWords_[kvPieceKindCount] = {};
    uint32_t generalCallWords_[3] = {};
    TKvCardinalHash* callTagWords_[3];
};
