#include "controls/KvHtmlParser.h"

#include "controls/KvCardinalHash.h"
#include "controls/KvHtmlColors.h"
#include "controls/KvWideStringHash.h"
#include "platform/GuardU.h"

#include <vector>

// --- Tables ---------------------------------------------------------------------------

namespace {

struct TKvNameIdEntry {
    const char16_t* name;
    uint32_t id;
};

struct TKvEntityEntry {
    const char16_t* name;
    uint32_t codePoint;
};

constexpr TKvNameIdEntry kTagTable[] = {
    {u"A", 1},         {u"ABBR", 2},      {u"ACRONYM", 3},     {u"ADDRESS", 4},   {u"APPLET", 5},
    {u"AREA", 6},      {u"B", 7},         {u"BASE", 8},        {u"BASEFONT", 9},  {u"BDO", 10},
    {u"BGSOUND", 11},  {u"BIG", 12},      {u"BLOCKQUOTE", 13}, {u"BODY", 14},     {u"BR", 15},
    {u"BUTTON", 16},   {u"CAPTION", 17},  {u"CENTER", 18},     {u"CITE", 19},     {u"CODE", 20},
    {u"COL", 21},      {u"COLGROUP", 22}, {u"DD", 24},         {u"DEL", 25},      {u"DFN", 26},
    {u"DIR", 27},      {u"DIV", 28},      {u"DL", 29},         {u"DT", 30},       {u"EM", 35},
    {u"EMBED", 36},    {u"FIELDSET", 38}, {u"FONT", 40},       {u"FORM", 41},     {u"FRAME", 42},
    {u"FRAMESET", 43}, {u"H1", 45},       {u"H2", 46},         {u"H3", 47},       {u"H4", 48},
    {u"H5", 49},       {u"H6", 50},       {u"HEAD", 51},       {u"HR", 52},       {u"HTML", 53},
    {u"I", 54},        {u"IFRAME", 56},   {u"IMAGE", 57},      {u"IMG", 58},      {u"INPUT", 60},
    {u"INS", 61},      {u"ISINDEX", 62},  {u"KBD", 63},        {u"LABEL", 64},    {u"LEGEND", 65},
    {u"LI", 66},       {u"LINK", 67},     {u"MAP", 68},        {u"MENU", 69},     {u"META", 70},
    {u"NOBR", 71},     {u"NOEMBED", 72},  {u"NOFRAMES", 73},   {u"NOSCRIPT", 74}, {u"OBJECT", 75},
    {u"OL", 76},       {u"OPTGROUP", 77}, {u"OPTION", 78},     {u"P", 79},        {u"PARAM", 80},
    {u"PRE", 81},      {u"Q", 83},        {u"S", 84},          {u"SAMP", 85},     {u"SCRIPT", 86},
    {u"SELECT", 87},   {u"SMALL", 89},    {u"SPAN", 90},       {u"STRIKE", 91},   {u"STRONG", 92},
    {u"STYLE", 93},    {u"SUB", 94},      {u"SUP", 95},        {u"TABLE", 96},    {u"TBODY", 97},
    {u"TD", 98},       {u"TEXTAREA", 99}, {u"TFOOT", 100},     {u"TH", 101},      {u"THEAD", 102},
    {u"TITLE", 103},   {u"TR", 104},      {u"TT", 105},        {u"U", 106},       {u"UL", 107},
    {u"VAR", 108},
};

constexpr TKvNameIdEntry kAttribTable[] = {
    {u"abbr", 1},        {u"accept", 2},        {u"accept-charset", 3}, {u"accesskey", 4},
    {u"action", 5},      {u"align", 6},         {u"alink", 7},          {u"alt", 8},
    {u"archive", 9},     {u"axis", 10},         {u"background", 11},    {u"bgcolor", 12},
    {u"border", 13},     {u"cellpadding", 14},  {u"cellspacing", 15},   {u"char", 17},
    {u"charoff", 18},    {u"charset", 19},      {u"checked", 20},       {u"cite", 21},
    {u"class", 22},      {u"classid", 23},      {u"clear", 24},         {u"code", 26},
    {u"codebase", 27},   {u"codetype", 28},     {u"color", 29},         {u"cols", 30},
    {u"colspan", 31},    {u"compact", 32},      {u"content", 33},       {u"coords", 34},
    {u"data", 35},       {u"datetime", 36},     {u"declare", 37},       {u"defer", 38},
    {u"dir", 39},        {u"disabled", 40},     {u"enctype", 42},       {u"face", 45},
    {u"for", 47},        {u"frame", 48},        {u"frameborder", 49},   {u"headers", 50},
    {u"height", 51},     {u"href", 52},         {u"hreflang", 53},      {u"hspace", 54},
    {u"http-equiv", 55}, {u"id", 56},           {u"ismap", 57},         {u"label", 58},
    {u"lang", 59},       {u"language", 60},     {u"link", 61},          {u"longdesc", 62},
    {u"lowsrc", 63},     {u"marginheight", 64}, {u"marginwidth", 65},   {u"maxlength", 66},
    {u"media", 67},      {u"method", 68},       {u"multiple", 69},      {u"name", 70},
    {u"nohref", 71},     {u"noresize", 72},     {u"noshade", 73},       {u"nowrap", 74},
    {u"object", 75},     {u"onblur", 76},       {u"onchange", 77},      {u"onclick", 78},
    {u"ondblclick", 79}, {u"onfocus", 80},      {u"onkeydown", 81},     {u"onkeypress", 82},
    {u"onkeyup", 83},    {u"onload", 84},       {u"onmousedown", 85},   {u"onmousemove", 86},
    {u"onmouseout", 87}, {u"onmouseover", 88},  {u"onmouseup", 89},     {u"onreset", 90},
    {u"onselect", 91},   {u"onsubmit", 92},     {u"onunload", 93},      {u"profile", 94},
    {u"prompt", 95},     {u"readonly", 96},     {u"rel", 97},           {u"rev", 98},
    {u"rows", 99},       {u"rowspan", 100},     {u"rules", 101},        {u"scheme", 102},
    {u"scope", 103},     {u"scrolling", 104},   {u"selected", 105},     {u"shape", 106},
    {u"size", 107},      {u"span", 109},        {u"src", 110},          {u"standby", 111},
    {u"start", 112},     {u"style", 113},       {u"summary", 114},      {u"tabindex", 115},
    {u"target", 116},    {u"text", 117},        {u"title", 119},        {u"type", 120},
    {u"usemap", 121},    {u"valign", 122},      {u"value", 123},        {u"valuetype", 124},
    {u"version", 126},   {u"vlink", 128},       {u"vspace", 129},       {u"width", 130},
};

#include "controls/KvHtmlEntities.inc"

static_assert(sizeof(kTagTable) / sizeof(kTagTable[0]) == 96);
static_assert(sizeof(kAttribTable) / sizeof(kAttribTable[0]) == 120);
static_assert(sizeof(kEntityTable) / sizeof(kEntityTable[0]) == 252);

TKvCardinalHash* gTags = nullptr;
TKvCardinalHash* gAttribs = nullptr;
TKvWideStringHash* gEntities = nullptr;
int gTablesUsers = 0;

void AddName(TKvCardinalHash& table, const char16_t* name, uint32_t id)
{
    WideString key(name);
    *static_cast<uint32_t*>(table.Insert(&key)) = id;
}

void AddEntity(TKvWideStringHash& table, const char16_t* name, uint32_t codePoint)
{
    WideString key(name);
    char16_t c = static_cast<char16_t>(codePoint);
    *static_cast<WideString*>(table.Insert(&key)) = WideString(&c, 1);
}

// The unit's own initialisation and finalisation.
struct TablesUnit {
    TablesUnit() { KvHtmlTablesInit(); }
    ~TablesUnit()
    {
        Guard([] { KvHtmlTablesDone(); });
    }
} gTablesUnit;

} // namespace

