#include "FuzzMutator.h"

#include <algorithm>
#include <array>

namespace fuzz {

namespace {

// Numbers at and past the 32- and 64-bit limits, in the forms the readers
// take (decimal, signed, "$" and "0x" hexadecimal).
constexpr std::array<std::string_view, 26> kLimitNumbers = {
    "0",
    "-1",
    "-0",
    "2147483647",
    "2147483648",
    "-2147483648",
    "-2147483649",
    "4294967295",
    "4294967296",
    "9223372036854775807",
    "9223372036854775808",
    "-9223372036854775808",
    "-9223372036854775809",
    "18446744073709551615",
    "18446744073709551616",
    "340282366920938463463374607431768211456",
    "$7FFFFFFF",
    "$80000000",
    "$FFFFFFFF",
    "$100000000",
    "$FFFFFFFFFFFFFFFF",
    "0x7FFFFFFF",
    "0xFFFFFFFFFFFFFFFF",
    "1e309",
    "000000000000000000000000000000001",
    "65536",
};

// Lone surrogates, overlong forms, cut sequences, code points past U+10FFFF,
// byte-order marks and bytes that never start a sequence.
constexpr std::array<std::string_view, 14> kBadEncodings = {
    "\xED\xA0\x80",
    "\xED\xBF\xBF",
    "\xED\xA0\x80\xED\xB0\x80",
    "\xC0\x80",
    "\xC3",
    "\xE2\x82",
    "\xF4\x90\x80\x80",
    "\xF8\x88\x80\x80\x80",
    "\xFF",
    "\xFE\xFF",
    "\xEF\xBB\xBF",
    "\xEF\xBF\xBE",
    "\x80",
    "\xC1\xBF",
};

constexpr std::array<unsigned char, 14> kInterestingBytes = {
    0, 0xFF, 0x7F, 0x80, '<', '>', '"', '&', '\\', '\r', '\n', '=', '#', ';',
};

uint64_t Mix(uint64_t x)
{
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

uint64_t NameHash(std::string_view name)
{
    uint64_t h = 1469598103934665603ull;
    for (unsigned char c : name) {
        h ^= c;
        h *= 1099511628211ull;
    }
    return h;
}

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

} // namespace

// splitmix64: the same numbers on every compiler, unlike the standard
// library's distributions.
class TMutator::TRandom {
public:
    explicit TRandom(uint64_t seed) : state_(seed) {}
    uint64_t Next()
    {
        state_ += 0x9E3779B97F4A7C15ull;
        return Mix(state_);
    }
    // 0 .. n-1; 0 for n = 0.
    size_t Below(size_t n) { return n ? static_cast<size_t>(Next() % n) : 0; }
    size_t Between(size_t lo, size_t hi) { return lo + Below(hi - lo + 1); }
    bool Percent(unsigned p) { return Next() % 100 < p; }

