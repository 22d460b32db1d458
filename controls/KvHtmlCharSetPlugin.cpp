#include "controls/KvHtmlCharSetPlugin.h"

#include "controls/KvContainers.h"
#include "controls/KvWideStringHash.h"

#include <cstring>
#include <new>

namespace {

void InitMethods(void* item)
{
    new (item) TKvUnicodeReadMethods{};
}

void CopyMethods(const void* source, void* dest)
{
    std::memcpy(dest, source, sizeof(TKvUnicodeReadMethods));
}

TKvItemHandler* ReadMethodsItemHandler()
{
    static TKvItemHandler* handler = [] {
        auto* h = new TKvItemHandler();
        h->SetItemSize(sizeof(TKvUnicodeReadMethods));
        h->SetOnInitItem(&InitMethods);
        h->SetOnCopyItem(&CopyMethods);
        KvRegisterSharedHandler(h);
        return h;
    }();
    return handler;
}

bool ReadsUtf16LE(const TKvHtmlParser& parser)
{
    return parser.ReadMethods().ReadChar == KvReadMethodsUtf16LE().ReadChar;
}

} // namespace

TKvHash* KvHtmlCharSetTable()
{
    // Built on first use; being a function-local static made after its
    // handlers, it is destroyed before they are freed at program end.
    static TKvHash table(ReadMethodsItemHandler(), KvWideStringKeyHandlerCI());
    return &table;
}

namespace {
// Filled (empty) at start-up like the other tables of the HTML units.
[[maybe_unused]] const TKvHash* const gCharSetTableAtStart = KvHtmlCharSetTable();
} // namespace

TKvHtmlCharSetPlugin::TKvHtmlCharSetPlugin()
{
    SetTagOverride(tkHtmlTags, kvTagMETA, fiShowLocal, fiHide);
    SetFilterXmlPIs(fiShowLocal);
}

void TKvHtmlCharSetPlugin::AttachedHook()
{
    if (TKvHtmlParser* parser = HtmlParser())
        parser->SetReadMethods(DefaultReadMethods);
}

void TKvHtmlCharSetPlugin::XmlPIHook(bool&) {}

void TKvHtmlCharSetPlugin::HtmlTagHook(bool&)
{
    TKvHtmlParser* parser = HtmlParser();
    if (!parser)
        return;
    TKvHtmlTag& tag = parser->HtmlTag();
    if (tag.ID != kvTagMETA || tag.EndFlag == 1)
        return;
    // A declaration inside UTF-16LE text describes bytes that are not there:
    // switching to 8-bit would put a NUL after every character.
    if (ReadsUtf16LE(*parser))
        return;
    if (!WideSameText(tag.ValueOfID(kvAttrHTTP_EQUIV), WideString(u"Content-Type")))
        return;
    const WideString content = tag.ValueOfID(kvAttrCONTENT);
    if (content.IsEmpty())
        return;
    int32_t at = WidePosTextFrom(WideString(u"charset"), content, 1);
    if (at == 0)
        return;
    int32_t i = at - 1 + 7;
    const int32_t len = content.Length();
    while (i < len && IsWideSpace(content[i]))
        ++i;
    if (i >= len || content[i] != u'=')
        return;
    ++i;
    while (i < len && IsWideSpace(content[i]))
        ++i;
    int32_t start = i;
    while (i < len && IsNameChar(content[i]))
        ++i;
    const WideString charSet = content.Substr(start, i - start);
    TKvUnicodeReadMethods methods = DefaultReadMethods;
    if (auto* found = static_cast<TKvUnicodeReadMethods*>(
            KvHtmlCharSetTable()->FindBuf(charSet.Data(), charSet.Length())))
        methods = *found;
    bool allow = true;
    if (OnCharSetChange)
        OnCharSetChange(*this, charSet, methods, allow);
    if (!allow)
        return;
    parser->SetReadMethods(methods);
}
