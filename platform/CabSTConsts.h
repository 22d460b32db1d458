#pragma once
// The texts of the cabinet layer: the FDI and FCI operation codes and the
// failures the layer raises itself.

#include <string_view>

inline constexpr std::string_view kCabNotACabinet = "Cabinet file does not have the correct format";
inline constexpr std::string_view kCabCorrupt = "Cabinet file is corrupt";
inline constexpr std::string_view kCabStreamSeekFailed = "Failure setting file stream position";

// The text of an FDI operation code (0 to 11); "FDI error" for any other.
std::string_view FDIErrorText(int Code) noexcept;
// The text of an FCI operation code (0 to 8); "FCI error" for any other.
std::string_view FCIErrorText(int Code) noexcept;
