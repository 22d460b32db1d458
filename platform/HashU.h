#pragma once
// String hashes and the request parameter set.
//
// The hashes key the path-macro table, name the usage-counter mutex and make the
// user id, so their tables are fixed constants shared by both programs.
//
// TCryptURL is the envelope in which name/value parameters travel to the web
// service as one query value: the lines
//     "_CRC" TAB checksum, then per pair CR NAME TAB escaped-value
// (the checksum covers everything from the first CR), XORed with the envelope
// table from its second byte on and written in a URL-safe Base64 form. It is
// obfuscation, not protection.

#include "platform/ClassesU.h"

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// T64, and T32 whose entries are the upper halves of T64's (all 256 distinct).
const std::array<uint64_t, 256>& StrHashTable64();
const std::array<uint32_t, 256>& StrHashTable32();

// h := 1; per byte b: h := h * 0x5517E877 (wrapping), h := h xor T[b]. With
// lowerFirst the text is lower-cased first through the system's mapping
// (LowerCase). An empty text gives 1.
uint32_t StrHash32(std::string_view s, bool lowerFirst);
uint64_t StrHash64(std::string_view s, bool lowerFirst);

// 1-based position of subStr in s at or after offset; 0 when not found, when
// either text is empty, or when offset lies below 1 or past the end of s.
int PosEx(std::string_view subStr, std::string_view s, int offset = 1);

// Building blocks of the envelope, usable alone.

// Sum of the unsigned bytes; whenever the sum exceeds 65535 it is reduced
// modulo 65535, so the result lies in 0..65535 (65535 itself stays).
uint32_t QueryChecksum(std::string_view text);
// LF -> LF "1", then CR -> LF "3", then TAB -> LF "2".
std::string EscapeQueryValue(std::string_view value);
// The reverse, in the opposite order: LF "2" -> TAB, LF "3" -> CR, LF "1" -> LF.
std::string UnescapeQueryValue(std::string_view value);
// Same length; byte 0 copied, byte i (from 1) XORed with table[(i - 1) mod size].
// An empty table copies everything.
std::string XorWithTable(std::string_view data, std::span<const uint8_t> table);
// Standard Base64 with "=" padding, then "+" -> "-", "/" -> "_", "=" -> "@".
std::string EncodeQueryBase64(std::string_view bytes);
// "-" -> "+", "_" -> "/", "." and "@" -> "=", then standard Base64. False, and
// bytes untouched, for a length that is not a multiple of four, a character
// outside the alphabet, or padding anywhere but at the end.
bool DecodeQueryBase64(std::string_view text, std::string& bytes);

// The tick count that BuildQuery stores as RANDOMIZER; GetTickCount unless
// replaced (tests pin it). Returns the previous source; nullptr restores GetTickCount.
using TQueryTickSource = uint32_t (*)();
TQueryTickSource SetQueryTickSource(TQueryTickSource source);

struct TQueryPair {
    std::string name; // upper-cased
    std::string value;
};

class TCryptURL : public TObject {
public:
    // With useTable the envelope table is copied in; without it no byte is XORed.
    explicit TCryptURL(bool useTable);

    // Index of the pair named UpperCase(name); -1 when absent.
    int IndexOfName(std::string_view name) const;
    // '' when absent.
    std::string GetValue(std::string_view name) const;
    // The name is upper-cased; an existing pair keeps its place and takes the
    // value, otherwise the pair is appended.
    void SetValue(std::string_view name, std::string_view value);

    // Sets RANDOMIZER to the tick count first (so equal parameters give
    // different envelopes; a second build keeps its place), then codes all pairs.
    void BuildQuery(std::string& query);
    // Decodes, checks the "_CRC" line and the checksum, then sets every line's
    // pair (a line without TAB is a name with value ''; a repeated name keeps
    // the last value). False, with the pairs untouched and Valid false, for a
    // query that does not decode or fails the check; never throws.
    bool ParseQuery(std::string_view query);

    bool Valid() const { return valid_; }
    const std::vector<TQueryPair>& Pairs() const { return pairs_; }
    const std::vector<uint8_t>& Table() const { return table_; }

private:
    std::vector<uint8_t> table_;
    std::vector<TQueryPair> pairs_;
    bool valid_ = false;
};

// FNV-1a, 64 bits: a quick hash for in-memory indexes (never stored).
inline uint64_t Fnv1a64(std::string_view Text) noexcept
{
    uint64_t hash = 14695981039346656037ull;
    for (const char c : Text) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 1099511628211ull;
    }
    return hash;
}

// SHA-256 (CryptoAPI, PROV_RSA_AES) of Bytes or of a whole file, as 64
// lower-case hexadecimal digits. False, Hex untouched, when the provider or
// the file fails.
bool Sha256Hex(std::string_view Bytes, std::string& Hex);
bool FileSha256Hex(const std::string& FileName, std::string& Hex);

// SHA-256 of bytes handed in block by block (a file as it is written).
class TSha256 {
public:
    TSha256();
    ~TSha256();
    TSha256(const TSha256&) = delete;
    TSha256& operator=(const TSha256&) = delete;
    bool Add(const void* Data, size_t Size);
    // The digest of everything added, as Sha256Hex gives it; false, Hex
    // untouched, when the provider or any Add failed. Once only.
    bool Finish(std::string& Hex);

private:
    uintptr_t provider_ = 0; // HCRYPTPROV
    uintptr_t hash_ = 0;     // HCRYPTHASH
    bool failed_ = false;
};