void KvHtmlTablesInit()
{
    if (gTablesUsers++ > 0)
        return;
    gTags = new TKvCardinalHash(KvWideStringKeyHandlerCI());
    gTags->SetHashCount(95);
    for (const TKvNameIdEntry& e : kTagTable)
        AddName(*gTags, e.name, e.id);
    AddName(*gTags, u"DYNAMIC", kvTagDYNAMIC);
    gAttribs = new TKvCardinalHash(KvWideStringKeyHandlerCI());
    gAttribs->SetHashCount(120);
    for (const TKvNameIdEntry& e : kAttribTable)
        AddName(*gAttribs, e.name, e.id);
    gEntities = new TKvWideStringHash(KvWideStringKeyHandler());
    gEntities->SetHashCount(253);
    for (const TKvEntityEntry& e : kEntityTable)
        AddEntity(*gEntities, e.name, e.codePoint);
    AddEntity(*gEntities, u"apos", 39);
    KvHtmlColorsInit();
}

void KvHtmlTablesDone()
{
    if (gTablesUsers <= 0 || --gTablesUsers > 0)
        return;
    KvHtmlColorsDone();
    delete gEntities;
    delete gAttribs;
    delete gTags;
    gEntities = nullptr;
    gAttribs = nullptr;
    gTags = nullptr;
}

TKvCardinalHash* KvHtmlTagTable()
{
    return gTags;
}

TKvCardinalHash* KvHtmlAttribTable()
{
    return gAttribs;
}

TKvWideStringHash* KvHtmlEntityTable()
{
    return gEntities;
}

uint32_t KvHtmlTagID(const char16_t* buf, int32_t len)
{
    return gTags ? gTags->CardinalOfKeyBuf(buf, len) : 0;
}

uint32_t KvHtmlAttribID(const char16_t* buf, int32_t len)
{
    return gAttribs ? gAttribs->CardinalOfKeyBuf(buf, len) : 0;
}

bool KvHtmlEntityChar(const char16_t* buf, int32_t len, char16_t& c)
{
    if (!gEntities)
        return false;
    auto* item = static_cast<WideString*>(gEntities->FindBuf(buf, len));
    if (!item || item->IsEmpty())
        return false;
    c = (*item)[0];
    return true;
}

// --- Filters ------------------------------------------------------------------------

namespace {

constexpr uint32_t kReturnBit = 0x20;
constexpr uint32_t kReadBit = 0x40;
constexpr uint32_t kEndShift = 8;
constexpr uint32_t kPluginBit = 1u << 21;
constexpr uint32_t kStartPluginBit = 1u << 22;
constexpr uint32_t kEndPluginBit = 1u << 30;
constexpr uint32_t kFilterWords[] = {0x01, 0x02, 0x04, 0x68, 0x70};
constexpr uint32_t kLowSeven = 0x7F;

bool IsTagKind(int kind)
{
    return kind == pkCustomTag || kind == pkHtmlTag || kind == pkSsiTag;
}

// Rule 3: whether a filter owner's hook runs, given whether the kind is shown.
bool CallsFor(TKvFilter filter, bool shown)
{
    return filter == fiShowLocal || filter == fiShow || (filter == fiShowHidden && !shown) ||
           (filter == fiShowShown && shown);
}

std::vector<uint32_t> KeysOf(const TKvCardinalHash& hash)
{
    std::vector<uint32_t> keys;
    for (int32_t i = 0; i < hash.SlotCount(); ++i) {
        if (!hash.IsSlotDeleted(i))
            keys.push_back(*static_cast<uint32_t*>(hash.PKeyAtSlot(i)));
    }
    return keys;
}

void PutWord(TKvCardinalHash& hash, uint32_t id, uint32_t word)
{
    *static_cast<uint32_t*>(hash.FindOrInsert(&id)) = word;
}

} // namespace

uint32_t KvFilterWord(TKvFilter filter) noexcept
{
    return kFilterWords[filter <= fiShow ? filter : fiHide];
}

TKvFilter KvFilterOfWord(uint32_t word) noexcept
{
    if (word & 0x10)
        return fiShow;
    if (word & 0x08)
        return fiShowLocal;
    if (word & 0x04)
        return fiShowShown;
    if (word & 0x02)
        return fiShowHidden;
    return fiHide;
}

void TKvTagFilter::SetStartTags(TKvFilter filter)
{
    uint32_t word = KvFilterWord(filter) & kLowSeven;
    if (word == startWord_)
        return;
    startWord_ = word;
    if (OnChange)
        OnChange();
}

void TKvTagFilter::SetEndTags(TKvFilter filter)
{
    uint32_t word = KvFilterWord(filter) & kLowSeven;
    if (word == endWord_)
        return;
    endWord_ = word;
    if (OnChange)
        OnChange();
}

void TKvTagFilter::SetFilter(TKvFilter filter)
{
    uint32_t word = KvFilterWord(filter) & kLowSeven;
    if (word == startWord_ && word == endWord_)
        return;
    startWord_ = endWord_ = word;
    if (OnChange)
        OnChange();
}

TKvFilterSet::TKvFilterSet()
{
    for (uint32_t& w : words_)
        w = KvFilterWord(fiHide);
    for (TKvTagFilter& f : tagFilters_)
        f.OnChange = [this] { FiltersChanged(); };
    for (auto*& o : overrides_)
        o = new TKvCardinalHash(KvCardinalKeyHandler());
}

TKvFilterSet::~TKvFilterSet()
{
    for (auto* o : overrides_)
        delete o;
}

void TKvFilterSet::SetFilter(TKvPieceKind kind, TKvFilter filter)
{
    if (kind == pkNone || IsTagKind(kind) || kind >= kvPieceKindCount)
        return;
    uint32_t word = KvFilterWord(filter) & kLowSeven;
    if (words_[kind] == word)
        return;
    words_[kind] = word;
    FiltersChanged();
}

void TKvFilterSet::SetTagOverride(TKvTagKind kind, uint32_t id, TKvFilter start, TKvFilter end)
{
    uint32_t word = KvFilterWord(start) | KvFilterWord(end) << kEndShift;
    auto* item = static_cast<uint32_t*>(overrides_[kind]->Find(&id));
    if (item && *item == word)
        return;
    PutWord(*overrides_[kind], id, word);
    FiltersChanged();
}

