#include "controls/KvHtmlParser.h"

#include "controls/KvCardinalHash.h"
#include "controls/KvHtmlColors.h"
#include "controls/KvWideStringHash.h"
#include "platform/GuardU.h"

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
