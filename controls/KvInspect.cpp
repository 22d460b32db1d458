#include "controls/KvInspect.h"

#include "controls/KvComCtrls.h"
#include "controls/KvControls.h"
#include "controls/KvForms.h"

#include <cxxabi.h>

#include <cstdlib>
#include <cwctype>
#include <memory>
#include <typeinfo>
#include <vector>

namespace {

std::vector<std::wstring> SplitTabs(const std::wstring& text)
{
    std::vector<std::wstring> fields;
    size_t start = 0;
    while (true) {
        const size_t tab = text.find(L'\t', start);
        fields.push_back(text.substr(start, tab == std::wstring::npos ? tab : tab - start));
        if (tab == std::wstring::npos)
            return fields;
        start = tab + 1;
    }
}

std::wstring ClassNameOf(const TComponent& component)
{
    const char* mangled = typeid(component).name();
    int status = 0;
    std::unique_ptr<char, decltype(&std::free)> plain(
        abi::__cxa_demangle(mangled, nullptr, nullptr, &status), &std::free);
    const std::string name = status == 0 && plain ? plain.get() : mangled;
    return std::wstring(name.begin(), name.end());
}

TComponent* FindPath(const std::wstring& path)
{
    TApplication& app = Application();
    const size_t dot = path.find(L'.');
    if (dot != std::wstring::npos) {
        TComponent* form = app.FindComponent(path.substr(0, dot));
        return form ? form->FindComponent(path.substr(dot + 1)) : nullptr;
    }
    if (TComponent* form = app.FindComponent(path))
        return form;
    for (TComponent* form : app.Components())
        if (TComponent* found = form->FindComponent(path))
            return found;
    return nullptr;
}

// A left press and release at a point of the control (its client
// coordinates), posted: it happens after the answer, so that a handler that
// opens a modal window cannot hold the asker.
bool PostPress(TControl& control, POINT at)
{
    HWND wnd = nullptr;
    if (!control.IsWindowless()) {
        wnd = static_cast<TWinControl&>(control).HandleIfAllocated();
    } else if (TWinControl* parent = control.Parent()) {
        wnd = parent->HandleIfAllocated();
        at.x += control.Left();
        at.y += control.Top();
    }
    if (!wnd)
        return false;
    const LPARAM point = MAKELPARAM(at.x, at.y);
    return PostMessageW(wnd, WM_MOUSEMOVE, 0, point) &&
           PostMessageW(wnd, WM_LBUTTONDOWN, MK_LBUTTON, point) &&
           PostMessageW(wnd, WM_LBUTTONUP, 0, point);
}

// What a user's click would bring: a native button gets BM_CLICK, anything
// else a press at its centre.
bool PostClick(TControl& control)
{
    if (!control.IsWindowless()) {
        HWND wnd = static_cast<TWinControl&>(control).HandleIfAllocated();
        if (!wnd)
            return false;
        wchar_t className[64] = {};
        GetClassNameW(wnd, className, 64);
        if (std::wstring(className) == L"KvButton" || std::wstring(className) == L"KvCheckBox")
            return PostMessageW(wnd, BM_CLICK, 0, 0) != FALSE;
        return PostPress(control, {control.ClientWidth() / 2, control.ClientHeight() / 2});
    }
    return PostPress(control, {control.Width() / 2, control.Height() / 2});
}

// One line per node of the tree, parents before their children: text,
// level, the owner's fields (or the state image index) and the row in
// screen coordinates (empty while the node is not shown).
void NodesInto(const TTreeView& tree, const TTreeNode* node, std::wstring& out)
{
    for (; node; node = node->GetNextSibling()) {
        out += L"text=" + node->Text() + L"\tlevel=" + std::to_wstring(node->Level()) + L"\t";
        out += tree.OnNodeInspect ? tree.OnNodeInspect(*node)
                                  : L"state=" + std::to_wstring(node->StateIndex());
        RECT row = node->DisplayRect(false);
        if (!IsRectEmpty(&row)) {
            const POINT topLeft = tree.ClientToScreen({row.left, row.top});
            OffsetRect(&row, topLeft.x - row.left, topLeft.y - row.top);
        }
        out += L"\trect=" + std::to_wstring(row.left) + L"," + std::to_wstring(row.top) + L"," +
               std::to_wstring(row.right) + L"," + std::to_wstring(row.bottom) + L"\n";
        NodesInto(tree, node->GetFirstChild(), out);
    }
}

void ListInto(const TComponent& component, const std::wstring& prefix, std::wstring& out)
{
    for (TComponent* c : component.Components()) {
        const std::wstring path = prefix.empty() ? c->Name() : prefix + L"." + c->Name();
        out += path + L"\t" + ClassNameOf(*c) + L"\n";
        if (prefix.empty())
            ListInto(*c, path, out);
    }
}

// The hidden window that answers (owned by the application).
class TInspector : public TWinControl {
public:
    explicit TInspector(TComponent* owner) : TWinControl(owner)
    {
        visible_ = false;
        SetName(L"KvInspector");
    }
    void CreateParams(TCreateParams& params) override
    {
        TWinControl::CreateParams(params);
        params.className = kInspectClass;
        params.style = WS_POPUP;
        params.parent = nullptr;
        params.caption = L"KvInspect " + std::to_wstring(GetCurrentProcessId());
    }

protected:
    void WndProc(TMessage& msg) override
    {
        if (msg.Msg != WM_COPYDATA) {
            TWinControl::WndProc(msg);
            return;
        }
        const auto* data = reinterpret_cast<const COPYDATASTRUCT*>(msg.LParam);
        HWND asker = reinterpret_cast<HWND>(msg.WParam);
        if (!data || data->dwData != kInspectRequest || !IsWindow(asker)) {
            msg.Result = FALSE;
            return;
        }
        const std::wstring request(static_cast<const wchar_t*>(data->lpData),
                                   data->cbData / sizeof(wchar_t));
        const std::wstring answer = AnswerInspection(request);
        COPYDATASTRUCT reply{};
        reply.dwData = kInspectReply;
        reply.cbData = static_cast<DWORD>(answer.size() * sizeof(wchar_t));
        reply.lpData = const_cast<wchar_t*>(answer.data());
        DWORD_PTR ignored = 0;
        SendMessageTimeoutW(asker, WM_COPYDATA, reinterpret_cast<WPARAM>(handle_),
                            reinterpret_cast<LPARAM>(&reply), SMTO_ABORTIFHUNG, 5000, &ignored);
        msg.Result = TRUE;
    }
};

} // namespace

