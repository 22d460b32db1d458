// Tokenizer benchmark: plain tagged prose against pathological shapes, both
// as UTF-16LE captions read with the renderer's settings and the charset
// plug-in attached. Prints seconds per size and, last, the ratio of the
// pathological time to the plain time at 1 MB. Not run by the tests.

#include "controls/KvHtmlCharSetPlugin.h"
#include "controls/KvHtmlParser.h"

#include "BenchClock.h"

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr size_t kMegabyteChars = (1u << 20) / 2; // 1 MB of UTF-16LE

std::u16string Repeat(const std::u16string& unit, size_t chars)
{
    std::u16string s;
    s.reserve(chars + unit.size());
    while (s.size() < chars)
        s += unit;
    return s;
}

std::vector<std::u16string> Plain(size_t megabytes)
{
    return {Repeat(u"Lorem ipsum <b>dolor</b> sit <a href=\"page.htm\">amet</a>, consectetur "
                   u"&amp; adipiscing elit.<br>\r\n<font color=red>sed</font> do eiusmod. ",
                   kMegabyteChars * megabytes)};
}

// One document per shape, so that an unclosed construct swallows only its own.
std::vector<std::u16string> Pathological(size_t megabytes)
{
    const size_t part = kMegabyteChars * megabytes / 5;
    std::vector<std::u16string> docs;
    docs.push_back(Repeat(u"&&#&#x&amp&abcdefghij&#12345678&#x1F6", part));
    docs.push_back(Repeat(u"< < <\t< \r\n<  <1 </ <", part));
    docs.push_back(u"<!--" + Repeat(u"- -- --- -> ", part / 2) + u"<a href=\"" +
                   Repeat(u"x > y ' ", part / 2));
    std::u16string nested = Repeat(u"<b>", 100000 * megabytes);
    docs.push_back(nested + Repeat(u"text ", part > nested.size() ? part - nested.size() : 0));
    docs.push_back(u"<script>" + Repeat(u"a/b/c//d\n/re/g;x=/y\\//.z/ 1/2/3 /*/ */ ", part) +
                   u"</script>");
    return docs;
}

double Parse(const std::vector<std::u16string>& docs, size_t& pieces)
{
    double start = bench::Now();
    for (const std::u16string& doc : docs) {
        TKvHtmlParser parser;
        TKvHtmlCharSetPlugin plugin;
        plugin.SetHtmlParser(&parser);
        parser.NormalizeWhiteSpace = true;
        parser.FilterHtmlTags().SetFilter(fiShow);
        parser.SetFilterText(fiShow);
        parser.SetReadMethods(KvReadMethodsUtf16LE());
        parser.SetSourceBuffer(doc.data(), static_cast<int32_t>(doc.size() * 2));
        while (parser.ReadPiece())
            ++pieces;
    }
    return bench::Now() - start;
}

} // namespace

int wmain()
{
    double plain1 = 0, patho1 = 0;
    for (size_t mb : {1u, 8u}) {
        size_t pieces = 0;
        double plain = Parse(Plain(mb), pieces);
        size_t pathoPieces = 0;
        double patho = Parse(Pathological(mb), pathoPieces);
        std::printf("%zu MB\tplain %.3f s (%.3f s/MB, %zu pieces)\tpathological %.3f s "
                    "(%.3f s/MB, %zu pieces)\n",
                    mb, plain, plain / mb, pieces, patho, patho / mb, pathoPieces);
        if (mb == 1) {
            plain1 = plain;
            patho1 = patho;
        }
    }
    std::printf("ratio\t%.3f\n", plain1 > 0 ? patho1 / plain1 : 0.0);
    return 0;
}