void TKvFilterSet::RemoveTagOverride(TKvTagKind kind, uint32_t id)
{
    if (!overrides_[kind]->Find(&id))
        return;
    overrides_[kind]->Delete(&id);
    FiltersChanged();
}

bool TKvFilterSet::TagOverride(TKvTagKind kind, uint32_t id, TKvFilter& start, TKvFilter& end) const
{
    auto* item = static_cast<uint32_t*>(overrides_[kind]->Find(&id));
    if (!item)
        return false;
    start = KvFilterOfWord(*item & 0xFF);
    end = KvFilterOfWord(*item >> kEndShift);
    return true;
}

// --- Tag objects ----------------------------------------------------------------------

void TKvTag::Clear()
{
    TKvWideString2CardinalVector::Clear();
    Name.Clear();
    ID = 0;
    EndFlag = 0;
}

void TKvTag::Assign(const TKvPersistent& source)
{
    auto* tag = dynamic_cast<const TKvTag*>(&source);
    if (!tag || tag == this) {
        TKvWideString2CardinalVector::Assign(source);
        return;
    }
    TKvWideString2CardinalVector::Assign(source);
    Name = tag->Name;
    ID = tag->ID;
    EndFlag = tag->EndFlag;
}

void TKvTag::SetAsString(const WideString& text)
{
    TKvHtmlParser parser;
    parser.FilterHtmlTags().SetFilter(fiShow);
    parser.SetReadMethods(KvReadMethodsUtf16LE());
    parser.SetSourceWideString(text);
    while (parser.ReadPiece()) {
        if (parser.PieceKind() == pkHtmlTag) {
            Assign(parser.HtmlTag());
            return;
        }
    }
    Clear();
}

namespace {

bool IsPlainValueChar(char16_t c)
{
    return c > 32 && c != u'"' && c != u'\'' && c != u'`' && c != u'<' && c != u'>' && c != u'=';
}

} // namespace

WideString KvAttribValueText(const WideString& value, int quotingMode)
{
    WideString out(u"=");
    bool unquoted =
        !value.IsEmpty() && ((quotingMode == 1 && WideAllCharsStr(value, &IsNameChar)) ||
                             (quotingMode == 2 && WideAllCharsStr(value, &IsPlainValueChar)));
    if (unquoted)
        return out + value;
    int doubles = 0, singles = 0;
    for (char16_t c : value.View()) {
        doubles += c == u'"';
        singles += c == u'\'';
    }
    if (doubles == 0)
        return out + WideString(u"\"") + value + WideString(u"\"");
    if (singles == 0)
        return out + WideString(u"'") + value + WideString(u"'");
    const char16_t mark = singles < doubles ? u'\'' : u'"';
    out += mark;
    const std::u16string_view v = value.View();
    for (size_t i = 0; i < v.size(); ++i) {
        char16_t c = v[i];
        if (c == u'&' && (i + 1 >= v.size() || v[i + 1] != u'{'))
            out += WideString(u"&amp;");
        else if (c == mark)
            out += WideString(mark == u'"' ? u"&quot;" : u"&apos;");
        else
            out += c;
    }
    out += mark;
    return out;
}

// --- Parser: set-up and words ------------------------------------------------------------

TKvHtmlParser::TKvHtmlParser()
{
    for (auto*& t : tagWords_)
        t = nullptr;
    for (auto*& t : tagWords_)
        t = new TKvCardinalHash(KvCardinalKeyHandler());
    RecomputeWords();
}

TKvHtmlParser::~TKvHtmlParser()
{
    for (TKvHtmlParserPlugin* p = plugins_; p;) {
        TKvHtmlParserPlugin* next = p->next_;
        p->parser_ = nullptr;
        p->next_ = nullptr;
        p = next;
    }
    plugins_ = nullptr;
    for (auto* t : tagWords_)
        delete t;
}

int32_t TKvHtmlParser::PluginCount() const noexcept
{
    int32_t n = 0;
    for (TKvHtmlParserPlugin* p = plugins_; p; p = p->next_)
        ++n;
    return n;
}

TKvTag* TKvHtmlParser::Tag() noexcept
{
    switch (pieceKind_) {
    case pkHtmlTag:
        return &htmlTag_;
    case pkCustomTag:
        return &customTag_;
    case pkSsiTag:
        return &ssiTag_;
    default:
        return nullptr;
    }
}

uint32_t TKvHtmlParser::TagWord(TKvTagKind kind, uint32_t id) const
{
    auto* item = static_cast<uint32_t*>(tagWords_[kind]->Find(&id));
    return item ? *item : generalTagWords_[kind];
}

bool TKvHtmlParserPlugin::CallsTag(TKvTagKind kind, uint32_t id, bool endTag) const
{
    auto* item = static_cast<uint32_t*>(callTagWords_[kind]->Find(&id));
    uint32_t word = item ? *item : generalCallWords_[kind];
    return (word & (endTag ? kReturnBit << kEndShift : kReturnBit)) != 0;
}

