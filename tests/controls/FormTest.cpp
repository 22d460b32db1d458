#include "FormTest.h"

#include "controls/KvForms.h"
#include "controls/KvPng.h"
#include "platform/GuardU.h"
#include "platform/ThreadU.h"

namespace formtest {

void InitApplication()
{
    Application().Initialize();
}

void Pump(DWORD ms)
{
    const DWORD start = GetTickCount();
    do {
        Application().ProcessMessages();
        if (ms)
            Sleep(5);
    } while (GetTickCount() - start < ms);
}

namespace {

BOOL WINAPI NoLeaveTracking(LPTRACKMOUSEEVENT)
{
    return TRUE;
}

} // namespace

void MouseTest::SetUp()
{
    KTEST_NEEDS_DISPLAY();
    InitApplication();
    calls_.trackMouseEvent = &NoLeaveTracking;
    SetFormLibCalls(&calls_);
}

void MouseTest::TearDown()
{
    SetFormLibCalls(nullptr);
}

std::vector<long> Box(const RECT& r)
{
    return {r.left, r.top, r.right, r.bottom};
}

LRESULT SendMouse(HWND wnd, UINT msg, int x, int y, WPARAM keys)
{
    return SendMessageW(wnd, msg, keys, MAKELPARAM(x, y));
}

std::unique_ptr<TBitmap> Render(TWinControl& control)
{
    auto bitmap = std::make_unique<TBitmap>(std::max(control.ClientWidth(), 1),
                                            std::max(control.ClientHeight(), 1));
    control.PaintTo(bitmap->Canvas().Handle(), 0, 0);
    GdiFlush();
    return bitmap;
}

TColor PixelAt(const TBitmap& bitmap, int x, int y)
{
    const uint8_t* row = bitmap.ScanLine(y);
    if (!row || x < 0 || x >= bitmap.Width())
        return clNone;
    const uint8_t* p = row + x * bitmap.BytesPerPixel();
    return static_cast<TColor>(p[2]) | (static_cast<TColor>(p[1]) << 8) |
           (static_cast<TColor>(p[0]) << 16);
}

void Fill(TBitmap& bitmap, TColor color)
{
    for (int y = 0; y < bitmap.Height(); ++y) {
        uint8_t* row = bitmap.ScanLine(y);
        for (int x = 0; x < bitmap.Width(); ++x) {
            uint8_t* p = row + x * bitmap.BytesPerPixel();
            p[0] = static_cast<uint8_t>(color >> 16);
            p[1] = static_cast<uint8_t>(color >> 8);
            p[2] = static_cast<uint8_t>(color);
            if (bitmap.BytesPerPixel() == 4)
                p[3] = 255;
        }
    }
}

std::wstring SaveEvidencePicture(const TBitmap& bitmap, const std::wstring& name)
{
    const std::wstring path = ktest::EvidenceDir() + name + L".png";
    // GDI leaves the fourth byte of what it paints 0: kept as alpha, every
    // picture of a painted control would come out fully transparent.
    TBitmap opaque;
    opaque.Assign(bitmap);
    opaque.SetPixelFormat(TPixelFormat::pf24bit);
    TPNGPicture png;
    png.Assign(opaque);
    png.SaveToFile(path);
    return path;
}

namespace {
std::string gGuardTexts;
} // namespace

void RecordGuardTexts()
{
    SetGuardHook([](const char* text) {
        gGuardTexts += text;
        gGuardTexts += "\n";
    });
}

const std::string& GuardTexts()
{
    return gGuardTexts;
}


} // namespace formtest
