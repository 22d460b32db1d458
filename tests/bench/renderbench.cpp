// HTML renderer benchmark: repaints of a 5,000-word caption with mixed styles
// and links into a 32-bit DIB on a memory DC (the form library's default font), against a bare loop
// that puts the same laid-out lines on the same DIB with ExtTextOutW (font and colour switched
// where the renderer switched them). Prints the first paint (which also measures every word), the
// seconds per repaint of both and, last, the ratio of a repaint to the bare loop. Not run by the
// tests.

#include "controls/KvGraphics.h"
#include "controls/KvHtmlRendererW.h"

#include "BenchClock.h"

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr int kWords = 5000;
constexpr int kRepaints = 20;
constexpr int kWidth = 800;
constexpr int kHeight = 8192;

// Eight words per round, every honoured tag among them.
std::u16string Caption()
{
    const char16_t* rounds[] = {
        u"Lorem <b>ipsum</b> dolor <a href=\"page.htm\">sit amet</a>, con<i>sec</i>tetur "
        u"<font color=red>adipiscing</font> elit ",
        u"sed <u>do</u> eiusmod <s>tempor</s> <b><i>incididunt</i></b> ut <a href=x>labore "
        u"<b>et</b></a> ",
        u"dolore magna <font color=\"#008000\">aliqua</font>. Ut <i>enim</i> ad minim<br>",
        u"veniam, quis <a href=y>nostrud</a> exercitation ullamco laboris nisi<p>",
    };
    std::u16string caption;
    int words = 0;
    for (int i = 0; words < kWords; ++i) {
        caption += rounds[i % 4];
        words += 8;
    }
    return caption;
}

// Forwards to the DC and records every line it draws.
class RecordingCanvas : public IKvTextCanvasW {
public:
    struct Line {
        TKvFontStylesW style;
        uint32_t rgb;
        int32_t x, y;
        std::wstring text;
    };
    explicit RecordingCanvas(HDC dc) : dc_(dc) {}
    TKvFontStylesW FontStyle() override { return dc_.FontStyle(); }
    void SetFontStyle(TKvFontStylesW style) override { dc_.SetFontStyle(style); }
    void SetFontColor(uint32_t rgb) override
    {
        rgb_ = rgb;
        dc_.SetFontColor(rgb);
    }
    int32_t TextWidth(const WideString& text) override { return dc_.TextWidth(text); }
    int32_t TextHeight(const WideString& text) override { return dc_.TextHeight(text); }
    void OutputText(int32_t x, int32_t y, const WideString& text) override
    {
        lines.push_back({dc_.FontStyle(), rgb_, x, y,
                         std::wstring(reinterpret_cast<const wchar_t*>(text.Data()),
                                      static_cast<size_t>(text.Length()))});
        dc_.OutputText(x, y, text);
    }
    std::vector<Line> lines;

private:
    TKvDCTextCanvasW dc_;
    uint32_t rgb_ = 0;
};

} // namespace

int wmain()
{
    TBitmap bitmap(kWidth, kHeight);
    HDC dc = bitmap.Canvas().Handle();
    if (!dc) {
        std::fprintf(stderr, "renderbench: no DIB\n");
        return 1;
    }
    TFont font;
    TDcSelection fontSelection(dc, font.Handle());
    LOGFONTW lf{};
    GetObjectW(font.Handle(), sizeof(lf), &lf);
    const RECT area{0, 0, kWidth, kHeight};
    const RECT rect{4, 4, kWidth - 4, kHeight};
    HBRUSH white = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));

    TDefaultParserW parser;
    auto tree = parser.Parse(WideString(Caption()));
    TKvHtmlRendererW renderer;

    // The first paint measures every word; it also records the lines.
    RecordingCanvas recorder(dc);
    FillRect(dc, &area, white);
    double start = bench::Now();
    renderer.Draw(recorder, rect, *tree);
    const double first = bench::Now() - start;
    const std::vector<RecordingCanvas::Line> lines = recorder.lines;

    start = bench::Now();
    for (int i = 0; i < kRepaints; ++i) {
        FillRect(dc, &area, white);
        renderer.Draw(dc, rect, *tree);
    }
    const double repaint = (bench::Now() - start) / kRepaints;

    // The bare loop: the same lines, fonts made once beforehand.
    HFONT fonts[kvfsAll + 1];
    for (int s = 0; s <= kvfsAll; ++s) {
        LOGFONTW styled = lf;
        styled.lfWeight = s & KvFontStyle(kvfsBold) ? FW_BOLD : FW_NORMAL;
        styled.lfItalic = (s & KvFontStyle(kvfsItalic)) != 0;
        styled.lfUnderline = (s & KvFontStyle(kvfsUnderline)) != 0;
        styled.lfStrikeOut = (s & KvFontStyle(kvfsStrikeOut)) != 0;
        fonts[s] = CreateFontIndirectW(&styled);
    }
    SetBkMode(dc, TRANSPARENT);
    start = bench::Now();
    for (int i = 0; i < kRepaints; ++i) {
        FillRect(dc, &area, white);
        int style = -1;
        uint32_t rgb = 0xFFFFFFFF;
        for (const RecordingCanvas::Line& line : lines) {
            if (line.style != style) {
                style = line.style;
                SelectObject(dc, fonts[style]);
            }
            if (line.rgb != rgb) {
                rgb = line.rgb;
                SetTextColor(dc, rgb);
            }
            ExtTextOutW(dc, line.x, line.y, 0, nullptr, line.text.data(),
                        static_cast<UINT>(line.text.size()), nullptr);
        }
    }
    const double bare = (bench::Now() - start) / kRepaints;

    SelectObject(dc, font.Handle());
    for (HFONT f : fonts)
        DeleteObject(f);

    std::printf("%d words, %zu lines, text height %d\n", kWords, lines.size(),
                renderer.TextHeight());
    std::printf("first paint\t%.4f s\t(ratio %.3f)\n", first, bare > 0 ? first / bare : 0.0);
    std::printf("repaint\t%.4f s\tbare loop\t%.4f s\n", repaint, bare);
    std::printf("ratio\t%.3f\n", bare > 0 ? repaint / bare : 0.0);
    return 0;
}