void TKvHtmlParser::RecomputeWords()
{
    if (!tagWords_[0])
        return; // still being built
    std::vector<TKvHtmlParserPlugin*> plugins;
    for (TKvHtmlParserPlugin* p = plugins_; p; p = p->next_)
        plugins.push_back(p);
    std::vector<TKvFilter> pf(plugins.size());
    std::vector<bool> calls(plugins.size());

    // Rules 1 to 4 for one kind (or one tag half): fills calls, returns the
    // parser's plug-in bit.
    auto combine = [&](TKvFilter own) {
        bool shown = own == fiShow;
        for (TKvFilter f : pf)
            shown = shown || f == fiShow;
        bool any = (own == fiShowHidden && !shown) || (own == fiShowShown && shown);
        for (size_t i = 0; i < pf.size(); ++i) {
            calls[i] = CallsFor(pf[i], shown);
            any = any || calls[i];
        }
        return any;
    };

    for (int k = 1; k < kvPieceKindCount; ++k) {
        if (IsTagKind(k))
            continue;
        auto kind = static_cast<TKvPieceKind>(k);
        for (size_t i = 0; i < plugins.size(); ++i)
            pf[i] = plugins[i]->Filter(kind);
        bool bit = combine(Filter(kind));
        pieceWords_[k] = (KvFilterWord(Filter(kind)) & kLowSeven) | (bit ? kPluginBit : 0);
        for (size_t i = 0; i < plugins.size(); ++i)
            plugins[i]->callWords_[k] = calls[i] ? kReturnBit : 0;
    }
    pieceWords_[pkNone] = 0;
    pieceWords_[pkCustomTag] = pieceWords_[pkHtmlTag] = pieceWords_[pkSsiTag] = 0;

    for (int t = 0; t < 3; ++t) {
        auto tk = static_cast<TKvTagKind>(t);
        // A half's filters for one id: the owner's override when it has one,
        // else its general tag filter.
        auto halves = [&](const TKvFilterSet& owner, uint32_t id, bool general, TKvFilter& start,
                          TKvFilter& end) {
            if (general || !owner.TagOverride(tk, id, start, end)) {
                start = owner.TagFilter(tk).StartTags();
                end = owner.TagFilter(tk).EndTags();
            }
        };
        auto compute = [&](uint32_t id, bool general, uint32_t& parserWord,
                           std::vector<uint32_t>& callWords) {
            TKvFilter ownStart, ownEnd;
            halves(*this, id, general, ownStart, ownEnd);
            std::vector<TKvFilter> starts(plugins.size()), ends(plugins.size());
            for (size_t i = 0; i < plugins.size(); ++i)
                halves(*plugins[i], id, general, starts[i], ends[i]);
            callWords.assign(plugins.size(), 0);
            pf = starts;
            bool startBit = combine(ownStart);
            for (size_t i = 0; i < plugins.size(); ++i)
                callWords[i] |= calls[i] ? kReturnBit : 0;
            pf = ends;
            bool endBit = combine(ownEnd);
            for (size_t i = 0; i < plugins.size(); ++i)
                callWords[i] |= calls[i] ? kReturnBit << kEndShift : 0;
            parserWord = KvFilterWord(ownStart) | KvFilterWord(ownEnd) << kEndShift |
                         (startBit ? kStartPluginBit : 0) | (endBit ? kEndPluginBit : 0);
        };

        std::vector<uint32_t> callWords;
        compute(0, true, generalTagWords_[t], callWords);
        for (size_t i = 0; i < plugins.size(); ++i)
            plugins[i]->generalCallWords_[t] = callWords[i];

        // Every id that the parser or a plug-in overrides gets its own words.
        std::vector<uint32_t> ids = KeysOf(TagOverrides(tk));
        for (TKvHtmlParserPlugin* p : plugins) {
            for (uint32_t id : KeysOf(p->TagOverrides(tk)))
                ids.push_back(id);
        }
        tagWords_[t]->Clear();
        for (TKvHtmlParserPlugin* p : plugins)
            p->callTagWords_[t]->Clear();
        for (uint32_t id : ids) {
            if (tagWords_[t]->Find(&id))
                continue;
            uint32_t word;
            compute(id, false, word, callWords);
            PutWord(*tagWords_[t], id, word);
            for (size_t i = 0; i < plugins.size(); ++i)
                PutWord(*plugins[i]->callTagWords_[t], id, callWords[i]);
        }
    }
}

void TKvHtmlParser::Attach(TKvHtmlParserPlugin* plugin)
{
    TKvHtmlParserPlugin** link = &plugins_;
    while (*link)
        link = &(*link)->next_;
    *link = plugin;
    plugin->next_ = nullptr;
    plugin->parser_ = this;
    plugin->AttachedHook();
    RecomputeWords();
}

void TKvHtmlParser::Detach(TKvHtmlParserPlugin* plugin) noexcept
{
    for (TKvHtmlParserPlugin** link = &plugins_; *link; link = &(*link)->next_) {
        if (*link == plugin) {
            *link = plugin->next_;
            break;
        }
    }
    plugin->next_ = nullptr;
    plugin->parser_ = nullptr;
    Guard([&] { RecomputeWords(); });
}

// --- Plug-in --------------------------------------------------------------------------------

TKvHtmlParserPlugin::TKvHtmlParserPlugin()
{
    for (auto*& t : callTagWords_)
        t = nullptr;
    for (auto*& t : callTagWords_)
        t = new TKvCardinalHash(KvCardinalKeyHandler());
}

TKvHtmlParserPlugin::~TKvHtmlParserPlugin()
{
    if (parser_)
        parser_->Detach(this);
    for (auto* t : callTagWords_)
        delete t;
}

void TKvHtmlParserPlugin::SetHtmlParser(TKvHtmlParser* parser)
{
    if (parser == parser_)
        return;
    if (parser_)
        parser_->Detach(this);
    if (parser)
        parser->Attach(this);
}

void TKvHtmlParserPlugin::FiltersChanged()
{
    if (parser_ && callTagWords_[2])
        parser_->RecomputeWords();
}

// --- Parser: reading -------------------------------------------------------------------------

namespace {

constexpr char16_t kReplacementChar = 0xFFFD;

// Numeric references 128 to 159 as the Windows-1252 characters.
constexpr char16_t kWindows1252[32] = {
    0x20AC, 0xFFFD, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0xFFFD, 0x017D, 0xFFFD, 0xFFFD, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0xFFFD, 0x017E, 0x0178,
};

char16_t AsciiLower(char16_t c)
{
    return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c;
}

bool IsDecimalDigit(char16_t c)
{
    return c >= u'0' && c <= u'9';
}

bool IsScriptSpace(char16_t c)
{
    return c <= 0x20 || (c >= 0x2000 && c <= 0x200B) || c == 0x2028 || c == 0x2029;
}

bool IsLineEnd(char16_t c)
{
    return c == u'\r' || c == u'\n' || c == 0x2028 || c == 0x2029;
}

bool IsSsiNameStart(char16_t c)
{
    return IsAsciiLetter(c) || IsDecimalDigit(c) || c == u'.' || c == u':' || c == u'_';
}

// The script-aware scanner's operators and punctuation, matched longest first.
constexpr const char16_t* kScriptOperators[] = {
    u"!",   u"!=", u"!==", u"%",   u"%=",  u"&",    u"&&",  u"&&=", u"&=", u"(",  u")",
    u"*",   u"*=", u"+",   u"++",  u"+=",  u",",    u"-",   u"--",  u"-=", u".",  u"..",
    u"...", u":",  u"::",  u";",   u"<",   u"<<",   u"<<=", u"<=",  u"=",  u"==", u"===",
    u">",   u">=", u">>",  u">>=", u">>>", u">>>=", u"?",   u"@",   u"[",  u"]",  u"^",
    u"^=",  u"^^", u"^^=", u"{",   u"|",   u"|=",   u"||",  u"||=", u"}",  u"~",
};

bool IsScriptOperator(std::u16string_view s)
{
    for (const char16_t* op : kScriptOperators) {
        if (s == op)
            return true;
    }
    return false;
}

} // namespace

bool TKvHtmlParser::ReadPiece()
{
    stop_ = false;
    for (;;) {
        TStep step = ReadStep();
        if (step == TStep::Returned)
            return true;
        if (step == TStep::Ended || stop_)
            return false;
    }
}

void TKvHtmlParser::Take(bool store)
{
    if (store)
        AppendChar(Char());
    ReadChar();
}

void TKvHtmlParser::Consume(int32_t n)
{
    for (int32_t i = 0; i < n; ++i)
        ReadChar();
}

bool TKvHtmlParser::PeekIs(int32_t offset, char16_t c)
{
    return Peek(offset + 1) && PeekAt(offset) == c;
}

bool TKvHtmlParser::PeekWordCI(int32_t offset, const char16_t* word)
{
    for (int32_t k = 0; word[k]; ++k) {
        if (!Peek(offset + k + 1) || AsciiLower(PeekAt(offset + k)) != AsciiLower(word[k]))
            return false;
    }
    return true;
}

