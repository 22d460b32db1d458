#include "controls/KvLayout.h"

#include "platform/LogU.h"
#include "platform/UnicodeU.h"

namespace {

constexpr uint8_t kLayoutLogCategory = 1;
constexpr uint8_t kLayoutLogLevel = 4;

void LogRow(const std::string& what, const wchar_t* name)
{
    Log("Layout: " + what + " (" + WideToUtf8(name ? name : L"") + ")", kLayoutLogCategory,
        kLayoutLogLevel);
}

} // namespace

std::vector<TControl*> BuildLayout(TWinControl& window, std::span<const TControlSpec> rows,
                                   const TLayoutContext& context)
{
    std::vector<TControl*> made;
    made.reserve(rows.size());
    for (const TControlSpec& row : rows) {
        if (!row.kind) {
            LogRow("row without a class", row.name);
            continue;
        }
        TComponent* component = row.kind(&window);
        auto* control = dynamic_cast<TControl*>(component);
        if (!control) {
            LogRow("row class is not a control", row.name);
            delete component;
            continue;
        }
        TWinControl* parent = &window;
        if (row.parentName && *row.parentName) {
            parent = window.Find<TWinControl>(row.parentName);
            if (!parent) {
                LogRow("unknown parent " + WideToUtf8(row.parentName), row.name);
                parent = &window;
            }
        }
        control->SetParent(parent);
        control->ApplySpec(row, context);
        made.push_back(control);
    }
    for (TControl* control : made)
        control->Loaded();
    return made;
}
