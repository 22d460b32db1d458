#include "engine/qvExceptions.h"

#include "engine/qvCleanRep.h"
#include "platform/FileUtilsU.h"
#include "platform/RegistryU.h"
#include "platform/SysUtilsU.h"
#include "platform/SystemPathsU.h"
#include "platform/WinVersionU.h"

namespace {

std::unique_ptr<TqvExceptions> gExceptions;

std::string Attr(const TXMLTag* Tag, std::string_view Name)
{
    return TXMLTag::GetAttribute(Tag, Name);
}

std::string KeyForMatch(const std::string& Key)
{
    return UpperCase(ExcludeTrailingBackslash(Key));
}

} // namespace

TqvExceptions::TqvExceptions()
{
    Files.SetSorted(true);
}

void TqvExceptions::LoadFromXML(TXMLTag* Tag)
{
    if (!Tag)
        return;
    for (const auto& child : Tag->Children()) {
        const std::string name = LowerCase(child->Name);
        const bool is64 = Attr(child.get(), "is64") == "1";
        if (name == "file") {
            const std::string path = Trim(Attr(child.get(), "path"));
            if (path.empty())
                continue;
            if (is64 && !IsWin64()) {
                qvLog("IGNORED 64-bit File Exception: " + path);
                continue;
            }
            Files.Add(LowerCase(is64 ? ExpandPathMacros64(path) : ExpandPathMacros32(path)));
        } else if (name == "reg") {
            auto exception = std::make_unique<TqvRegException>();
            exception->Root = RegNameToRoot(Attr(child.get(), "root"));
            exception->Key = KeyForMatch(Attr(child.get(), "key"));
            exception->Name = UpperCase(Attr(child.get(), "name"));
            exception->Is64 = is64;
            const std::string kind = LowerCase(Attr(child.get(), "ignore"));
            exception->Kind = kind == "key"     ? kExceptionKey
                              : kind == "value" ? kExceptionValue
                                                : kExceptionInvalid;
            if (!exception->Root || exception->Key.empty() ||
                exception->Kind == kExceptionInvalid) {
                qvLog("INVALID Registry Exception!!!");
                continue;
            }
            RegExceptions.push_back(std::move(exception));
        }
    }
}

bool TqvExceptions::IsRegIgnored(const TqvRegItem& Item) const
{
    const std::string key = KeyForMatch(Item.Key);
    for (const auto& e : RegExceptions) {
        if (e->Root != Item.Root)
            continue;
        if (e->Kind == kExceptionKey && key.compare(0, e->Key.size(), e->Key) == 0)
            return true;
        if (e->Kind == kExceptionValue && key == e->Key && UpperCase(Item.Name) == e->Name)
            return true;
    }
    return false;
}

bool TqvExceptions::IsFileIgnored(const std::string& Path) const
{
    const std::string path = LowerCase(Path);
    const size_t slash = LastDelimiter(path, "\\");
    const std::string_view name = slash == std::string::npos
                                      ? std::string_view(path)
                                      : std::string_view(path).substr(slash + 1);
    if (name == "desktop.ini")
        return true;
    int index = 0;
    return Files.Find(path, index);
}

bool TqvExceptions::RemoveIgnoredFiles(TFileList& List) const
{
    bool removed = false;
    for (size_t i = List.size(); i-- > 0;) {
        if (IsFileIgnored(List[i].Path)) {
            List.erase(List.begin() + static_cast<std::ptrdiff_t>(i));
            removed = true;
        }
    }
    return removed;
}

TqvExceptions* Exceptions()
{
    return gExceptions.get();
}

TqvExceptions& EnsureExceptions()
{
    if (!gExceptions)
        gExceptions = std::make_unique<TqvExceptions>();
    return *gExceptions;
}

void ResetExceptionsForTests()
{
    gExceptions.reset();
}

bool IsIgnored(const TqvRegItem& Item)
{
    if (gExceptions && gExceptions->IsRegIgnored(Item))
        return true;
    const TqvCleanRep* report = CleanReport();
    return report && report->Contains(Item);
}

bool RemoveIgnoredFiles(TFileList& List)
{
    return gExceptions && gExceptions->RemoveIgnoredFiles(List);
}
