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

// A mouse message sent to a window at a client point.
LRESULT SendMouse(HWND wnd, UINT msg, int x, int y, WPARAM keys = 0);

// The control (and its windowed children) as it paints, into a 32-bit bitmap
// of its client size.
std::unique_ptr<TBitmap> Render(TWinControl& control);
// A pixel of a 32-bit bitmap as $00BBGGRR (the fourth byte dropped).
TColor PixelAt(const TBitmap& bitmap, int x, int y);
// Fills a bitmap with one colour.
void Fill(TBitmap& bitmap, TColor color);
// Writes a bitmap into the test's evidence folder (name without extension,
// ".bmp" added); the path written.
std::wstring SaveEvidenceBitmap(const TBitmap& bitmap, const std::wstring& name);
// From now on the guard's texts are kept (each followed by a newline) for
// GuardTexts instead of going to the log.
void RecordGuardTexts();
const std::string& GuardTexts();
// The same as an opaque PNG picture (".png"), for the reviewer's screenshots.
std::wstring SaveEvidencePng(const TBitmap& bitmap, const std::wstring& name);

} // namespace formtest
