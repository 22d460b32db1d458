// The program's own page renderer against pages served on 127.0.0.1: the
// "main" element's box without the page's margins, opaque pixels, anchors of
// the links in document order with their hrefs as written, and the failures
// that leave no file (and an older one untouched).

#include "app/qvFramelessIE.h"
#include "FakeService.h"
#include "KorvTest.h"
#include "controls/KvPng.h"
#include "controls/PNGControl.h"
#include "platform/LogU.h"
#include "platform/UnicodeU.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const char kPage[] =
    "<html><body style=\"margin:20px\" bgcolor=\"#e0e0e0\">"
    "<p>Outside the box</p>"
    "<div id=\"Main\" style=\"width:300px; height:100px\">"
    "<b>News</b> <a href=\"https://example.test/one\">first link</a> then "
    "<a href=\"\"></a>"
    "<div>nested <i>text</i></div> and more words to fill the line here and "
    "<a href='../a?b=1&amp;c'>a link whose words are many enough to wrap over two lines</a>"
    "</div><p>after</p></body></html>";

std::string gLog;
void RecordLog(std::string_view Text, uint8_t, uint8_t)
{
    gLog.append(Text);
    gLog += "\n";
}

class PageRenderTest : public ktest::ScratchDirTest {
protected:
    void SetUp() override
    {
        ScratchDirTest::SetUp();
        gLog.clear();
        oldSink_ = SetLogSink(1, &RecordLog);
        ASSERT_TRUE(service_.Start());
        out_ = dirAnsi_ + "page.png";
    }
    void Serve(const std::string& path, int status, const std::string& body)
    {
        fakeservice::TBehaviour b;
        b.Status = status;
        b.Body = body;
        b.ContentType = "text/html";
        service_.SetBehaviour(path, b);
    }
    void TearDown() override
    {
        SetLogSink(1, oldSink_);
        ScratchDirTest::TearDown();
    }
    fakeservice::TFakeService service_;
    std::string out_;
    TLogSink oldSink_ = nullptr;
};

TEST_F(PageRenderTest, TheMainBoxBecomesAnOpaquePictureWithItsLinks)
{
    KTEST_NEEDS_DISPLAY();
    Serve("/page.html", 200, kPage);
    ASSERT_TRUE(RenderPageToPng(service_.URL("/page.html"), out_, 600, 50)) << gLog;

    TPNGPicture png;
    ASSERT_TRUE(png.LoadFromFile(out_)) << png.LastError();
    EXPECT_EQ(300, png.Width());
    EXPECT_EQ(100, png.Height());
    ASSERT_TRUE(png.HasAlpha());
    const uint8_t* p = png.Pixels();
    int opaque = 0, white = 0;
    for (int i = 0; i < png.Width() * png.Height(); ++i) {
        opaque += p[i * 4 + 3] == 255;
        white += p[i * 4] == 255 && p[i * 4 + 1] == 255 && p[i * 4 + 2] == 255;
    }
    EXPECT_EQ(png.Width() * png.Height(), opaque);
    EXPECT_LT(white, png.Width() * png.Height()) << "text was drawn";
    // The top left pixel is the box's own background, not the page's margin colour.
    EXPECT_EQ(255, p[0]);

    // The anchors as the PNG control reads them, before IEND.
    TPNGControl control;
    ASSERT_TRUE(control.LoadFromFile(AnsiToWide(out_)));
    ASSERT_EQ(2u, control.Anchors().size());
    const TAnchor& first = *control.Anchors()[0];
    const TAnchor& wrapped = *control.Anchors()[1];
    EXPECT_EQ("https://example.test/one", first.URL());
    EXPECT_EQ("../a?b=1&amp;c", wrapped.URL()) << "the href as the source writes it";
    EXPECT_GE(first.Rect().left, 0);
    EXPECT_GT(first.Rect().right, first.Rect().left);
    EXPECT_LT(first.Rect().bottom - first.Rect().top, 30) << "one line";
    const int lineHeight = first.Rect().bottom - first.Rect().top;
    EXPECT_GE(wrapped.Rect().bottom - wrapped.Rect().top, 2 * lineHeight - 2)
        << "the union of both lines' pieces";
    EXPECT_GT(wrapped.Rect().top, first.Rect().top);
    const std::string bytes = ktest::ReadFileBytes(AnsiToWide(out_));
    const size_t iend = bytes.find("IEND");
    ASSERT_NE(std::string::npos, iend);
    EXPECT_LT(bytes.find("../a?b=1&amp;c"), iend);

    // The same anchors as the renderer reported them.
    ASSERT_EQ(2u, LastRenderedLinksForTests().size());
    EXPECT_EQ(wrapped.Rect().top, LastRenderedLinksForTests()[1].Rect.top);

    // A shot for people: the picture as a banner would show it.
    CopyFileA(out_.c_str(), (WideToAnsi(ktest::EvidenceDir()) + "page_render.png").c_str(), FALSE);
}

