#pragma once
// Helpers of the form library's tests: the application made ready once,
// message pumping, mouse messages, and pictures of controls rendered into
// bitmaps (pixel checks read those, never the screen).

#include "controls/KvControls.h"
#include "controls/KvGraphics.h"

#include "KorvTest.h"

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

namespace formtest {

// Common controls and the dispatcher, once per process.
void InitApplication();
// Dispatches this thread's messages for about ms milliseconds (at least once).
void Pump(DWORD ms = 0);
// Waits, pumping, until done() or timeout; true when done.
template <typename F> bool PumpUntil(F done, DWORD timeoutMs)
{
    const DWORD start = GetTickCount();
    while (!done()) {
        if (GetTickCount() - start > timeoutMs)
            return false;
        Pump(10);
    }
    return true;
}

// A test that sends the mouse messages itself: it needs a display, the
// application made ready, and TrackMouseEvent answered without a pointer
// (Wine never posts WM_MOUSELEAVE for synthetic moves; tests send it).
class MouseTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    TFormLibCalls calls_;
};

// A rectangle as four numbers, for comparisons that print well.
std::vector<long> Box(const RECT& r);

// A mouse message sent to a window at a client point.
LRESULT SendMouse(HWND wnd, UINT msg, int x, int y, WPARAM keys = 0);

// The control (and its windowed children) as it paints, into a 32-bit bitmap
// of its client size.
std::unique_ptr<TBitmap> Render(TWinControl& control);
// A pixel of a 32-bit bitmap as $00BBGGRR (the fourth byte dropped).
TColor PixelAt(const TBitmap& bitmap, int x, int y);
// Fills a bitmap with one colour.
void Fill(TBitmap& bitmap, TColor color);
// Writes a bitmap into the test's evidence folder as a PNG (name without
// extension); the path written.
std::wstring SaveEvidencePicture(const TBitmap& bitmap, const std::wstring& name);
// From now on the guard's texts are kept (each followed by a newline) for
// GuardTexts instead of going to the log.
void RecordGuardTexts();
const std::string& GuardTexts();

} // namespace formtest
