#include "platform/HashU.h"

#include "platform/EnvelopeTableU.h"
#include "platform/SysUtilsU.h"

#include <windows.h>
#include <wincrypt.h>

#include <algorithm>
#include <atomic>

namespace {

// The five fixed entries (0, 1, 2, 254, 255) are the system's given values; the
// others were drawn once from SplitMix64 seeded with the bytes of "Korvelle"
// (read big-endian) and written down here. They must never be regenerated: the
// usage-counter mutex name and the stored user id depend on every entry.
constexpr std::array<uint64_t, 256> kT64 = {
    0x1C168B5871CE07A8, 0x684CC31B839CC2F4, 0x95A4703905DFB202, 0x047CAD0B1E8885A0,
    0x43DF66D1776F07FB, 0xA03A57B157FA8D57, 0xE7000F15D2CE1D6F, 0x988667B879E31128,
    0x039BA78862EC3EDC, 0x6669EE6086392E99, 0x4A426B68712C52AE, 0xC6C1B17ECD6C06C1,
    0x92FEB181DF13947E, 0xC0C80EE2494809DA, 0xC37F36EB2B0198FC, 0xFC7A0CA8B7B34A3E,
    0x9D8CC6961ECD0AB2, 0x0FA072863F934FF7, 0x4A5DFFB19E888B2C, 0x28560FFE3FD0365E,
    0x5B27A9B2AF76B860, 0x5205616009D4FF77, 0x733A0A0685933362, 0xC7A60A876F31EC3F,
    0xDF3A676A1424FB55, 0x148245E099512DBA, 0xFCAB035AC3F43958, 0x278D806DDEB181BC,
    0x3BE76A4BFFDE8D7B, 0xAA04EAF8CEEFBBEA, 0x57A374A2C0E654F3, 0x6FB7BA2187CCCF8F,
    0x44ACBB7275077769, 0x1B17559F0D10A36C, 0xBFE8B7143B8B3182, 0xC6B58317F7C3CD39,
    0x3D4558B227CB661C, 0x84A14BC219DC0BDC, 0x4F5E1CB7F92EAE54, 0x61BACB4819E22180,
    0x42B92E7BA46C509B, 0x0E6806DEFDCA53BE, 0x1DAC344B6CDABC57, 0xE47721ACF29FDE9A,
    0xDFF1300151FD9863, 0xF948D9089B7FC3EF, 0xA60000921E3A1532, 0x70AADFADE1E39938,
    0x3625082110E4B920, 0xADB72FCA0905C456, 0x47BCEEB3C4461F89, 0x98E7293B1CA8F081,
    0x6E2B3E3F474B965B, 0x1362AC843172684C, 0xF182B7FCC6BA29BF, 0x62B7689DAA04D53D,
    0x4F4ED92B5938BFB1, 0x7639D20F67E6D171, 0xC505A4791A4F0153, 0x6E75B4B3D018E1EA,
    0xAF54F2E5883F3355, 0x0FF12D36CA82D397, 0xB07874D3370994BC, 0x19DD02A28EC81C1B,
    0x17752A793CCB5234, 0xED104831FC52B00A, 0x84A68722BE155FA9, 0x549A6E184D5BFA42,
    0x67D7FC801A5B49DE, 0xD707A0610A1B7805, 0x22925E56CA8FDD3B, 0x466C045BCB10F39A,
    0x74BE31C3B2CAD9F3, 0x4A03ADB7A7929A83, 0xA59EB60CF68E9D7B, 0x98DFEA379087931A,
    0x84E3455085932829, 0x6D7139D97337E03E, 0xF09F8E29D045E745, 0x01F1E4EC6125FAAD,
    0x7B93F9254E387BA3, 0x8CACAE0ACF50FD9D, 0x6DE547A00F9FE0C1, 0x1CEC27DAFAB0E626,
    0xE66FF3B0B97F45A5, 0xE8E719DE7D28650C, 0xC921AF39EE763645, 0x72C36AE5E14514AA,
    0xDE197450634EDE34, 0x08F9E48058061870, 0x68E1B7F541FC1652, 0x2D59007F7CBC3696,
    0x5DCC7DA02A114F11, 0xBCACDE5EC01E9612, 0x5F8CBAECFC92681A, 0x3E7887C5963A4359,
    0xB6314B6D57796FD0, 0xB36A93E69D6928FC, 0x000AF6476A391AFB, 0x949B91488822517B,
    0x24B7BBC5D2A498A2, 0x11DCC97FF0C75175, 0x47EEE53928535679, 0x2C62D7EF82AD38CC,
    0x9DF5EF3531AE0CFE, 0xBBC4A8A3B791F569, 0xE0E658A521357D03, 0x942149461811BF82,
    0x0560A2EF0F18271F, 0x220C8CC20411B668, 0x96F340E9E505652D, 0xE9A94E7226129B4B,
    0x1822D83CC002E400, 0xAB87C057EA6AFD67, 0x41DA5CDB31CAB091, 0x09D84604BF58FD64,
    0xD0D4E39A762F8F16, 0x5D10B51866995AE9, 0x68480F7AAB48999D, 0x3D578EA1459078A6,
    0x2A3454377BC4FCD2, 0x8241060BD01045A5, 0x8335DA0458CDE8EA, 0x8324C32D54A38847,
    0x7CA9D7F613ED6538, 0x3534213941792F46, 0x9C4B3845F6124BC1, 0x3DBA99B0B8E96B1A,
    0x9223EE5969C07EC7, 0xD3EF640CC619C4E9, 0xAF0E9151A1BE7E01, 0x656453AEB8EBA8A7,
    0x0258D60BADAEFD9B, 0x8EC56944CBB32203, 0xBC6B2911ADF46E9C, 0x2143543EB20C115E,
    0x6CB85ECE0844C9F4, 0x70D26E423CAC0190, 0x78F656855FD2377E, 0x7470E0BDA2A79C3F,
    0x97A20424AA5DBC58, 0xB50B3BB2A9724BA4, 0x21730249E90B1B3C, 0x0436146C47E9DC1D,
    0x6B482E4BF9A01EF8, 0x296E9E2E1C9356D6, 0x249727B93400B048, 0xE57731940DFC2FE6,
    0x7634CC187CADB174, 0xC017412139C5D571, 0xB2A92416AC30250D, 0x7EBCCE1BFB32E97D,
    0x7DDA36C1A98C5EC3, 0xD7A47B8BCE01223F, 0xE340EE7ECB0FDFA4, 0x95CC815AA84CF940,
    0x453E5FCC67F30828, 0x8CCA5F28A751B3A4, 0x8D863DA9EEDDC07F, 0x111AA122CCD0F6A6,
    0x9BC995660FBFD37C, 0x3255D2CEC76ECC42, 0xD65A72D45FAD263D, 0x459C407EA2E72016,
    0x22F0FF6F0697E8C6, 0xDAAEE6BF9F2D10D7, 0x1FFA7ACBDBDE6C72, 0xD0206B1F696CA479,
    0x64E7F409057D43ED, 0xC4542E6DC47CCB8C, 0xE0B1F1B4EEC0DB46, 0xDDFED7C36A5330A4,
    0x24E4FC9CE67224EF, 0x49798E6DC92103E2, 0x468007FE570C28F0, 0x6D92299F34D65A98,
    0xAE78226634C97A65, 0x2FF176B6D63EA6E1, 0xDF04E29B724689CC, 0xA32C005AF8E4F179,
    0x590373A268888D30, 0xB48FDC85EA7FE25A, 0x200EFF12AA45AE9E, 0x305999DBAC142DB1,
    0x0031739820964566, 0x40A60FCBC5C4C33E, 0x8FD734039DBE15F8, 0x6F3CEE58AE8DF90F,
    0xDE398581692F4425, 0x2336738B44B1327D, 0xB02ECA6B31E5B19C, 0x5BCD4F77F603374C,
    0x14B91D0EC9C380C2, 0x6B3D8B1E376C2961, 0xCEFB7FF91D2E564A, 0xBB5C4101FAC4D899,
    0xFF845DE477A8A92A, 0x4686102DFC851FA2, 0xAADA04CBD946B0AD, 0x60C0CFACAD52E5C5,
    0xE5921CA50B030B87, 0xF20E75CF4FF41CDB, 0x0484005DF4730627, 0x9EA852CF95BEA0CD,
    0xF48B2B890703D0DE, 0x4D76479D15BC7ED8, 0x20E0F77254CF2041, 0x3E4664A90381ABC4,
    0xE4FFED63FF88416C, 0x8678232F33187B16, 0x41A805323A106B36, 0x5B42569B9D6B35A1,
    0x107AAEFA929209EB, 0x43E8DA353637F5AC, 0xB1AB00CD11FBC9F2, 0xD5E5DFABE105CF19,
    0x2BD109600FE97C69, 0x5D2F78FB5756780A, 0xC150525A1D814EE9, 0xCAA65B97334CED46,
    0x950A4B7F8F3A4FE0, 0x7BB2B09FEF161D33, 0x98D63623D0013E26, 0x059BF8888864EB85,
    0xA29462C17D5A5A06, 0x9D5C6068D830AD02, 0x649FBE87DE4EB8A8, 0x11236A8BA3BC3C96,
    0xABDA486BA0D9CEAB, 0x8992BC3DD038F321, 0x287C7C1151EE2DC6, 0x72B8D2440E2DDC86,
    0x9EA99178ABC06FEF, 0x8D49F61F59C35E78, 0x85EDE7F825C58C2F, 0x1170752518782BE7,
    0x5C6E5B1D28970AD1, 0x2564BEA434FC4441, 0xA97D1BD3EC4C9620, 0x16EC32FE81481D64,
    0x95B2B2A782105550, 0x134C3D8A1B0B1BD4, 0x5107C090847B6C30, 0xEEF84B606C396E56,
    0x431CEF2D4E403D52, 0xA1812892509CFDA0, 0x2CDE1C7D248FB6EA, 0x39AAEC335C5C2403,
    0x5402AEB244DB4509, 0x5D22C4D371CB16CC, 0x0DA2A99B915A5DE8, 0xBEE280DEC9EC274C,
    0xE406C251A5C070EE, 0x78B1516815202591, 0x23A9FAC49EEC00AA, 0x1E2D2FADFC380BB4,
};

constexpr std::array<uint32_t, 256> MakeT32()
{
    std::array<uint32_t, 256> t{};
    for (size_t i = 0; i < t.size(); ++i)
        t[i] = static_cast<uint32_t>(kT64[i] >> 32);
    return t;
}
constexpr std::array<uint32_t, 256> kT32 = MakeT32();

constexpr uint32_t kHashMultiplier = 0x5517E877;
constexpr uint32_t kChecksumModulus = 65535;
constexpr char kCR = '\r';
constexpr char kLF = '\n';
constexpr char kTab = '\t';
constexpr std::string_view kChecksumName = "_CRC";
constexpr std::string_view kRandomizerName = "RANDOMIZER";
constexpr std::string_view kBase64Alphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

uint32_t SystemTickCount()
{
    return GetTickCount();
}

std::atomic<TQueryTickSource> gTickSource{&SystemTickCount};

template <typename H, typename Table>
H Hash(std::string_view s, bool lowerFirst, const Table& table)
{
    std::string lowered;
    if (lowerFirst) {
        lowered = LowerCase(s);
        s = lowered;
    }
    H h = 1;
    for (char c : s) {
        h = static_cast<H>(h * kHashMultiplier);
        h ^= table[static_cast<unsigned char>(c)];
    }
    return h;
}

std::string ReplaceAll(std::string_view s, std::string_view from, std::string_view to)
{
    std::string out;
    out.reserve(s.size());
    size_t pos = 0;
    while (true) {
        const size_t hit = s.find(from, pos);
        if (hit == std::string_view::npos)
            break;
        out.append(s.substr(pos, hit - pos));
        out.append(to);
        pos = hit + from.size();
    }
    out.append(s.substr(pos));
    return out;
}

int Base64Value(char c)
{
    const size_t i = kBase64Alphabet.find(c);
    return i == std::string_view::npos ? -1 : static_cast<int>(i);
}

// "_CRC" TAB digits; false for anything else. A number too long to be a
// checksum cannot match one, so it is refused rather than overflowed.
bool ParseChecksumLine(std::string_view line, uint32_t& checksum)
{
    if (line.size() <= kChecksumName.size() + 1 ||
        line.substr(0, kChecksumName.size()) != kChecksumName || line[kChecksumName.size()] != kTab)
        return false;
    const std::string_view digits = line.substr(kChecksumName.size() + 1);
    uint32_t value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + static_cast<uint32_t>(c - '0');
        if (value > kChecksumModulus)
            return false;
    }
    checksum = value;
    return true;
}

} // namespace