TKvHtmlParser::TDecision TKvHtmlParser::Decide(TKvPieceKind kind) const
{
    uint32_t word = pieceWords_[kind];
    TDecision d;
    d.show = (word & kReturnBit) != 0;
    d.plugins = (word & kPluginBit) != 0;
    d.store = d.show || d.plugins;
    return d;
}

TKvHtmlParser::TStep TKvHtmlParser::Deliver(TKvPieceKind kind, const TDecision& d, uint32_t tagId,
                                            bool endTag)
{
    pieceKind_ = kind;
    bool show = d.show;
    if (d.plugins) {
        for (TKvHtmlParserPlugin* p = plugins_; p;) {
            TKvHtmlParserPlugin* next = p->next_;
            bool calls = false;
            if (kind == pkHtmlTag)
                calls = p->CallsTag(tkHtmlTags, tagId, endTag);
            else if (kind == pkCustomTag)
                calls = p->CallsTag(tkCustomTags, tagId, endTag);
            else if (kind == pkSsiTag)
                calls = p->CallsTag(tkSsiTags, tagId, endTag);
            else
                calls = p->Calls(kind);
            if (p->Enabled && calls) {
                switch (kind) {
                case pkASP:
                    p->ASPHook(show);
                    break;
                case pkCDataSection:
                    p->CDataHook(show);
                    break;
                case pkComment:
                    p->CommentHook(show);
                    break;
                case pkCustomTag:
                    p->CustomTagHook(show);
                    break;
                case pkDTD:
                    p->DTDHook(show);
                    break;
                case pkExclamationMarkup:
                    p->ExclamationMarkupHook(show);
                    break;
                case pkHtmlPI:
                    p->HtmlPIHook(show);
                    break;
                case pkPHP:
                    p->PHPHook(show);
                    break;
                case pkScript:
                    p->ScriptHook(show);
                    break;
                case pkSsiTag:
                    p->SsiTagHook(show);
                    break;
                case pkStyle:
                    p->StyleHook(show);
                    break;
                case pkHtmlTag:
                    p->HtmlTagHook(show);
                    break;
                case pkText:
                    p->TextHook(show);
                    break;
                case pkTitle:
                    p->TitleHook(show);
                    break;
                case pkXmlPI:
                    p->XmlPIHook(show);
                    break;
                default:
                    break;
                }
            }
            p = next;
        }
    }
    return show ? TStep::Returned : TStep::Skipped;
}

TKvHtmlParser::TStep TKvHtmlParser::ReadStep()
{
    if (pendingKind_ != pkNone) {
        TKvPieceKind kind = pendingKind_;
        pendingKind_ = pkNone;
        return ReadContent(kind);
    }
    if (!charPending_) {
        if (!ReadChar())
            return TStep::Ended;
    } else if (!HasChar()) {
        charPending_ = false;
        return TStep::Ended;
    }
    charPending_ = false;
    ClearData();
    startPosition_ = Position() - 1;
    startLine_ = Line();
    startColumn_ = Column();
    if (Char() != u'<')
        return ReadText();
    return Dispatch();
}

TKvHtmlParser::TStep TKvHtmlParser::Dispatch()
{
    if (Peek(1)) {
        const char16_t c1 = PeekAt(0);
        if (c1 == u'%' && EnableASP) {
            Consume(2);
            return ReadBlock(pkASP, u'%');
        }
        if (c1 == u'!') {
            if (PeekIs(1, u'-') && PeekIs(2, u'-')) {
                if (EnableSSI && PeekIs(3, u'#')) {
                    if (Peek(5) && IsAsciiLetter(PeekAt(4))) {
                        Consume(5);
                        return ReadSsiTag(false);
                    }
                    if (PeekIs(4, u'/') && Peek(6) && IsAsciiLetter(PeekAt(5))) {
                        Consume(6);
                        return ReadSsiTag(true);
                    }
                }
                Consume(4);
                return ReadComment();
            }
            if (PeekIs(1, u'[') && PeekWordCI(2, u"CDATA[")) {
                Consume(9);
                return ReadCData();
            }
            if (PeekWordCI(1, u"DOCTYPE")) {
                Consume(9);
                return ReadUntilGt(pkDTD);
            }
            Consume(2);
            return ReadUntilGt(pkExclamationMarkup);
        }
        if (c1 == u'?') {
            if (PeekWordCI(1, u"xml")) {
                Consume(5);
                return ReadXmlPI();
            }
            if (EnablePHP && PeekWordCI(1, u"php")) {
                Consume(5);
                return ReadBlock(pkPHP, u'?');
            }
            Consume(2);
            return ReadUntilGt(pkHtmlPI);
        }
        if (EnableCustomTags && c1 == CustomTagChar) {
            if (Peek(2) && IsNameChar(PeekAt(1))) {
                Consume(2);
                return ReadTag(tkCustomTags, false);
            }
            if (PeekIs(1, u'/') && Peek(3) && IsNameChar(PeekAt(2))) {
                Consume(3);
                return ReadTag(tkCustomTags, true);
            }
        }
        if (EnableHtmlTags) {
            if (IsAsciiLetter(c1)) {
                Consume(1);
                return ReadTag(tkHtmlTags, false);
            }
            if (c1 == u'/' && Peek(2) && IsAsciiLetter(PeekAt(1))) {
                Consume(2);
                return ReadTag(tkHtmlTags, true);
            }
        }
    }
    // Nothing matched: the "<" starts a text piece that takes it as content,
    // so every piece consumes at least one character.
    if (Decide(pkText).store)
        AppendChar(u'<');
    ReadChar();
    return ReadText();
}

bool TKvHtmlParser::AtTextStop()
{
    if (!Peek(1))
        return false;
    const char16_t c1 = PeekAt(0);
    if (c1 == u'?' || c1 == u'!' || c1 == u'%' || IsAsciiLetter(c1))
        return true;
    if (c1 == u'/')
        return Peek(2) && IsAsciiLetter(PeekAt(1));
    if (c1 == CustomTagChar) {
        if (!Peek(2))
            return false;
        if (IsNameChar(PeekAt(1)))
            return true;
        return PeekAt(1) == u'/' && Peek(3) && IsNameChar(PeekAt(2));
    }
    return false;
}

TKvHtmlParser::TStep TKvHtmlParser::ReadText()
{
    const TDecision d = Decide(pkText);
    const bool normalize = NormalizeWhiteSpace && preDepth_ == 0;
    while (HasChar()) {
        const char16_t c = Char();
        if (c == u'<' && AtTextStop()) {
            charPending_ = true;
            break;
        }
        if (c == u'&' && d.store) {
            DecodeEntity(normalize);
            continue;
        }
        if (d.store) {
            if (normalize && c < 33)
                AppendSpace();
            else
                AppendChar(c);
        }
        ReadChar();
    }
    return Deliver(pkText, d);
}

TKvHtmlParser::TStep TKvHtmlParser::ReadBlock(TKvPieceKind kind, char16_t endChar)
{
    const TDecision d = Decide(kind);
    while (HasChar()) {
        if (Char() == endChar && PeekIs(0, u'>')) {
            ReadChar();
            break;
        }
        Take(d.store);
    }
    return Deliver(kind, d);
}