std::wstring AnswerInspection(const std::wstring& request)
{
    const std::vector<std::wstring> fields = SplitTabs(request);
    const std::wstring& command = fields[0];
    if (command == L"list") {
        std::wstring out;
        ListInto(Application(), L"", out);
        return L"ok\t" + out;
    }
    if (fields.size() < 2)
        return L"error\tmissing path";
    TComponent* component = FindPath(fields[1]);
    auto* control = dynamic_cast<TControl*>(component);
    if (!control)
        return L"error\tno control " + fields[1];
    if (command == L"get") {
        if (fields.size() < 3)
            return L"error\tmissing property";
        std::wstring value;
        if (!control->InspectProperty(fields[2], value))
            return L"error\tno property " + fields[2];
        return L"ok\t" + value;
    }
    if (command == L"find") {
        std::wstring out = L"class=" + ClassNameOf(*control);
        for (const wchar_t* name : {L"Visible", L"Enabled", L"Caption", L"Bounds", L"Handle",
                                    L"Checked", L"Step"}) {
            std::wstring value;
            if (control->InspectProperty(name, value)) {
                std::wstring field = name;
                for (wchar_t& c : field)
                    c = static_cast<wchar_t>(towlower(c));
                out += L"\t" + field + L"=" + value;
            }
        }
        return L"ok\t" + out;
    }
    if (command == L"click")
        return PostClick(*control) ? L"ok\t" : L"error\tno window for " + fields[1];
    if (command == L"nodes") {
        auto* tree = dynamic_cast<TTreeView*>(control);
        if (!tree)
            return L"error\tnot a tree view: " + fields[1];
        std::wstring out;
        NodesInto(*tree, tree->Roots().empty() ? nullptr : tree->Roots().front(), out);
        return L"ok\t" + out;
    }
    if (command == L"clickat") {
        if (fields.size() < 4)
            return L"error\tmissing point";
        const POINT at{_wtoi(fields[2].c_str()), _wtoi(fields[3].c_str())};
        return PostPress(*control, at) ? L"ok\t" : L"error\tno window for " + fields[1];
    }
    return L"error\tunknown request " + command;
}

TComponent* StartInspectionIfAsked(TComponent* owner)
{
    wchar_t value[8] = {};
    const DWORD n = GetEnvironmentVariableW(L"KV_INSPECT", value, 8);
    if (n != 1 || value[0] != L'1')
        return nullptr;
    auto* inspector = new TInspector(owner);
    inspector->HandleNeeded();
    return inspector;
}