const std::array<uint64_t, 256>& StrHashTable64()
{
    return kT64;
}

const std::array<uint32_t, 256>& StrHashTable32()
{
    return kT32;
}

uint32_t StrHash32(std::string_view s, bool lowerFirst)
{
    return Hash<uint32_t>(s, lowerFirst, kT32);
}

uint64_t StrHash64(std::string_view s, bool lowerFirst)
{
    return Hash<uint64_t>(s, lowerFirst, kT64);
}

int PosEx(std::string_view subStr, std::string_view s, int offset)
{
    if (subStr.empty() || s.empty() || offset < 1 || static_cast<size_t>(offset) > s.size())
        return 0;
    const size_t hit = s.find(subStr, static_cast<size_t>(offset - 1));
    return hit == std::string_view::npos ? 0 : static_cast<int>(hit + 1);
}

uint32_t QueryChecksum(std::string_view text)
{
    uint32_t sum = 0;
    for (char c : text) {
        sum += static_cast<unsigned char>(c);
        if (sum > kChecksumModulus)
            sum %= kChecksumModulus;
    }
    return sum;
}

std::string EscapeQueryValue(std::string_view value)
{
    std::string s = ReplaceAll(value, "\n", "\n1");
    s = ReplaceAll(s, "\r", "\n3");
    return ReplaceAll(s, "\t", "\n2");
}

