#include "controls/KvInspect.h"

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

// Posts what a user's click would bring: the click comes after the answer,
// so that a handler that opens a modal window cannot hold the asker.
bool PostClick(TControl& control)
{
    if (!control.IsWindowless()) {
        auto& window = static_cast<TWinControl&>(control);
        HWND wnd = window.HandleIfAllocated();
        if (!wnd)
            return false;
        wchar_t className[64] = {};
        GetClassNameW(wnd, className, 64);
        if (std::wstring(className) == L"KvButton" || std::wstring(className) == L"KvCheckBox")
            return PostMessageW(wnd, BM_CLICK, 0, 0) != FALSE;
        const LPARAM centre = MAKELPARAM(control.ClientWidth() / 2, control.ClientHeight() / 2);
        return PostMessageW(wnd, WM_LBUTTONDOWN, MK_LBUTTON, centre) &&
               PostMessageW(wnd, WM_LBUTTONUP, 0, centre);
    }
    TWinControl* parent = control.Parent();
    HWND wnd = parent ? parent->HandleIfAllocated() : nullptr;
    if (!wnd)
        return false;
    const LPARAM centre = MAKELPARAM(control.Left() + control.Width() / 2,
                                     control.Top() + control.Height() / 2);
    return PostMessageW(wnd, WM_MOUSEMOVE, 0, centre) &&
           PostMessageW(wnd, WM_LBUTTONDOWN, MK_LBUTTON, centre) &&
           PostMessageW(wnd, WM_LBUTTONUP, 0, centre);
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
