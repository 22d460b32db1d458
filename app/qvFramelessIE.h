#pragma once
// The off-screen page renderer: a web page's element with id "main" drawn
// into a PNG at that element's size, every link of it kept as a clickable
// anchor ("URL" text chunks that the PNG control reads), so that a news page
// becomes a banner whose links still work.
//
// This unit carries the program's own renderer: the page is fetched (or a
// "file://" page read), tokenised, its "main" element's content laid out by
// the HTML renderer on a memory DC and drawn at (0, 0), without any window.
// One page per call, on the GUI thread.

#include <string>
#include <vector>

#include <windows.h>

// The wait for a page that neither arrives nor fails.
inline constexpr DWORD kPageRenderTimeoutMs = 20000;
// The largest "main" box drawn, whatever the page says.
inline constexpr int kPageRenderMaxSide = 4000;

// Renders Url into FileName at Width (the page's own box decides, else
// Width and the height its text needs; Height is the fallback height of an
// empty box). False on every failure, with no file written and an older
// FileName left as it was; that file is deleted only just before a
// successful save.
bool RenderPageToPng(const std::string& Url, const std::string& FileName, int Width, int Height);

// One anchor of a rendered page: its rectangle in the "main" element's
// coordinates and the href as the page's source writes it.
struct TPageLink {
    RECT Rect;
    std::string Href;
};
// Tests only: the anchors of the last successful render on this thread.
const std::vector<TPageLink>& LastRenderedLinksForTests();