std::string UnescapeQueryValue(std::string_view value)
{
    std::string s = ReplaceAll(value, "\n2", "\t");
    s = ReplaceAll(s, "\n3", "\r");
    return ReplaceAll(s, "\n1", "\n");
}

std::string XorWithTable(std::string_view data, std::span<const uint8_t> table)
{
    std::string out(data);
    if (table.empty())
        return out;
    // Byte 0 stays as it is: every envelope starts with the plain coded "_".
    for (size_t i = 1; i < out.size(); ++i)
        out[i] =
            static_cast<char>(static_cast<unsigned char>(out[i]) ^ table[(i - 1) % table.size()]);
    return out;
}

std::string EncodeQueryBase64(std::string_view bytes)
{
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    size_t i = 0;
    auto at = [&](size_t k) { return static_cast<uint32_t>(static_cast<unsigned char>(bytes[k])); };
    for (; i + 3 <= bytes.size(); i += 3) {
        const uint32_t n = (at(i) << 16) | (at(i + 1) << 8) | at(i + 2);
        out += kBase64Alphabet[(n >> 18) & 63];
        out += kBase64Alphabet[(n >> 12) & 63];
        out += kBase64Alphabet[(n >> 6) & 63];
        out += kBase64Alphabet[n & 63];
    }
    const size_t rest = bytes.size() - i;
    if (rest > 0) {
        const uint32_t n = (at(i) << 16) | (rest == 2 ? at(i + 1) << 8 : 0);
        out += kBase64Alphabet[(n >> 18) & 63];
        out += kBase64Alphabet[(n >> 12) & 63];
        out += rest == 2 ? kBase64Alphabet[(n >> 6) & 63] : '=';
        out += '=';
    }
    for (char& c : out) {
        if (c == '+')
            c = '-';
        else if (c == '/')
            c = '_';
        else if (c == '=')
            c = '@';
    }
    return out;
}

