#include "controls/KvHtmlColors.h"

#include "controls/KvCardinalHash.h"
#include "controls/KvWideStringHash.h"

namespace {

struct ColorEntry {
    const char16_t* name;
    uint32_t color;
};

// The CSS 3 colour keywords, spelled with "gray" except "lightgrey".
constexpr ColorEntry kColors[] = {
    {u"aliceblue", 0x00FFF8F0},
    {u"antiquewhite", 0x00D7EBFA},
    {u"aqua", 0x00FFFF00},
    {u"aquamarine", 0x00D4FF7F},
    {u"azure", 0x00FFFFF0},
    {u"beige", 0x00DCF5F5},
    {u"bisque", 0x00C4E4FF},
    {u"black", 0x00000000},
    {u"blanchedalmond", 0x00CDEBFF},
    {u"blue", 0x00FF0000},
    {u"blueviolet", 0x00E22B8A},
    {u"brown", 0x002A2AA5},
    {u"burlywood", 0x0087B8DE},
    {u"cadetblue", 0x00A09E5F},
    {u"chartreuse", 0x0000FF7F},
    {u"chocolate", 0x001E69D2},
    {u"coral", 0x00507FFF},
    {u"cornflowerblue", 0x00ED9564},
    {u"cornsilk", 0x00DCF8FF},
    {u"crimson", 0x003C14DC},
    {u"cyan", 0x00FFFF00},
    {u"darkblue", 0x008B0000},
    {u"darkcyan", 0x008B8B00},
    {u"darkgoldenrod", 0x000B86B8},
    {u"darkgray", 0x00A9A9A9},
    {u"darkgreen", 0x00006400},
    {u"darkkhaki", 0x006BB7BD},
    {u"darkmagenta", 0x008B008B},
    {u"darkolivegreen", 0x002F6B55},
    {u"darkorange", 0x00008CFF},
    {u"darkorchid", 0x00CC3299},
    {u"darkred", 0x0000008B},
    {u"darksalmon", 0x007A96E9},
    {u"darkseagreen", 0x008FBC8F},
    {u"darkslateblue", 0x008B3D48},
    {u"darkslategray", 0x004F4F2F},
    {u"darkturquoise", 0x00D1CE00},
    {u"darkviolet", 0x00D30094},
    {u"deeppink", 0x009314FF},
    {u"deepskyblue", 0x00FFBF00},
    {u"dimgray", 0x00696969},
    {u"dodgerblue", 0x00FF901E},
    {u"firebrick", 0x002222B2},
    {u"floralwhite", 0x00F0FAFF},
    {u"forestgreen", 0x00228B22},
    {u"fuchsia", 0x00FF00FF},
    {u"gainsboro", 0x00DCDCDC},
    {u"ghostwhite", 0x00FFF8F8},
    {u"gold", 0x0000D7FF},
    {u"goldenrod", 0x0020A5DA},
    {u"gray", 0x00808080},
    {u"green", 0x00008000},
    {u"greenyellow", 0x002FFFAD},
    {u"honeydew", 0x00F0FFF0},
    {u"hotpink", 0x00B469FF},
    {u"indianred", 0x005C5CCD},
    {u"indigo", 0x0082004B},
    {u"ivory", 0x00F0FFFF},
    {u"khaki", 0x008CE6F0},
    {u"lavender", 0x00FAE6E6},
    {u"lavenderblush", 0x00F5F0FF},
    {u"lawngreen", 0x0000FC7C},
    {u"lemonchiffon", 0x00CDFAFF},
    {u"lightblue", 0x00E6D8AD},
    {u"lightcoral", 0x008080F0},
    {u"lightcyan", 0x00FFFFE0},
    {u"lightgoldenrodyellow", 0x00D2FAFA},
    {u"lightgreen", 0x0090EE90},
    {u"lightgrey", 0x00D3D3D3},
    {u"lightpink", 0x00C1B6FF},
    {u"lightsalmon", 0x007AA0FF},
    {u"lightseagreen", 0x00AAB220},
    {u"lightskyblue", 0x00FACE87},
    {u"lightslategray", 0x00998877},
    {u"lightsteelblue", 0x00DEC4B0},
    {u"lightyellow", 0x00E0FFFF},
    {u"lime", 0x0000FF00},
    {u"limegreen", 0x0032CD32},
    {u"linen", 0x00E6F0FA},
    {u"magenta", 0x00FF00FF},
    {u"maroon", 0x00000080},
    {u"mediumaquamarine", 0x00AACD66},
    {u"mediumblue", 0x00CD0000},
    {u"mediumorchid", 0x00D355BA},
    {u"mediumpurple", 0x00DB7093},
    {u"mediumseagreen", 0x0071B33C},
    {u"mediumslateblue", 0x00EE687B},
    {u"mediumspringgreen", 0x009AFA00},
    {u"mediumturquoise", 0x00CCD148},
    {u"mediumvioletred", 0x008515C7},
    {u"midnightblue", 0x00701919},
    {u"mintcream", 0x00FAFFF5},
    {u"mistyrose", 0x00E1E4FF},
    {u"moccasin", 0x00B5E4FF},
    {u"navajowhite", 0x00ADDEFF},
    {u"navy", 0x00800000},
    {u"oldlace", 0x00E6F5FD},
    {u"olive", 0x00008080},
    {u"olivedrab", 0x00238E6B},
    {u"orange", 0x0000A5FF},
    {u"orangered", 0x000045FF},
    {u"orchid", 0x00D670DA},
    {u"palegoldenrod", 0x00AAE8EE},
    {u"palegreen", 0x0098FB98},
    {u"paleturquoise", 0x00EEEEAF},
    {u"palevioletred", 0x009370DB},
    {u"papayawhip", 0x00D5EFFF},
    {u"peachpuff", 0x00B9DAFF},
    {u"peru", 0x003F85CD},
    {u"pink", 0x00CBC0FF},
    {u"plum", 0x00DDA0DD},
    {u"powderblue", 0x00E6E0B0},
    {u"purple", 0x00800080},
    {u"red", 0x000000FF},
    {u"rosybrown", 0x008F8FBC},
    {u"royalblue", 0x00E16941},
    {u"saddlebrown", 0x0013458B},
    {u"salmon", 0x007280FA},
    {u"sandybrown", 0x0060A4F4},
    {u"seagreen", 0x00578B2E},
    {u"seashell", 0x00EEF5FF},
    {u"sienna", 0x002D52A0},
    {u"silver", 0x00C0C0C0},
    {u"skyblue", 0x00EBCE87},
    {u"slateblue", 0x00CD5A6A},
    {u"slategray", 0x00908070},
    {u"snow", 0x00FAFAFF},
    {u"springgreen", 0x007FFF00},
    {u"steelblue", 0x00B48246},
    {u"tan", 0x008CB4D2},
    {u"teal", 0x00808000},
    {u"thistle", 0x00D8BFD8},
    {u"tomato", 0x004763FF},
    {u"turquoise", 0x00D0E040},
    {u"violet", 0x00EE82EE},
    {u"wheat", 0x00B3DEF5},
    {u"white", 0x00FFFFFF},
    {u"whitesmoke", 0x00F5F5F5},
    {u"yellow", 0x0000FFFF},
    {u"yellowgreen", 0x0032CD9A},
};

static_assert(sizeof(kColors) / sizeof(kColors[0]) == 140);

TKvCardinalHash* gColors = nullptr;
int gColorsUsers = 0;

} // namespace

