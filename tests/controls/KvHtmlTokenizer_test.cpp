// The tokenizer against golden files in fixtures/tokenizer/. A file holds cases:
//
//   === name
//   settings: flags and filters (see ApplySettings)
//   input: one line; \n \r \t \\ and \uXXXX are escapes
//   then one line per returned piece:
//     kind "text" [name#id/endflag [attr#id="value" ...]]
//   === (next case)
//
// Texts in the dump escape \, ", characters below 32 and above 126 the same way.

#include "controls/KvHtmlCharSetPlugin.h"
#include "controls/KvHtmlParser.h"

#include "ControlsTest.h"
#include "KorvTest.h"

#include <random>
#include <sstream>
#include <string>
#include <vector>

using ctest::LiveBufferTest;

namespace {

const char* const kKindNames[] = {"none",  "asp",    "cdata", "comment", "custom", "dtd",
                                  "excl",  "htmlpi", "tag",   "php",     "script", "ssi",
                                  "style", "text",   "title", "xmlpi"};

std::string Escape(std::u16string_view s)
{
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (char16_t c : s) {
        if (c == u'\\' || c == u'"') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == u'\n') {
            out += "\\n";
        } else if (c == u'\r') {
            out += "\\r";
        } else if (c == u'\t') {
            out += "\\t";
        } else if (c < 32 || c > 126) {
            out += "\\u";
            for (int shift = 12; shift >= 0; shift -= 4)
                out += hex[(c >> shift) & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::u16string Unescape(const std::string& s)
{
    std::u16string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\\' || i + 1 >= s.size()) {
            out += static_cast<char16_t>(static_cast<unsigned char>(s[i]));
            continue;
        }
        char e = s[++i];
        if (e == 'n')
            out += u'\n';
        else if (e == 'r')
            out += u'\r';
        else if (e == 't')
            out += u'\t';
        else if (e == 'u' && i + 4 < s.size()) {
            out += static_cast<char16_t>(std::stoul(s.substr(i + 1, 4), nullptr, 16));
            i += 4;
        } else
            out += static_cast<char16_t>(e);
    }
    return out;
}

TKvFilter FilterNamed(const std::string& name)
{
    if (name == "hide")
        return fiHide;
    if (name == "hidden")
        return fiShowHidden;
    if (name == "shown")
        return fiShowShown;
    if (name == "local")
        return fiShowLocal;
    return fiShow;
}

// Settings words: "renderer" (tags and text shown, white space normalised,
// everything else hidden), "all" (every kind shown, the default), "none" (all
// hidden), kind=filter (asp, cdata, comment, dtd, excl, htmlpi, php, script,
// style, text, title, xmlpi, tag, custom, ssi), and the flags normalize, trim,
// asp!, php!, ssi!, custom!, notags, default=<script type>.
void ApplySettings(TKvHtmlParser& p, const std::string& settings)
{
    auto setAll = [&](TKvFilter f) {
        for (int k = 1; k < kvPieceKindCount; ++k)
            p.SetFilter(static_cast<TKvPieceKind>(k), f);
        p.FilterHtmlTags().SetFilter(f);
        p.FilterCustomTags().SetFilter(f);
        p.FilterSsiTags().SetFilter(f);
    };
    setAll(fiShow);
    std::istringstream words(settings);
    std::string w;
    while (words >> w) {
        if (w == "all")
            setAll(fiShow);
        else if (w == "none")
            setAll(fiHide);
        else if (w == "renderer") {
            setAll(fiHide);
            p.NormalizeWhiteSpace = true;
            p.FilterHtmlTags().SetFilter(fiShow);
            p.SetFilterText(fiShow);
        } else if (w == "normalize")
            p.NormalizeWhiteSpace = true;
        else if (w == "trim")
            p.TrimAttribValues = true;
        else if (w == "asp!")
            p.EnableASP = true;
        else if (w == "php!")
            p.EnablePHP = true;
        else if (w == "ssi!")
            p.EnableSSI = true;
        else if (w == "custom!")
            p.EnableCustomTags = true;
        else if (w == "notags")
            p.EnableHtmlTags = false;
        else if (w.rfind("default=", 0) == 0)
            p.DefaultContentScriptType = WideString(Unescape(w.substr(8)));
        else if (size_t eq = w.find('='); eq != std::string::npos) {
            std::string kind = w.substr(0, eq);
            TKvFilter f = FilterNamed(w.substr(eq + 1));
            if (kind == "tag")
                p.FilterHtmlTags().SetFilter(f);
            else if (kind == "custom")
                p.FilterCustomTags().SetFilter(f);
            else if (kind == "ssi")
                p.FilterSsiTags().SetFilter(f);
            else {
                for (int k = 1; k < kvPieceKindCount; ++k) {
                    if (kind == kKindNames[k])
                        p.SetFilter(static_cast<TKvPieceKind>(k), f);
                }
            }
        }
    }
}

std::string DumpPiece(TKvHtmlParser& p)
{
    std::ostringstream line;
    line << kKindNames[p.PieceKind()] << " \"" << Escape(p.PieceText().View()) << '"';
    if (TKvTag* tag = p.Tag()) {
        line << ' ' << Escape(tag->Name.View()) << '#' << tag->ID << '/'
             << static_cast<int>(tag->EndFlag);
        for (int i = 0; i < tag->Count(); ++i) {
            const TKvNameValueID& a = tag->At(i);
            line << ' ' << Escape(a.Name.View()) << '#' << a.ID << "=\"" << Escape(a.Value.View())
                 << '"';
        }
    }
    return line.str();
}

std::vector<std::string> Tokenize(const std::string& settings, const std::u16string& input)
{
    TKvHtmlParser parser;
    ApplySettings(parser, settings);
    parser.SetReadMethods(KvReadMethodsUtf16LE());
    parser.SetSourceWideString(WideString(input));
    std::vector<std::string> out;
    int guard = 0;
    while (parser.ReadPiece() && ++guard < 100000)
        out.push_back(DumpPiece(parser));
    return out;
}

struct GoldenCase {
    std::string file, name, settings;
    std::u16string input;
    std::vector<std::string> expected;
};

std::vector<GoldenCase> LoadGolden()
{
    std::vector<GoldenCase> cases;
    std::wstring dir = ktest::ProgramPath();
    dir = dir.substr(0, dir.find_last_of(L"\\/") + 1) + L"fixtures\\tokenizer\\";
    WIN32_FIND_DATAW fd{};
    HANDLE find = FindFirstFileW((dir + L"*.txt").c_str(), &fd);
    if (find == INVALID_HANDLE_VALUE)
        return cases;
    do {
        std::wstring wname = fd.cFileName;
        std::string fileName(wname.begin(), wname.end());
        std::istringstream text(ktest::ReadFileBytes(dir + fd.cFileName));
        std::string line;
        GoldenCase* current = nullptr;
        int field = 0;
        while (std::getline(text, line)) {
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            if (line.rfind("===", 0) == 0) {
                cases.push_back({fileName, line.substr(line.size() > 3 ? 4 : 3), "", u"", {}});
                current = &cases.back();
                field = 0;
                continue;
            }
            if (!current || (line.empty() && field < 2) || line.rfind("#", 0) == 0)
                continue;
            if (field == 0 && line.rfind("settings:", 0) == 0) {
                current->settings = line.substr(9);
                field = 1;
            } else if (field <= 1 && line.rfind("input:", 0) == 0) {
                std::string raw = line.substr(6);
                if (!raw.empty() && raw[0] == ' ')
                    raw.erase(0, 1);
                current->input = Unescape(raw);
                field = 2;
            } else if (field == 2 && !line.empty()) {
                current->expected.push_back(line);
            }
        }
    } while (FindNextFileW(find, &fd));
    FindClose(find);
    return cases;
}

} // namespace

class KvHtmlTokenizerTest : public LiveBufferTest {};

TEST_F(KvHtmlTokenizerTest, GoldenFiles)
{
    std::vector<GoldenCase> cases = LoadGolden();
    ASSERT_GT(cases.size(), 20u) << "golden files missing beside the test program";
    for (const GoldenCase& c : cases) {
        SCOPED_TRACE(c.file + ": " + c.name);
        std::vector<std::string> got = Tokenize(c.settings, c.input);
        EXPECT_EQ(c.expected, got) << "input: " << Escape(c.input);
    }
}

// Every piece consumes input: the pieces of any input end within 2 x its
// length + 2 calls, under every setting, with no fault.
TEST_F(KvHtmlTokenizerTest, EveryInputEndsQuickly)
{
    std::vector<std::u16string> inputs;
    for (const GoldenCase& c : LoadGolden()) {
        for (size_t n = 0; n <= c.input.size(); ++n)
            inputs.push_back(c.input.substr(0, n));
    }
    std::mt19937 rng(20261210);
    const char16_t alphabet[] = u"<>/!?%#-&;=\"'`[]*\\ \r\nabcSCRIPTstyle-xml0129ph\xD800\xDC00"
                                u"{}().+";
    const size_t alphabetSize = sizeof(alphabet) / sizeof(alphabet[0]) - 1;
    const char16_t* words[] = {u"<script>",
                               u"</script>",
                               u"<!--",
                               u"-->",
                               u"<![CDATA[",
                               u"]]>",
                               u"&#x",
                               u"&amp",
                               u"<!--#echo ",
                               u"<style>",
                               u"<title>",
                               u"<pre>",
                               u"<?php",
                               u"<%",
                               u"<#x",
                               u"/*",
                               u"//",
                               u"</",
                               u"<meta http-equiv=a "};
    for (int i = 0; i < 100000; ++i) {
        std::u16string s;
        size_t len = rng() % 40;
        while (s.size() < len) {
            if (rng() % 4 == 0)
                s += words[rng() % (sizeof(words) / sizeof(words[0]))];
            else
                s += alphabet[rng() % alphabetSize];
        }
        inputs.push_back(s);
    }
    const char* settingsList[] = {"renderer", "all asp! php! ssi! custom!",
                                  "none asp! php! ssi! custom!", "all notags"};
    for (const std::u16string& input : inputs) {
        for (const char* settings : settingsList) {
            TKvHtmlParser parser;
            // The renderer reads its captions with the charset plug-in attached.
            TKvHtmlCharSetPlugin plugin;
            if (std::string(settings) == "renderer")
                plugin.SetHtmlParser(&parser);
            ApplySettings(parser, settings);
            parser.SetReadMethods(KvReadMethodsUtf16LE());
            parser.SetSourceWideString(WideString(input));
            const size_t limit = 2 * input.size() + 2;
            size_t calls = 0;
            while (calls <= limit) {
                ++calls;
                if (!parser.ReadPiece())
                    break;
            }
            ASSERT_LE(calls, limit) << settings << ": " << Escape(input);
        }
    }
}
