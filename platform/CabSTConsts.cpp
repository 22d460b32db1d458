#include "platform/CabSTConsts.h"

#include <iterator>

namespace {

// Indexed by the operation code of the error record.
constexpr std::string_view kFDITexts[] = {
    "No error",
    "Cabinet not found",
    kCabNotACabinet,
    "Cabinet file has an unknown version number",
    kCabCorrupt,
    "Could not allocate enough memory",
    "Unknown compression type in a cabinet folder",
    "Failure decompressing data from a cabinet file",
    "Failure writing to target file",
    "Cabinets in a set do not have the same RESERVE sizes",
    "Cabinet returned on fdintNEXT_CABINET is incorrect",
    "FDI aborted",
};

constexpr std::string_view kFCITexts[] = {
    "No error",
    "Failure opening file to be stored in cabinet",
    "Failure reading file to be stored in cabinet",
    "Out of memory in FCI",
    "Could not create a temporary file",
    "Unknown compression type",
    "Could not create cabinet file",
    "Client requested abort",
    "Failure compressing data",
};

} // namespace

std::string_view FDIErrorText(int Code) noexcept
{
    if (Code >= 0 && Code < static_cast<int>(std::size(kFDITexts)))
        return kFDITexts[Code];
    return "FDI error";
}

std::string_view FCIErrorText(int Code) noexcept
{
    if (Code >= 0 && Code < static_cast<int>(std::size(kFCITexts)))
        return kFCITexts[Code];
    return "FCI error";
}