TKvHtmlParser::TStep TKvHtmlParser::ReadUntilGt(TKvPieceKind kind)
{
    const TDecision d = Decide(kind);
    while (HasChar() && Char() != u'>')
        Take(d.store);
    return Deliver(kind, d);
}

TKvHtmlParser::TStep TKvHtmlParser::ReadXmlPI()
{
    const TDecision d = Decide(pkXmlPI);
    while (HasChar()) {
        if (Char() == u'>')
            break;
        if (Char() == u'?' && PeekIs(0, u'>')) {
            ReadChar();
            break;
        }
        Take(d.store);
    }
    return Deliver(pkXmlPI, d);
}

TKvHtmlParser::TStep TKvHtmlParser::ReadComment()
{
    const TDecision d = Decide(pkComment);
    int32_t hyphens = 0;
    while (HasChar()) {
        const char16_t c = Char();
        if (c == u'>' && hyphens >= 2) {
            if (d.store)
                SetDataLength(DataLength() - hyphens);
            break;
        }
        hyphens = c == u'-' ? hyphens + 1 : 0;
        Take(d.store);
    }
    return Deliver(pkComment, d);
}

TKvHtmlParser::TStep TKvHtmlParser::ReadCData()
{
    const TDecision d = Decide(pkCDataSection);
    int32_t brackets = 0;
    while (HasChar()) {
        const char16_t c = Char();
        if (c == u'>' && brackets >= 1) {
            // Only the closing brackets that are there, at most two, are not content.
            if (d.store)
                SetDataLength(DataLength() - (brackets < 2 ? brackets : 2));
            break;
        }
        brackets = c == u']' ? brackets + 1 : 0;
        Take(d.store);
    }
    return Deliver(pkCDataSection, d);
}

bool TKvHtmlParser::AtEndTagOf(const char16_t* name)
{
    if (Char() != u'<' || !PeekIs(0, u'/') || !PeekWordCI(1, name))
        return false;
    int32_t len = static_cast<int32_t>(std::char_traits<char16_t>::length(name));
    return !Peek(len + 2) || !IsNameChar(PeekAt(len + 1));
}

bool TKvHtmlParser::AtScriptEndTag()
{
    if (Char() != u'<' || !PeekIs(0, u'/') || !PeekWordCI(1, u"script"))
        return false;
    int32_t i = 7;
    while (Peek(i + 1) && IsWideSpace(PeekAt(i)))
        ++i;
    return Peek(i + 1) && PeekAt(i) == u'>';
}

TKvHtmlParser::TStep TKvHtmlParser::ReadContent(TKvPieceKind kind)
{
    if (!ReadChar())
        return TStep::Ended;
    ClearData();
    startPosition_ = Position() - 1;
    startLine_ = Line();
    startColumn_ = Column();
    const TDecision d = Decide(kind);
    switch (kind) {
    case pkScript:
        if (scriptAware_)
            ScanScriptAware(d.store);
        else
            ScanScriptPlain(d.store);
        break;
    case pkStyle:
        while (HasChar() && !AtEndTagOf(u"style"))
            Take(d.store);
        break;
    default: // title: white space collapsed
        while (HasChar() && !AtEndTagOf(u"title")) {
            if (d.store)
                AppendCollapsed(Char());
            ReadChar();
        }
        break;
    }
    charPending_ = true;
    return Deliver(kind, d);
}

// --- Tags -------------------------------------------------------------------------------------

TKvHtmlParser::TStep TKvHtmlParser::ReadTag(TKvTagKind kind, bool endTag)
{
    TKvTag& tag = kind == tkHtmlTags ? static_cast<TKvTag&>(htmlTag_) : customTag_;
    const TKvPieceKind pieceKind = kind == tkHtmlTags ? pkHtmlTag : pkCustomTag;
    tag.Clear();
    ClearData();
    ReadWhile(&IsNameChar);
    tag.Name = DataAsString();
    tag.ID = KvHtmlTagID(Data(), DataLength());
    uint32_t word = TagWord(kind, tag.ID);
    // META is always read: its declarations matter even while hidden.
    if (kind == tkHtmlTags && tag.ID == kvTagMETA)
        word |= kReadBit;
    TDecision d;
    if (endTag) {
        tag.EndFlag = 1;
        SkipUntilChar(u'>');
        if (kind == tkHtmlTags && tag.ID == kvTagPRE && preDepth_ > 0)
            --preDepth_;
        d.show = (word & (kReturnBit << kEndShift)) != 0;
        d.plugins = (word & kEndPluginBit) != 0;
        d.store = d.show || d.plugins;
        return Deliver(pieceKind, d, tag.ID, true);
    }
    d.show = (word & kReturnBit) != 0;
    d.plugins = (word & kStartPluginBit) != 0;
    const bool parse = (word & kReadBit) != 0 || d.plugins;
    d.store = parse;
    ParseAttributes(tag, parse);
    ClearData();
    AppendString(tag.Name);
    if (tag.EndFlag == 0 && kind == tkHtmlTags) {
        switch (tag.ID) {
        case kvTagSCRIPT: {
            pendingKind_ = pkScript;
            WideString type = tag.ValueOfID(kvAttrTYPE);
            if (type.IsEmpty())
                type = tag.ValueOfID(kvAttrLANGUAGE);
            if (type.IsEmpty())
                type = documentScriptType_;
            if (type.IsEmpty())
                type = DefaultContentScriptType;
            scriptAware_ = type.IsEmpty() || WideContainsText(WideString(u"JavaScript"), type, 1);
            break;
        }
        case kvTagSTYLE:
            pendingKind_ = pkStyle;
            break;
        case kvTagTITLE:
            pendingKind_ = pkTitle;
            break;
        case kvTagPRE:
            ++preDepth_;
            break;
        case kvTagMETA:
            if (parse &&
                WideSameText(tag.ValueOfID(kvAttrHTTP_EQUIV), WideString(u"Content-Script-Type")) &&
                tag.IndexOfID(kvAttrCONTENT) >= 0)
                documentScriptType_ = tag.ValueOfID(kvAttrCONTENT);
            break;
        default:
            break;
        }
    }
    return Deliver(pieceKind, d, tag.ID, false);
}