    // Most runs are short; a few are long enough to find limits and slow paths.
    size_t RunLength()
    {
        const unsigned roll = static_cast<unsigned>(Next() % 100);
        if (roll < 93)
            return Between(1, 64);
        if (roll < 99)
            return Between(256, 4096);
        return Between(10000, 300000);
    }
    size_t RepeatCount()
    {
        const unsigned roll = static_cast<unsigned>(Next() % 100);
        if (roll < 55)
            return Between(2, 10);
        if (roll < 90)
            return Between(100, 1000);
        return Between(1000, 20000);
    }

private:
    uint64_t state_;
};

TMutator::TMutator(std::string_view Reader, std::vector<TSeed> Seeds, TShape Shape,
                   std::vector<std::string> Dictionary, size_t MaxSize)
    : seeds_(std::move(Seeds)), shape_(Shape), dictionary_(std::move(Dictionary)),
      maxSize_(MaxSize), readerSeed_(Mix(kRunSeed ^ NameHash(Reader)))
{
    for (const TSeed& seed : seeds_)
        truncations_ += seed.Bytes.size();
}

TInput TMutator::Make(uint64_t Index) const
{
    TInput input;
    if (seeds_.empty())
        return input;
    if (Index % 4 == 0 && Index / 4 < truncations_) {
        uint64_t cut = Index / 4;
        for (const TSeed& seed : seeds_) {
            if (cut < seed.Bytes.size()) {
                input.Bytes = seed.Bytes.substr(0, static_cast<size_t>(cut));
                input.Seed = seed.Name;
                input.Recipe = "truncate@" + std::to_string(cut);
                return input;
            }
            cut -= seed.Bytes.size();
        }
    }
    TRandom random(Mix(readerSeed_ ^ Mix(Index)));
    const TSeed& seed = seeds_[random.Below(seeds_.size())];
    input.Bytes = seed.Bytes;
    input.Seed = seed.Name;
    const size_t count = random.Between(1, 3);
    for (size_t i = 0; i < count; ++i) {
        if (i)
            input.Recipe += "; ";
        Mutate(random, input);
        if (input.Bytes.size() > maxSize_)
            input.Bytes.resize(maxSize_);
    }
    return input;
}

void TMutator::Mutate(TRandom& Random, TInput& Input) const
{
    std::string& b = Input.Bytes;
    std::string& recipe = Input.Recipe;
    const size_t room = b.size() < maxSize_ ? maxSize_ - b.size() : 0;
    auto at = [&recipe](const char* what, size_t pos) {
        recipe += what;
        recipe += '@';
        recipe += std::to_string(pos);
    };

    // Where a name or a value of the reader's text begins: after "<" or '="'
    // in XML, after "=", ": " or "[" in lines; anywhere in Base64.
    auto namePosition = [&]() -> size_t {
        std::vector<size_t> places;
        for (size_t i = 0; i < b.size(); ++i) {
            const char c = b[i];
            if (shape_ == TShape::Xml && (c == '<' || (c == '"' && i > 0 && b[i - 1] == '=')))
                places.push_back(i + 1);
            else if (shape_ == TShape::Lines &&
                     (c == '=' || c == '[' || (c == ':' && i + 1 < b.size() && b[i + 1] == ' ') ||
                      (c == '\n' && i + 1 < b.size())))
                places.push_back(c == ':' ? i + 2 : i + 1);
        }
        return places.empty() ? Random.Below(b.size() + 1) : places[Random.Below(places.size())];
    };

    // A unit of the text to repeat: a tag (XML), a line, or a group of four.
    struct TUnit {
        size_t Start = 0;
        size_t Length = 0;
        std::string Name; // XML only: the name of an opening tag, '' otherwise
    };
    auto findUnit = [&](bool attribute) -> TUnit {
        TUnit unit;
        if (b.empty())
            return unit;
        if (shape_ == TShape::Xml && attribute) {
            std::vector<size_t> equals;
            for (size_t i = 0; i + 1 < b.size(); ++i)
                if (b[i] == '=' && b[i + 1] == '"')
                    equals.push_back(i);
            if (!equals.empty()) {
                const size_t eq = equals[Random.Below(equals.size())];
                const size_t space = b.rfind(' ', eq);
                const size_t close = b.find('"', eq + 2);
                if (space != std::string::npos && close != std::string::npos) {
                    unit.Start = space;
                    unit.Length = close + 1 - space;
                    return unit;
                }
            }
        }
        if (shape_ == TShape::Xml) {
            std::vector<size_t> opens;
            for (size_t i = 0; i < b.size(); ++i)
                if (b[i] == '<')
                    opens.push_back(i);
            if (!opens.empty()) {
                const size_t open = opens[Random.Below(opens.size())];
                const size_t close = b.find('>', open);
                if (close != std::string::npos) {
                    unit.Start = open;
                    unit.Length = close + 1 - open;
                    const bool opening = open + 1 < b.size() && b[open + 1] != '/' &&
                                         b[open + 1] != '?' && b[open + 1] != '!' &&
                                         b[close - 1] != '/';
                    if (opening) {
                        size_t end = open + 1;
                        while (end < close && b[end] != ' ' && b[end] != '\r' && b[end] != '/')
                            ++end;
                        unit.Name = b.substr(open + 1, end - open - 1);
                    }
                    return unit;
                }
            }
        }
        if (shape_ == TShape::Base64) {
            const size_t groups = b.size() / 4;
            if (groups) {
                unit.Start = Random.Below(groups) * 4;
                unit.Length = 4;
                return unit;
            }
        }
        // A line, with its line end.
        const size_t pos = Random.Below(b.size());
        const size_t start = b.rfind('\n', pos);
        unit.Start = start == std::string::npos ? 0 : start + 1;
        const size_t end = b.find('\n', pos);
        unit.Length = (end == std::string::npos ? b.size() : end + 1) - unit.Start;
        return unit;
    };

    static constexpr unsigned kWeights[] = {10, 10, 10, 10, 6, 8, 4, 5, 6, 6, 8, 12, 4};
    unsigned total = 0;
    for (unsigned w : kWeights)
        total += w;
    unsigned roll = static_cast<unsigned>(Random.Next() % total);
    unsigned op = 0;
    while (roll >= kWeights[op]) {
        roll -= kWeights[op];
        ++op;
    }

    switch (op) {
    case 0: { // bit flips
        if (b.empty())
            break;
        const size_t pos = Random.Below(b.size());
        const size_t flips = Random.Between(1, 8);
        at("bitflip", pos);
        for (size_t i = 0; i < flips; ++i) {
            const size_t p = std::min(b.size() - 1, pos + Random.Below(16));
            b[p] = static_cast<char>(b[p] ^ (1u << Random.Below(8)));
        }
        break;
    }
    case 1: { // byte flips: random or interesting bytes
        if (b.empty())
            break;
        const size_t pos = Random.Below(b.size());
        const size_t count = Random.Between(1, 8);
        at("byteset", pos);
        for (size_t i = 0; i < count; ++i) {
            const size_t p = std::min(b.size() - 1, pos + Random.Below(32));
            b[p] =
                Random.Percent(50)
                    ? static_cast<char>(Random.Next())
                    : static_cast<char>(kInterestingBytes[Random.Below(kInterestingBytes.size())]);
        }
        break;
    }
    case 2: { // insertion of a run
        const size_t pos = Random.Below(b.size() + 1);
        const size_t length = std::min(Random.RunLength(), room);
        std::string run;
        const unsigned kind = static_cast<unsigned>(Random.Below(3));
        if (kind == 0) {
            run.resize(length);
            for (char& c : run)
                c = static_cast<char>(Random.Next());
        } else if (kind == 1) {
            run.assign(length, static_cast<char>(Random.Next()));
        } else if (!b.empty()) {
            const size_t from = Random.Below(b.size());
            const std::string slice = b.substr(from, Random.Between(1, 64));
            while (run.size() < length)
                run += slice;
            run.resize(length);
        }
        at("insert", pos);
        recipe += " n=" + std::to_string(run.size());
        b.insert(pos, run);
        break;
    }
    case 3: { // deletion of a run
        if (b.empty())
            break;
        const size_t pos = Random.Below(b.size());
        const size_t length = std::min(Random.RunLength(), b.size() - pos);
        at("delete", pos);
        recipe += " n=" + std::to_string(length);
        b.erase(pos, length);
        break;
    }
    case 4: { // splice with a seed
        const TSeed& other = seeds_[Random.Below(seeds_.size())];
        const size_t keep = Random.Below(b.size() + 1);
        const size_t from = Random.Below(other.Bytes.size() + 1);
        at("splice", keep);
        recipe += " " + other.Name + "@" + std::to_string(from);
        b = b.substr(0, keep) + other.Bytes.substr(from);
        break;
    }
    case 5: { // a tag nested thousands deep, or a tag, attribute or line repeated
        const bool attribute = Random.Percent(30);
        const TUnit unit = findUnit(attribute);
        if (unit.Length == 0)
            break;
        const std::string text = b.substr(unit.Start, unit.Length);
        size_t count = Random.RepeatCount();
        if (!unit.Name.empty() && Random.Percent(60)) {
            const std::string close = "</" + unit.Name + ">";
            count = std::min(count, room / (text.size() + close.size() + 1));
            std::string opens;
            std::string closes;
            opens.reserve(text.size() * count);
            closes.reserve(close.size() * count);
            for (size_t i = 0; i < count; ++i) {
                opens += text;
                closes += close;
            }
            at("nest", unit.Start);
            recipe += " n=" + std::to_string(count);
            b.insert(unit.Start + unit.Length, Random.Percent(50) ? closes : std::string());
            b.insert(unit.Start, opens);
        } else {
            count = std::min(count, room / (text.size() + 1));
            std::string copies;
            copies.reserve(text.size() * count);
            for (size_t i = 0; i < count; ++i)
                copies += text;
            at(attribute ? "repeat-attribute" : "repeat", unit.Start);
            recipe += " n=" + std::to_string(count);
            b.insert(unit.Start, copies);
        }
        break;
    }
    case 6: { // a very long name or value
        static constexpr size_t kLengths[] = {256,   1024,  4096,  16384,  32767,  32768,
                                              65535, 65536, 65537, 262144, 1048576};
        const size_t length = std::min(kLengths[Random.Below(std::size(kLengths))], room);
        std::string run;
        const unsigned kind = static_cast<unsigned>(Random.Below(4));
        if (kind == 0) {
            run.assign(length, 'A');
        } else if (kind == 1) {
            run.assign(length, '9');
        } else if (kind == 2) {
            while (run.size() + 2 <= length)
                run += "\xC3\xA9";
        } else {
            run.resize(length);
            for (char& c : run)
                c = static_cast<char>('a' + Random.Below(26));
        }
        const size_t pos = namePosition();
        at("long", pos);
        recipe += " n=" + std::to_string(run.size());
        b.insert(pos, run);
        break;
    }
    case 7: { // NULs in a name, a value or anywhere
        const size_t pos = Random.Percent(50) ? namePosition() : Random.Below(b.size() + 1);
        const size_t count = Random.Between(1, 3);
        at("nul", pos);
        if (Random.Percent(30) && pos < b.size())
            b[pos] = '\0';
        else
            b.insert(pos, std::string(count, '\0'));
        break;
    }
    case 8: { // lone surrogates and invalid UTF-8
        const std::string_view bad = kBadEncodings[Random.Below(kBadEncodings.size())];
        const size_t pos = Random.Percent(50) ? namePosition() : Random.Below(b.size() + 1);
        at("encoding", pos);
        b.insert(pos, bad);
        break;
    }
    case 9: { // numbers at and past the limits
        const std::string_view number = kLimitNumbers[Random.Below(kLimitNumbers.size())];
        std::vector<std::pair<size_t, size_t>> runs;
        for (size_t i = 0; i < b.size();) {
            if (!IsDigit(b[i])) {
                ++i;
                continue;
            }
            size_t start = i;
            while (i < b.size() && IsDigit(b[i]))
                ++i;
            if (start > 0 && (b[start - 1] == '-' || b[start - 1] == '$'))
                --start;
            runs.emplace_back(start, i - start);
        }
        if (runs.empty()) {
            const size_t pos = Random.Below(b.size() + 1);
            at("number", pos);
            b.insert(pos, number);
        } else {
            const auto [start, length] = runs[Random.Below(runs.size())];
            at("number", start);
            b.replace(start, length, number);
        }
        recipe += " ";
        recipe += number;
        break;
    }
    case 10:   // more lone surrogates and limits, as the reader spells them
    case 11: { // a token of the reader
        if (dictionary_.empty())
            break;
        const std::string& token = dictionary_[Random.Below(dictionary_.size())];
        const size_t pos = Random.Below(b.size() + 1);
        at("token", pos);
        if (Random.Percent(30) && pos < b.size())
            b.replace(pos, std::min(b.size() - pos, Random.Between(1, 16)), token);
        else
            b.insert(pos, token);
        break;
    }
    default: { // a cut anywhere
        const size_t pos = Random.Below(b.size() + 1);
        at("cut", pos);
        b.resize(pos);
        break;
    }
    }
}

} // namespace fuzz