bool DecodeQueryBase64(std::string_view text, std::string& bytes)
{
    if (text.size() % 4 != 0)
        return false;
    std::string mapped(text);
    for (char& c : mapped) {
        if (c == '-')
            c = '+';
        else if (c == '_')
            c = '/';
        else if (c == '.' || c == '@')
            c = '=';
    }
    std::string out;
    out.reserve(mapped.size() / 4 * 3);
    for (size_t i = 0; i < mapped.size(); i += 4) {
        const bool last = i + 4 == mapped.size();
        int v[4];
        int pad = 0;
        for (int k = 0; k < 4; ++k) {
            const char c = mapped[i + static_cast<size_t>(k)];
            if (c == '=') {
                // Padding only in the last group's last one or two places.
                if (!last || k < 2)
                    return false;
                ++pad;
                v[k] = 0;
                continue;
            }
            if (pad > 0)
                return false;
            v[k] = Base64Value(c);
            if (v[k] < 0)
                return false;
        }
        const uint32_t n = (static_cast<uint32_t>(v[0]) << 18) |
                           (static_cast<uint32_t>(v[1]) << 12) |
                           (static_cast<uint32_t>(v[2]) << 6) | static_cast<uint32_t>(v[3]);
        out += static_cast<char>((n >> 16) & 0xFF);
        if (pad < 2)
            out += static_cast<char>((n >> 8) & 0xFF);
        if (pad < 1)
            out += static_cast<char>(n & 0xFF);
    }
    bytes = std::move(out);
    return true;
}

