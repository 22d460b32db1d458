#pragma once
// The postponed start-up list as both programs must agree on it: the main
// program writes exactly this text for the items below, and the tray (whose
// XML reader decodes shorter entities) reads the same items back. Included by
// the engine's and the tray build's tests.

#include <cstdint>
#include <string>

namespace golden {

struct RunItem {
    const char* app;
    const char* name;
    const char* value;
    int32_t priority;
    bool is64;
    bool expand;
};

// In list order; the last two have no line (no value, no name).
inline constexpr RunItem kRunItems[] = {
    {"Sky\"pe", "Skype", "\"C:\\Program Files\\Skype\\Skype.exe\" /nosplash", 1, false, false},
    {"Steam#1", "Steam<x>", "%ProgramFiles%\\steam\\steam.exe -silent & more", 3, true, true},
    {"Tab\tApp", "a&b;c", "x\ty&amp;z", 10, false, true},
    {"", "only64", "C:\\x.exe", 0, true, false},
    {"Empty", "novalue", "", 2, false, false},
    {"Empty", "", "C:\\y.exe", 2, false, false},
};
inline constexpr int kItemsWithLines = 4;

inline const std::string kStartupXml =
    "<startup>\r\n"
    "    <run app=\"Sky#22pe\" name=\"Skype\" value=\"#22C:\\Program Files\\Skype\\Skype.exe#22 "
    "/nosplash\" priority=\"1\" />\r\n"
    "    <run app=\"Steam#231\" name=\"Steam#3Cx#3E\" value=\"%ProgramFiles%\\steam\\steam.exe "
    "-silent #26 more\" priority=\"3\" is64=\"1\" expand=\"1\" />\r\n"
    "    <run app=\"Tab#09App\" name=\"a#26b;c\" value=\"x#09y#26amp;z\" priority=\"10\" "
    "expand=\"1\" />\r\n"
    "    <run app=\"\" name=\"only64\" value=\"C:\\x.exe\" priority=\"0\" is64=\"1\" />\r\n"
    "</startup>\r\n";

} // namespace golden
