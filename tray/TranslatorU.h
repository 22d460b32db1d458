#pragma once
// The window library's translator: every caption the library shows passes
// through Translate. The tray loads no text list, so captions come back as
// given, unless the ShowHash mode (a translator's aid: every text followed by
// its key) is on.
//
// One process-wide instance, created on first use and never freed; it belongs
// to the GUI thread. Its two registry values, "TransMode" and "Language", lie
// in the program key (32-bit view), under HKCU unless SetPerUser(false)
// moves them to HKLM.

#include "platform/ClassesU.h"

#include <functional>
#include <map>
#include <string>
#include <string_view>

class TTranslator2 : public TObject {
public:
    // May replace every result of Translate, as its last step.
    using TResultHook = std::function<void(std::string& Result)>;
    // Where the debug lines go (OutputDebugStringA unless a test puts its own in).
    using TDebugOutput = void (*)(const char* Line);

    static TTranslator2& Instance();

    // Section "main" and Text as key, or, when Text holds a ".", the part
    // before the first "." and the rest. An empty key becomes StrHash32(Text)
    // as 8 upper-case hexadecimal digits. Found: the decoded value (UTF-8 as
    // stored), then "-" + key in ShowHash mode; not found: Text, then "~" +
    // key in ShowHash mode. True when found.
    bool Translate(const std::string& Text, std::string& Result) const;
    // The same with a found value converted from UTF-8 to the system code
    // page: the form for captions of ANSI windows.
    bool TranslateAnsi(const std::string& Text, std::string& Result) const;

    // Stores the mode and writes "TransMode" ("ShowHash", or '' when off).
    void SetShowHash(bool On);
    bool ShowHash() const { return showHash_; }
    // Reads "Language" ('' when missing).
    void ReadLanguage();
    const std::string& Language() const { return languageName_; }

    // The text list: UTF-8 INI text ("[section]" lines and "key=value"
    // lines; names ignore ASCII case, the first of a name wins). Replaces any
    // earlier list; '' empties it.
    void LoadTexts(std::string_view IniUtf8);

    void SetPerUser(bool PerUser) { perUser_ = PerUser; }
    void SetDebug(bool On) { debug_ = On; }
    void SetResultHook(TResultHook Hook) { resultHook_ = std::move(Hook); }
    static TDebugOutput SetDebugOutput(TDebugOutput Output) noexcept;

private:
    TTranslator2() = default;

    struct TLessNoCase {
        bool operator()(const std::string& A, const std::string& B) const;
    };
    using TSection = std::map<std::string, std::string, TLessNoCase>;

    bool Lookup(const std::string& Text, bool Ansi, std::string& Result) const;

    std::map<std::string, TSection, TLessNoCase> texts_;
    std::string languageName_;
    bool debug_ = false;
    bool showHash_ = false;
    bool perUser_ = true;
    TResultHook resultHook_;
};
