#include "tray/TranslatorU.h"

#include "platform/HashU.h"
#include "platform/RegistryU.h"
#include "platform/StringListU.h"
#include "platform/SysUtilsU.h"
#include "platform/UnicodeU.h"
#include "platform/qvCommon.h"
#include "tray/TranslatorUtilsU.h"

#include <windows.h>

#include <atomic>
#include <cstdio>

namespace {

void SystemDebugOutput(const char* Line)
{
    OutputDebugStringA(Line);
}

std::atomic<TTranslator2::TDebugOutput> gDebugOutput{&SystemDebugOutput};

std::string HashKey(const std::string& Text)
{
    char hex[9];
    std::snprintf(hex, sizeof hex, "%08X", static_cast<unsigned>(StrHash32(Text, false)));
    return hex;
}

} // namespace

bool TTranslator2::TLessNoCase::operator()(const std::string& A, const std::string& B) const
{
    return AsciiUpperCase(A) < AsciiUpperCase(B);
}

TTranslator2& TTranslator2::Instance()
{
    static TTranslator2* instance = new TTranslator2;
    return *instance;
}

TTranslator2::TDebugOutput TTranslator2::SetDebugOutput(TDebugOutput Output) noexcept
{
    return gDebugOutput.exchange(Output ? Output : &SystemDebugOutput);
}

bool TTranslator2::Translate(const std::string& Text, std::string& Result) const
{
    return Lookup(Text, false, Result);
}

bool TTranslator2::TranslateAnsi(const std::string& Text, std::string& Result) const
{
    return Lookup(Text, true, Result);
}

bool TTranslator2::Lookup(const std::string& Text, bool Ansi, std::string& Result) const
{
    std::string section = "main";
    std::string key = Text;
    if (const size_t dot = Text.find('.'); dot != std::string::npos) {
        section = Text.substr(0, dot);
        key = Text.substr(dot + 1);
    }
    if (key.empty())
        key = HashKey(Text);

    const std::string* value = nullptr;
    if (const auto s = texts_.find(section); s != texts_.end())
        if (const auto k = s->second.find(key); k != s->second.end())
            value = &k->second;

    std::string result;
    if (value) {
        result = DecodeStoredText(*value);
        if (Ansi)
            result = WideToAnsi(Utf8ToWide(result));
        if (showHash_)
            result += "-" + key;
    } else {
        result = Text;
        if (showHash_)
            result += "~" + key;
    }
    if (debug_)
        gDebugOutput.load()((result + ", " + Text + ", " + key + "_Translate ").c_str());
    if (resultHook_)
        resultHook_(result);
    Result = std::move(result);
    return value != nullptr;
}

void TTranslator2::SetShowHash(bool On)
{
    showHash_ = On;
    TProgramKeyView view;
    RegWriteString(perUser_ ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE, ProgramKey(), "TransMode",
                   On ? "ShowHash" : "");
}

void TTranslator2::ReadLanguage()
{
    TProgramKeyView view;
    std::string language; // stays '' when the value is missing
    RegReadString(perUser_ ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE, ProgramKey(), "Language",
                  language);
    languageName_ = std::move(language);
}

void TTranslator2::LoadTexts(std::string_view IniUtf8)
{
    texts_.clear();
    TStringList lines;
    lines.SetText(std::string(IniUtf8));
    TSection* section = nullptr;
    for (int i = 0; i < lines.Count(); ++i) {
        const std::string line = Trim(lines[i]);
        if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
            section = &texts_[line.substr(1, line.size() - 2)];
            continue;
        }
        const size_t eq = line.find('=');
        if (!section || eq == std::string::npos)
            continue;
        section->emplace(Trim(line.substr(0, eq)), lines[i].substr(lines[i].find('=') + 1));
    }
}