TQueryTickSource SetQueryTickSource(TQueryTickSource source)
{
    return gTickSource.exchange(source ? source : &SystemTickCount);
}

TCryptURL::TCryptURL(bool useTable)
{
    if (useTable)
        table_.assign(kEnvelopeTable.begin(), kEnvelopeTable.end());
}

int TCryptURL::IndexOfName(std::string_view name) const
{
    const std::string upper = UpperCase(name);
    for (size_t i = 0; i < pairs_.size(); ++i) {
        if (pairs_[i].name == upper)
            return static_cast<int>(i);
    }
    return -1;
}

std::string TCryptURL::GetValue(std::string_view name) const
{
    const int i = IndexOfName(name);
    return i < 0 ? std::string() : pairs_[static_cast<size_t>(i)].value;
}

void TCryptURL::SetValue(std::string_view name, std::string_view value)
{
    const int i = IndexOfName(name);
    if (i >= 0)
        pairs_[static_cast<size_t>(i)].value = value;
    else
        pairs_.push_back({UpperCase(name), std::string(value)});
}

void TCryptURL::BuildQuery(std::string& query)
{
    SetValue(kRandomizerName, IntToStr(gTickSource.load()()));
    std::string body;
    for (const TQueryPair& pair : pairs_) {
        body += kCR;
        body += pair.name;
        body += kTab;
        body += EscapeQueryValue(pair.value);
    }
    std::string text(kChecksumName);
    text += kTab;
    text += IntToStr(QueryChecksum(body));
    text += body;
    query = EncodeQueryBase64(XorWithTable(text, table_));
}