TEST_F(PageRenderTest, WithoutABoxTheRequestedWidthAndTheTextsHeightDecide)
{
    KTEST_NEEDS_DISPLAY();
    Serve("/free.html", 200, "<body><span id=main>one short line</span></body>");
    ASSERT_TRUE(RenderPageToPng(service_.URL("/free.html"), out_, 160, 999)) << gLog;
    TPNGPicture png;
    ASSERT_TRUE(png.LoadFromFile(out_));
    EXPECT_EQ(160, png.Width());
    EXPECT_GT(png.Height(), 5);
    EXPECT_LT(png.Height(), 40);

    // A file page too, and a box of 100000 is drawn at 4000 at most.
    const std::wstring page = WriteFile(L"big.html", "<div id=main width=100000 height=3>x</div>");
    ASSERT_TRUE(RenderPageToPng("file:///" + WideToAnsi(page), out_, 10, 10)) << gLog;
    ASSERT_TRUE(png.LoadFromFile(out_));
    EXPECT_EQ(kPageRenderMaxSide, png.Width());
    EXPECT_EQ(3, png.Height());
}

TEST_F(PageRenderTest, FailuresWriteNothingAndKeepAnOlderPicture)
{
    Serve("/missing.html", 404, "<div id=main>not found</div>");
    Serve("/nomain.html", 200, "<div id=other>x</div>");
    const DWORD t0 = GetTickCount();
    EXPECT_FALSE(RenderPageToPng(service_.URL("/missing.html"), out_, 100, 100));
    EXPECT_LT(GetTickCount() - t0, 5000u) << "a 404 fails at once";
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(out_.c_str()));

    WriteFile(L"page.png", "older picture");
    EXPECT_FALSE(RenderPageToPng(service_.URL("/nomain.html"), out_, 100, 100));
    EXPECT_FALSE(RenderPageToPng("file:///C:/no/such/page.html", out_, 100, 100));
    EXPECT_FALSE(RenderPageToPng("ftp://127.0.0.1/x", out_, 100, 100));
    EXPECT_EQ("older picture", ktest::ReadFileBytes(AnsiToWide(out_)));
}

TEST_F(PageRenderTest, AStalledServerEndsAtTheBound)
{
    fakeservice::TBehaviour stall;
    stall.StallBeforeHeadersMs = 40000;
    service_.SetBehaviour("/stall.html", stall);
    const DWORD t0 = GetTickCount();
    EXPECT_FALSE(RenderPageToPng(service_.URL("/stall.html"), out_, 100, 100));
    const DWORD took = GetTickCount() - t0;
    EXPECT_GE(took, kPageRenderTimeoutMs - 500);
    EXPECT_LT(took, kPageRenderTimeoutMs + 8000);
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(out_.c_str()));
}

TEST_F(PageRenderTest, TheSystemBrowsersRenderingFailsCleanlyWhereItCannotDraw)
{
    // Wine's browser loads no document (and its view would not draw): the
    // system's path must still end within its bound, write nothing and keep
    // an older picture. On Windows this page renders.
    KTEST_NEEDS_DISPLAY();
    ASSERT_TRUE(SUCCEEDED(OleInitialize(nullptr)));
    Serve("/page.html", 200, kPage);
    WriteFile(L"page.png", "older picture");
    const DWORD t0 = GetTickCount();
    const bool rendered =
        RenderPageToPngThroughBrowserForTests(service_.URL("/page.html"), out_, 300, 100);
    const DWORD took = GetTickCount() - t0;
    OleUninitialize();
    if (rendered) {
        // Windows: the "main" box, as the own renderer draws it.
        TPNGPicture png;
        ASSERT_TRUE(png.LoadFromFile(out_));
        EXPECT_EQ(300, png.Width());
        EXPECT_EQ(100, png.Height());
        return;
    }
    EXPECT_LT(took, kPageRenderTimeoutMs + 8000);
    EXPECT_EQ("older picture", ktest::ReadFileBytes(AnsiToWide(out_)));
    // Wine 8 reports the navigation as failed through the event sink.
    EXPECT_NE(std::string::npos, gLog.find("Page renderer: ")) << gLog;
}

} // namespace
