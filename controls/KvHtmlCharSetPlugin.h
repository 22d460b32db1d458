#pragma once
// The parser plug-in that chooses the read methods from a document's own
// charset declaration (a META Content-Type).

#include "controls/KvHtmlParser.h"
#include "controls/KvUnicode.h"

#include <functional>

class TKvHash;
class TKvHtmlCharSetPlugin;

// Charset names (case-insensitive) to read-method sets. The table starts empty
// and nothing registers a charset, so every recognised declaration selects the
// plug-in's default set.
TKvHash* KvHtmlCharSetTable();

// (Sender, charset name, var read methods, var allow change).
using TKvCharSetChangeEvent =
    std::function<void(TKvHtmlCharSetPlugin& sender, const WideString& charSet,
                       TKvUnicodeReadMethods& readMethods, bool& allowChange)>;

class TKvHtmlCharSetPlugin : public TKvHtmlParserPlugin {
public:
    // Asks for META start tags (fiShowLocal) and XML processing instructions.
    TKvHtmlCharSetPlugin();
    const char* ClassName() const override { return "TKvHtmlCharSetPlugin"; }

    // The set chosen when a declaration names no known charset: 8-bit.
    TKvUnicodeReadMethods DefaultReadMethods = KvReadMethods8Bit();
    TKvCharSetChangeEvent OnCharSetChange;

    // Sets the parser to the default read methods: attach before choosing
    // UTF-16LE, or the choice is undone.
    void AttachedHook() override;
    void HtmlTagHook(bool& show) override;
    // Declarations in XML processing instructions change nothing here.
    void XmlPIHook(bool& show) override;
};