void KvHtmlColorsInit()
{
    if (gColorsUsers++ > 0)
        return;
    auto* table = new TKvCardinalHash(KvWideStringKeyHandlerCI());
    table->SetHashCount(140);
    for (const ColorEntry& entry : kColors) {
        WideString name(entry.name);
        *static_cast<uint32_t*>(table->Insert(&name)) = entry.color;
    }
    gColors = table;
}

void KvHtmlColorsDone()
{
    if (gColorsUsers <= 0 || --gColorsUsers > 0)
        return;
    delete gColors;
    gColors = nullptr;
}

TKvCardinalHash* KvHtmlColorTable()
{
    return gColors;
}

bool ColorFromHtml(const WideString& text, uint32_t& color)
{
    const char16_t* p = text.Data();
    int32_t len = text.Length();
    int32_t start = 0;
    while (start < len && p[start] < 0x21)
        ++start;
    if (start == len)
        return false;
    int32_t end = start;
    while (end < len && p[end] > 0x20)
        ++end;
    const char16_t* value = p + start;
    int32_t valueLen = end - start;
    if (value[0] == u'#') {
        ++value;
        --valueLen;
    } else if (gColors) {
        if (void* item = gColors->FindBuf(value, valueLen)) {
            color = *static_cast<uint32_t*>(item);
            return true;
        }
    }
    // Groups of N characters per component; "#" alone gives N = 0 and every
    // component missing, that is black.
    const int32_t n = (valueLen + 2) / 3;
    auto digit = [&](int32_t i) {
        if (i >= valueLen)
            return 0;
        int v = HexDigitValue(value[i]);
        return v < 0 ? 0 : v;
    };
    uint32_t components[3] = {0, 0, 0};
    for (int32_t k = 0; k < 3 && n > 0; ++k) {
        int32_t at = k * n;
        components[k] = n == 1 ? static_cast<uint32_t>(digit(at))
                               : static_cast<uint32_t>(digit(at) * 16 + digit(at + 1));
    }
    color = components[0] + components[1] * 256 + components[2] * 65536;
    return true;
}