void TKvHtmlParser::ParseAttributes(TKvTag& tag, bool store)
{
    for (;;) {
        SkipWhile(&IsWideSpace);
        if (!HasChar() || Char() == u'>')
            return;
        const char16_t c = Char();
        if (c == u'/') {
            // Only parsed attributes notice "/>"; skipping passes over it.
            if (store && PeekIs(0, u'>')) {
                if (tag.EndFlag == 0)
                    tag.EndFlag = 2;
                ReadChar();
                return;
            }
            ReadChar();
            continue;
        }
        if (!IsAsciiLetter(c)) {
            ReadChar();
            continue;
        }
        ClearData();
        if (store)
            ReadWhile(&IsNameChar);
        else
            SkipWhile(&IsNameChar);
        WideString name = store ? DataAsString() : WideString();
        SkipWhile(&IsWideSpace);
        WideString value;
        if (HasChar() && Char() == u'=') {
            ReadChar();
            SkipWhile(&IsWideSpace);
            ClearData();
            if (HasChar() && (Char() == u'"' || Char() == u'\'')) {
                const char16_t quote = Char();
                ReadChar();
                while (HasChar() && Char() != quote) {
                    if (store && Char() == u'&')
                        DecodeEntity(false);
                    else
                        Take(store);
                }
                if (HasChar())
                    ReadChar();
                if (store) {
                    value = DataAsString();
                    if (!TrimAttribValues)
                        value = WideTrim(value);
                }
            } else {
                while (HasChar() && !IsWideSpace(Char()) && Char() != u'>') {
                    if (store && Char() == u'&')
                        DecodeEntity(false);
                    else
                        Take(store);
                }
                if (store)
                    value = DataAsString();
            }
        }
        if (store)
            tag.Add(name, value, KvHtmlAttribID(name.Data(), name.Length()));
    }
}

int32_t TKvHtmlParser::HyphenRun(bool& closes)
{
    int32_t n = 1;
    while (Peek(n) && PeekAt(n - 1) == u'-')
        ++n;
    closes = n >= 2 && Peek(n) && PeekAt(n - 1) == u'>';
    return n;
}

void TKvHtmlParser::ReadSsiName(bool store, bool& ended)
{
    while (HasChar() && IsNameChar(Char())) {
        if (Char() == u'-') {
            bool closes;
            int32_t n = HyphenRun(closes);
            if (closes) {
                Consume(n); // the ">" stays current: it ends the piece
                ended = true;
                return;
            }
            for (int32_t i = 0; i < n; ++i)
                Take(store);
            continue;
        }
        Take(store);
    }
}

void TKvHtmlParser::ReadSsiValue(bool store, bool& ended)
{
    ClearData();
    if (!HasChar())
        return;
    const char16_t quote = Char();
    if (quote == u'"' || quote == u'\'' || quote == u'`') {
        ReadChar();
        while (HasChar() && Char() != quote) {
            if (Char() == u'\\' && PeekIs(0, quote)) {
                ReadChar();
                Take(store);
                continue;
            }
            if (store && Char() == u'&') {
                DecodeEntity(false);
                continue;
            }
            Take(store);
        }
        if (HasChar())
            ReadChar();
        return;
    }
    while (HasChar() && !IsWideSpace(Char())) {
        const char16_t c = Char();
        if (c == u'-') {
            bool closes;
            int32_t n = HyphenRun(closes);
            if (closes) {
                Consume(n);
                ended = true;
                return;
            }
            for (int32_t i = 0; i < n; ++i)
                Take(store);
            continue;
        }
        // Skipping ends an unquoted value at ">" and gives "&" no meaning.
        if (!store && c == u'>')
            return;
        if (store && c == u'&') {
            DecodeEntity(false);
            continue;
        }
        Take(store);
    }
}

void TKvHtmlParser::ParseSsiAttributes(TKvTag& tag, bool store, bool& ended)
{
    while (HasChar() && !ended) {
        const char16_t c = Char();
        if (c == u'-') {
            bool closes;
            int32_t n = HyphenRun(closes);
            Consume(n);
            if (closes) {
                ended = true;
                return;
            }
            continue;
        }
        if (c == u'/') {
            int32_t m = 0;
            while (Peek(m + 1) && PeekAt(m) == u'-')
                ++m;
            if (m >= 2 && Peek(m + 1) && PeekAt(m) == u'>') {
                if (tag.EndFlag == 0)
                    tag.EndFlag = 2;
                Consume(m + 1);
                ended = true;
                return;
            }
            ReadChar();
            continue;
        }
        if (!IsSsiNameStart(c)) {
            ReadChar();
            continue;
        }
        ClearData();
        ReadSsiName(store, ended);
        WideString name = store ? DataAsString() : WideString();
        WideString value;
        if (!ended) {
            SkipWhile(&IsWideSpace);
            if (HasChar() && Char() == u'=') {
                ReadChar();
                SkipWhile(&IsWideSpace);
                const bool quoted =
                    HasChar() && (Char() == u'"' || Char() == u'\'' || Char() == u'`');
                ReadSsiValue(store, ended);
                if (store) {
                    value = DataAsString();
                    // White space inside the marks is always removed.
                    if (quoted)
                        value = WideTrim(value);
                }
            }
        }
        if (store && !name.IsEmpty())
            tag.Add(name, value, KvHtmlAttribID(name.Data(), name.Length()));
    }
}

TKvHtmlParser::TStep TKvHtmlParser::ReadSsiTag(bool endTag)
{
    TKvSsiTag& tag = ssiTag_;
    tag.Clear();
    tag.EndFlag = endTag ? 1 : 0;
    ClearData();
    bool ended = false;
    ReadSsiName(true, ended);
    tag.Name = DataAsString();
    tag.ID = KvHtmlTagID(Data(), DataLength());
    const uint32_t word = TagWord(tkSsiTags, tag.ID);
    const uint32_t shift = endTag ? kEndShift : 0;
    TDecision d;
    d.show = (word & (kReturnBit << shift)) != 0;
    d.plugins = (word & (endTag ? kEndPluginBit : kStartPluginBit)) != 0;
    d.store = (word & (kReadBit << shift)) != 0 || d.plugins;
    if (!ended)
        ParseSsiAttributes(tag, d.store, ended);
    ClearData();
    AppendString(tag.Name);
    return Deliver(pkSsiTag, d, tag.ID, endTag);
}

// --- Entities ------------------------------------------------------------------------------

void TKvHtmlParser::DecodeEntity(bool normalized)
{
    const int32_t mark = DataLength();
    AppendChar(u'&');
    ReadChar();
    if (!HasChar())
        return;
    uint32_t codePoint = 0;
    bool numeric = false;
    if (Char() == u'#') {
        AppendChar(u'#');
        ReadChar();
        const bool hex = HasChar() && (Char() == u'x' || Char() == u'X');
        if (hex) {
            AppendChar(Char());
            ReadChar();
        }
        int64_t value = 0;
        int digits = 0;
        while (HasChar()) {
            const int digit =
                hex ? HexDigitValue(Char()) : (IsDecimalDigit(Char()) ? Char() - u'0' : -1);
            if (digit < 0)
                break;
            value = value * (hex ? 16 : 10) + digit;
            ++digits;
            AppendChar(Char());
            ReadChar();
            // Accumulation stops past the last code point; what follows then
            // decides whether the reference stands.
            if (hex ? value >= 0x110000 : value > 1114111)
                break;
        }
        if (digits == 0)
            return;
        codePoint = static_cast<uint32_t>(value > 0x10FFFF ? 0x110000 : value);
        numeric = true;
    } else if (IsNameChar(Char())) {
        const int32_t nameStart = DataLength();
        while (HasChar() && IsNameChar(Char())) {
            AppendChar(Char());
            ReadChar();
        }
        const bool terminated = !HasChar() || Char() == u';' || Char() == u' ';
        char16_t c;
        if (!terminated || !KvHtmlEntityChar(Data() + nameStart, DataLength() - nameStart, c))
            return;
        codePoint = c;
    } else {
        return;
    }
    if (HasChar() && Char() != u';' && Char() != u' ')
        return;
    if (HasChar() && Char() == u';')
        ReadChar();
    SetDataLength(mark);
    char16_t units[2];
    int count = 1;
    if (numeric) {
        if (codePoint >= 128 && codePoint <= 159)
            units[0] = kWindows1252[codePoint - 128];
        else if (codePoint == 0 || (codePoint >= 0xD800 && codePoint <= 0xDFFF) ||
                 codePoint > 0x10FFFF)
            units[0] = kReplacementChar;
        else if (codePoint >= 0x10000) {
            units[0] = static_cast<char16_t>(0xD800 + ((codePoint - 0x10000) >> 10));
            units[1] = static_cast<char16_t>(0xDC00 + ((codePoint - 0x10000) & 0x3FF));
            count = 2;
        } else
            units[0] = static_cast<char16_t>(codePoint);
    } else {
        units[0] = static_cast<char16_t>(codePoint);
    }
    for (int i = 0; i < count; ++i) {
        if (normalized && units[i] < 0x21)
            AppendSpace();
        else
            AppendChar(units[i]);
    }
}

