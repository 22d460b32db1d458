// Stands in for a running web browser: one visible top-level window of the
// given class, copied as firefox.exe or iexplore.exe.
//
//   browserstub.exe <window class> [--stubborn]
//
// WM_CLOSE ends it, unless --stubborn: then it stays until killed or 60 s
// have passed.
#include <windows.h>

#include <cwchar>
#include <string>

namespace {

bool gStubborn = false;

LRESULT CALLBACK BrowserProc(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    if (msg == WM_CLOSE) {
        if (gStubborn)
            return 0;
        DestroyWindow(wnd);
        return 0;
    }
    if (msg == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(wnd, msg, wParam, lParam);
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2)
        return 2;
    gStubborn = argc > 2 && std::wcscmp(argv[2], L"--stubborn") == 0;
    HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSW wc{};
    wc.lpfnWndProc = BrowserProc;
    wc.hInstance = instance;
    wc.lpszClassName = argv[1];
    if (!RegisterClassW(&wc))
        return 1;
    HWND wnd = CreateWindowExW(0, argv[1], L"Browser", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 10, 10, 200,
                               120, nullptr, nullptr, instance, nullptr);
    if (!wnd)
        return 1;
    SetTimer(wnd, 1, 60000, nullptr);
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (msg.message == WM_TIMER)
            break;
        DispatchMessageW(&msg);
    }
    return 0;
}
