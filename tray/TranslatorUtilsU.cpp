#include "tray/TranslatorUtilsU.h"

#include <atomic>

namespace {

std::atomic<bool> gPipeDecoding{false};

struct TCode {
    std::string_view code;
    char value;
};

constexpr TCode kHashCodes[] = {{"#61", '='}, {"#13", '\r'}, {"#10", '\n'}, {"#35", '#'}};
constexpr TCode kPipeCodes[] = {{"|s", '|'}, {"|d", '\r'}, {"|a", '\n'}};

template <size_t N>
bool TakeCode(std::string_view Text, size_t& At, const TCode (&Codes)[N], std::string& Out)
{
    for (const TCode& c : Codes) {
        if (Text.substr(At, c.code.size()) == c.code) {
            Out += c.value;
            At += c.code.size();
            return true;
        }
    }
    return false;
}

} // namespace

std::string DecodeStoredText(std::string_view Text)
{
    const bool pipes = PipeDecoding();
    std::string out;
    out.reserve(Text.size());
    size_t i = 0;
    while (i < Text.size()) {
        if (Text[i] == '#' && TakeCode(Text, i, kHashCodes, out))
            continue;
        if (pipes && Text[i] == '|' && TakeCode(Text, i, kPipeCodes, out))
            continue;
        out += Text[i++];
    }
    return out;
}

void SetPipeDecoding(bool On) noexcept
{
    gPipeDecoding = On;
}

bool PipeDecoding() noexcept
{
    return gPipeDecoding;
}