// --- Script content ----------------------------------------------------------------------------

void TKvHtmlParser::ScanScriptPlain(bool store)
{
    while (HasChar() && !AtScriptEndTag())
        Take(store);
}

void TKvHtmlParser::ScanLineComment(bool store)
{
    while (HasChar()) {
        const char16_t c = Char();
        if (IsLineEnd(c))
            return;
        if (c == u'-') {
            bool closes;
            int32_t n = HyphenRun(closes);
            for (int32_t i = 0; i < n; ++i)
                Take(store);
            if (closes) {
                Take(store); // the ">" belongs to the comment
                return;
            }
            continue;
        }
        Take(store);
    }
}

void TKvHtmlParser::ScanScriptAware(bool store)
{
    enum class TToken { None, Unrecognised, Word, Number, String, Regex, Punct };
    TToken last = TToken::None;
    char16_t lastPunct[5] = {};
    auto divisionAllowed = [&] {
        if (last != TToken::Punct)
            return true; // none, unrecognised, word, number, string, regex
        std::u16string_view p(lastPunct);
        return p == u")" || p == u"]" || p == u"}" || p == u"++" || p == u"--";
    };
    auto setPunct = [&](std::u16string_view op) {
        last = TToken::Punct;
        size_t n = op.size() < 4 ? op.size() : 4;
        for (size_t i = 0; i < n; ++i)
            lastPunct[i] = op[i];
        lastPunct[n] = 0;
    };
    while (HasChar()) {
        const char16_t c = Char();
        if (IsScriptSpace(c)) {
            Take(store);
            continue;
        }
        if (c == u'<') {
            if (PeekIs(0, u'!') && PeekIs(1, u'-') && PeekIs(2, u'-')) {
                for (int i = 0; i < 4; ++i)
                    Take(store);
                ScanLineComment(store);
                continue;
            }
            if (AtScriptEndTag())
                return;
        }
        if (c == u'"' || c == u'\'') {
            Take(store);
            while (HasChar()) {
                const char16_t s = Char();
                Take(store);
                if (s == u'\\') {
                    if (HasChar())
                        Take(store);
                    continue;
                }
                if (s == c)
                    break;
            }
            last = TToken::String;
            continue;
        }
        if (c == u'/') {
            if (PeekIs(0, u'*')) {
                // The closing "*/" is looked for from the opening asterisk on, so
                // "/*/" is a whole comment.
                Take(store);
                while (HasChar()) {
                    if (Char() == u'*' && PeekIs(0, u'/')) {
                        Take(store);
                        Take(store);
                        break;
                    }
                    Take(store);
                }
                continue;
            }
            if (PeekIs(0, u'/')) {
                Take(store);
                Take(store);
                ScanLineComment(store);
                continue;
            }
            if (divisionAllowed()) {
                Take(store);
                if (HasChar() && Char() == u'=') {
                    Take(store);
                    setPunct(u"/=");
                } else {
                    setPunct(u"/");
                }
                continue;
            }
            Take(store);
            while (HasChar()) {
                const char16_t r = Char();
                Take(store);
                if (r == u'\\') {
                    if (HasChar())
                        Take(store);
                    continue;
                }
                if (r == u'/')
                    break;
            }
            while (HasChar() && IsAsciiLetter(Char()))
                Take(store);
            last = TToken::Regex;
            continue;
        }
        if (IsAsciiLetter(c) || c == u'$' || c == u'_' || c == u'\\') {
            for (;;) {
                if (!HasChar())
                    break;
                const char16_t w = Char();
                if (IsAsciiLetter(w) || IsDecimalDigit(w) || w == u'$' || w == u'_') {
                    Take(store);
                    continue;
                }
                if (w != u'\\')
                    break;
                Take(store);
                if (!HasChar())
                    break;
                if (Char() == u'_') {
                    Take(store);
                    continue;
                }
                const char16_t kind = Char();
                if (kind != u'u' && kind != u'x')
                    break;
                Take(store);
                const int want = kind == u'u' ? 4 : 2;
                int got = 0;
                while (got < want && HasChar() && IsWideHexDigit(Char())) {
                    Take(store);
                    ++got;
                }
                if (got < want)
                    break;
            }
            last = TToken::Word;
            continue;
        }
        if (IsDecimalDigit(c)) {
            if (c == u'0' && (PeekIs(0, u'x') || PeekIs(0, u'X'))) {
                Take(store);
                Take(store);
                while (HasChar() && IsWideHexDigit(Char()))
                    Take(store);
            } else {
                while (HasChar() && IsDecimalDigit(Char()))
                    Take(store);
                if (HasChar() && Char() == u'.') {
                    Take(store);
                    while (HasChar() && IsDecimalDigit(Char()))
                        Take(store);
                }
                if (HasChar() && (Char() == u'e' || Char() == u'E')) {
                    Take(store);
                    if (HasChar() && (Char() == u'+' || Char() == u'-'))
                        Take(store);
                    while (HasChar() && IsDecimalDigit(Char()))
                        Take(store);
                }
            }
            last = TToken::Number;
            continue;
        }
        // Operators and punctuation by longest match.
        char16_t op[5] = {c, 0, 0, 0, 0};
        int len = 0;
        if (IsScriptOperator(std::u16string_view(op, 1))) {
            len = 1;
            for (int n = 2; n <= 4; ++n) {
                if (!Peek(n - 1))
                    break;
                op[n - 1] = PeekAt(n - 2);
                if (IsScriptOperator(std::u16string_view(op, static_cast<size_t>(n))))
                    len = n;
            }
        }
        if (len > 0) {
            for (int i = 0; i < len; ++i)
                Take(store);
            setPunct(std::u16string_view(op, static_cast<size_t>(len)));
            continue;
        }
        Take(store);
        last = TToken::Unrecognised;
    }
}