bool TCryptURL::ParseQuery(std::string_view query)
{
    valid_ = false;
    std::string decoded;
    if (!DecodeQueryBase64(query, decoded) || decoded.empty())
        return false;
    const std::string text = XorWithTable(decoded, table_);
    const std::string_view view(text);

    const size_t firstCR = view.find(kCR);
    const std::string_view head = view.substr(0, firstCR);
    const std::string_view body =
        firstCR == std::string_view::npos ? std::string_view() : view.substr(firstCR);
    uint32_t checksum = 0;
    if (!ParseChecksumLine(head, checksum) || checksum != QueryChecksum(body))
        return false;

    // body is empty or starts with CR; every CR opens one line.
    size_t pos = 0;
    while (pos < body.size()) {
        const size_t start = pos + 1;
        size_t end = body.find(kCR, start);
        if (end == std::string_view::npos)
            end = body.size();
        const std::string_view line = body.substr(start, end - start);
        const size_t tab = line.find(kTab);
        if (tab == std::string_view::npos)
            SetValue(line, {});
        else
            SetValue(line.substr(0, tab), UnescapeQueryValue(line.substr(tab + 1)));
        pos = end;
    }
    valid_ = true;
    return true;
}

// ---------------------------------------------------------------------------
// SHA-256

namespace {

constexpr DWORD kSha256Bytes = 32;
constexpr DWORD kFileBlock = 64 * 1024;

// One hash over the blocks Feed hands out (false from Feed: failure).
template <typename F> bool Sha256Of(F&& Feed, std::string& Hex)
{
    TSha256 hash;
    return Feed([&hash](const BYTE* Data, DWORD Size) { return hash.Add(Data, Size); }) &&
           hash.Finish(Hex);
}

} // namespace

TSha256::TSha256()
{
    HCRYPTPROV provider = 0;
    HCRYPTHASH hash = 0;
    failed_ = !CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_AES,
                                    CRYPT_VERIFYCONTEXT | CRYPT_SILENT);
    if (!failed_)
        failed_ = !CryptCreateHash(provider, CALG_SHA_256, 0, 0, &hash);
    provider_ = provider;
    hash_ = hash;
}

TSha256::~TSha256()
{
    if (hash_)
        CryptDestroyHash(static_cast<HCRYPTHASH>(hash_));
    if (provider_)
        CryptReleaseContext(static_cast<HCRYPTPROV>(provider_), 0);
}

bool TSha256::Add(const void* Data, size_t Size)
{
    const BYTE* bytes = static_cast<const BYTE*>(Data);
    while (!failed_ && Size > 0) {
        const DWORD block = static_cast<DWORD>(std::min<size_t>(Size, kFileBlock));
        failed_ = !CryptHashData(static_cast<HCRYPTHASH>(hash_), bytes, block, 0);
        bytes += block;
        Size -= block;
    }
    return !failed_;
}

bool TSha256::Finish(std::string& Hex)
{
    BYTE digest[kSha256Bytes] = {};
    DWORD size = kSha256Bytes;
    if (failed_ || !CryptGetHashParam(static_cast<HCRYPTHASH>(hash_), HP_HASHVAL, digest, &size, 0) ||
        size != kSha256Bytes) {
        failed_ = true;
        return false;
    }
    failed_ = true; // the hash is ended
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    for (BYTE b : digest) {
        text += kDigits[b >> 4];
        text += kDigits[b & 15];
    }
    Hex = std::move(text);
    return true;
}

bool Sha256Hex(std::string_view Bytes, std::string& Hex)
{
    return Sha256Of(
        [Bytes](auto&& Add) {
            return Add(reinterpret_cast<const BYTE*>(Bytes.data()), static_cast<DWORD>(Bytes.size()));
        },
        Hex);
}

bool FileSha256Hex(const std::string& FileName, std::string& Hex)
{
    HANDLE file = CreateFileA(FileName.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    const bool ok = Sha256Of(
        [file](auto&& Add) {
            std::string block(kFileBlock, '\0');
            while (true) {
                DWORD read = 0;
                if (!ReadFile(file, block.data(), kFileBlock, &read, nullptr))
                    return false;
                if (read == 0)
                    return true;
                if (!Add(reinterpret_cast<const BYTE*>(block.data()), read))
                    return false;
            }
        },
        Hex);
    CloseHandle(file);
    return ok;
}
