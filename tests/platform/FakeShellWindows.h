#pragma once
// A stand-in for the shell's window list: items that answer IWebBrowser2 (or
// refuse it, or fail), each handing out a window the test made, and a log of
// what was asked of them.

#include <windows.h>

#include <string>
#include <vector>

struct IShellWindows;

namespace fakeshell {

enum class ItemKind {
    Browser,     // answers IWebBrowser2 with its window
    NotABrowser, // refuses IWebBrowser2
    FailingItem, // the list's Item call fails for it
    FailingHwnd, // answers IWebBrowser2, but get_HWND fails
};

struct Item {
    ItemKind kind;
    HWND window = nullptr;
};

// A new list holding one reference; free it with ReleaseList.
IShellWindows* MakeList(const std::vector<Item>& items);
void ReleaseList(IShellWindows* list);
// "bar <index> <clsid> <show>" and "quit <index>", in call order.
std::vector<std::string>& Log();
// Objects still referenced (the list included): 0 once everything is released.
int LiveObjects();

} // namespace fakeshell
