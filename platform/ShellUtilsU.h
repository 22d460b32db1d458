#pragma once
// Starting documents and programs through the shell, opening web pages in
// the default browser, closing Internet Explorer windows so that the browser
// releases its files before its data is cleaned, and URL text helpers.
//
// Every ShellExecuteA call of this unit goes through one replaceable
// function, so tests record what would be started and nothing is started.
// Nothing here raises; failures come back as the result.

#include <windows.h>
#include <exdisp.h>

#include <memory>
#include <string>

// ---------------------------------------------------------------------------
// The shell call

using TShellExecuteCall = HINSTANCE(WINAPI*)(HWND Wnd, LPCSTR Verb, LPCSTR File, LPCSTR Params,
                                             LPCSTR Dir, INT Show);
// Replaces the call (nullptr: ShellExecuteA again); returns the previous one.
TShellExecuteCall SetShellExecuteCall(TShellExecuteCall Call) noexcept;

// ShellExecuteA(Wnd, "open", FileName, Params, Dir, SW_SHOW); True when the
// shell returns a value above 32. Empty Params or Dir pass no text.
bool ShellOpen(const std::string& FileName, const std::string& Params, HWND Wnd,
               const std::string& Dir);
// The same with the verb "runas" (elevated, with the system's consent prompt).
bool ShellRunAs(const std::string& FileName, const std::string& Params, HWND Wnd,
                const std::string& Dir);

// Opens a web page in the default browser. The URL is trimmed (characters 0
// to 32 at both ends); only "http://" and "https://" addresses (ignoring
// case) reach the shell, because the addresses come from web-service data and
// stored settings and the program runs elevated: a path, a share, "file:" or
// any other scheme would start whatever it names. Anything else, and an empty
// URL, gives False without a shell call. Then ShellExecuteA(no window, "open",
// Url, no parameters, no folder, SW_SHOWNORMAL); True above 32.
bool OpenUrl(const std::string& Url);

// ---------------------------------------------------------------------------
// Internet Explorer windows

// A top-level window of class "IEFrame" exists; False on any error.
bool IsIEWindowOpen();

struct TComReleaser {
    void operator()(IUnknown* Object) const noexcept
    {
        if (Object)
            Object->Release();
    }
};
template <typename T> using TComOwner = std::unique_ptr<T, TComReleaser>;

// The shell's window list (CoCreateInstance of CLSID_ShellWindows for
// IShellWindows; COM must be initialised on the calling thread). A failure
// with a negative result writes it as hexadecimal (at least six digits) to
// the debugger output and yields nothing.
TComOwner<IShellWindows> CreateShellWindows();

// Closes every Internet Explorer window of the shell's window list, the last
// one first. BarClsid, when not empty, names an explorer bar that is closed
// first (ShowBrowserBar(BarClsid, False)). Explorer folder windows are in the
// same list and answer IWebBrowser2 too, so only items whose window class is
// "IEFrame" are touched: each gets Quit, then WM_QUIT posted to its window.
// Every step of every item is guarded: a failing item is skipped.
void CloseIEWindows(const std::wstring& BarClsid);
// The same over a given list (tests hand in their own).
void CloseIEWindowsIn(IShellWindows* Windows, const std::wstring& BarClsid);

// ---------------------------------------------------------------------------
// URL text

// Text begins with "http://" or "https://", ignoring case: the only addresses
// the program opens or requests.
bool IsWebUrl(const std::string& Text);
// Everything up to and including the last "/" removed, then everything from
// the first "?" on ('dir/sub/b.exe?x=1' gives 'b.exe').
std::string UrlFileName(const std::string& Url);
