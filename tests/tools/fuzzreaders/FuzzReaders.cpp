#include "FuzzReaders.h"

#include "KorvTest.h"
#include "controls/KvGraphics.h"
#include "controls/PNGControl.h"
#include "engine/qvAddOnCheck.h"
#include "engine/qvAddOnReaders.h"
#include "engine/qvBackup.h"
#include "engine/qvClasses.h"
#include "engine/qvCleanRep.h"
#include "engine/qvExceptions.h"
#include "engine/qvStartup.h"
#include "platform/DateTimeU.h"
#include "platform/FileUtilsU.h"
#include "platform/HTTPU.h"
#include "platform/HashU.h"
#include "platform/IniFileWU.h"
#include "platform/StreamU.h"
#include "platform/SysUtilsU.h"
#include "platform/UnicodeU.h"
#include "platform/XmlU.h"
#include "platform/qvCommon.h"

#include <png.h>
#include <wininet.h>

#include <algorithm>
#include <cstring>

namespace fuzz {

namespace {

// ---------------------------------------------------------------------------
// The sandbox

constexpr std::string_view kCommonDir = "common\\";
constexpr std::string_view kUserDir = "user\\";

struct TRedirectedRoot {
    HKEY Root;
    const wchar_t* Name;
};
const TRedirectedRoot kRedirectedRoots[] = {
    {HKEY_CLASSES_ROOT, L"HKCR"}, {HKEY_CURRENT_USER, L"HKCU"},   {HKEY_LOCAL_MACHINE, L"HKLM"},
    {HKEY_USERS, L"HKU"},         {HKEY_CURRENT_CONFIG, L"HKCC"},
};

uint64_t Join(DWORD high, DWORD low)
{
    return (static_cast<uint64_t>(high) << 32) | low;
}

void SnapshotFolder(const std::string& base, const std::string& relative,
                    std::vector<TDiskEntry>& entries)
{
    WIN32_FIND_DATAA data{};
    HANDLE find = FindFirstFileA((base + relative + "*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE)
        return;
    do {
        const std::string name = data.cFileName;
        if (name == "." || name == "..")
            continue;
        TDiskEntry entry;
        entry.Path = relative + name;
        entry.Attributes = data.dwFileAttributes;
        const bool folder = data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY;
        if (!folder) {
            entry.Size = Join(data.nFileSizeHigh, data.nFileSizeLow);
            entry.WriteTime =
                Join(data.ftLastWriteTime.dwHighDateTime, data.ftLastWriteTime.dwLowDateTime);
        }
        entries.push_back(entry);
        if (folder && !(data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
            SnapshotFolder(base, entry.Path + "\\", entries);
    } while (FindNextFileA(find, &data));
    FindClose(find);
}

// ---------------------------------------------------------------------------
// The HTTP client's platform: WinInet answered from the input, a raw response
// (status line, header lines, an empty line, the body).

struct THttpExchange {
    std::string StatusCode;
    std::vector<std::pair<std::string, std::string>> Headers;
    std::string RawHeaders;
    std::string Body;
    size_t Read = 0;
};
THttpExchange gExchange;
int gHandles[3];

HINTERNET FakeHandle(int which)
{
    return reinterpret_cast<HINTERNET>(&gHandles[which]);
}

void ParseExchange(std::string_view response)
{
    gExchange = THttpExchange();
    size_t split = response.find("\r\n\r\n");
    size_t bodyStart = split == std::string_view::npos ? response.size() : split + 4;
    const std::string_view head = response.substr(0, std::min(split, response.size()));
    gExchange.RawHeaders.assign(head);
    gExchange.RawHeaders += "\r\n\r\n";
    gExchange.Body.assign(response.substr(bodyStart));
    size_t pos = 0;
    bool first = true;
    while (pos <= head.size()) {
        size_t end = head.find("\r\n", pos);
        if (end == std::string_view::npos)
            end = head.size();
        const std::string_view line = head.substr(pos, end - pos);
        pos = end + 2;
        if (first) {
            first = false;
            const size_t space = line.find(' ');
            if (space != std::string_view::npos) {
                const size_t next = line.find(' ', space + 1);
                gExchange.StatusCode.assign(line.substr(space + 1, next == std::string_view::npos
                                                                       ? std::string_view::npos
                                                                       : next - space - 1));
            }
            continue;
        }
        const size_t colon = line.find(':');
        if (colon == std::string_view::npos)
            continue;
        std::string_view value = line.substr(colon + 1);
        while (!value.empty() && (value.front() == ' ' || value.front() == '\t'))
            value.remove_prefix(1);
        gExchange.Headers.emplace_back(std::string(line.substr(0, colon)), std::string(value));
    }
}

HINTERNET WINAPI FakeOpen(LPCSTR, DWORD, LPCSTR, LPCSTR, DWORD)
{
    return FakeHandle(0);
}

HINTERNET WINAPI FakeConnect(HINTERNET, LPCSTR, INTERNET_PORT, LPCSTR, LPCSTR, DWORD, DWORD,
                             DWORD_PTR)
{
    return FakeHandle(1);
}

BOOL WINAPI FakeSetOption(HINTERNET, DWORD, LPVOID, DWORD)
{
    return TRUE;
}

HINTERNET WINAPI FakeOpenRequest(HINTERNET, LPCSTR, LPCSTR, LPCSTR, LPCSTR, LPCSTR*, DWORD,
                                 DWORD_PTR)
{
    return FakeHandle(2);
}

BOOL WINAPI FakeAddHeaders(HINTERNET, LPCSTR, DWORD, DWORD)
{
    return TRUE;
}

BOOL WINAPI FakeSend(HINTERNET, LPCSTR, DWORD, LPVOID, DWORD)
{
    return TRUE;
}

// As WinInet answers: the first header of the name, NUL-terminated; a buffer
// too small gets the size it needs and ERROR_INSUFFICIENT_BUFFER.
BOOL WINAPI FakeQueryInfo(HINTERNET, DWORD info, LPVOID buffer, LPDWORD length, LPDWORD)
{
    const char* name = nullptr;
    std::string value;
    bool found = false;
    switch (info & HTTP_QUERY_HEADER_MASK) {
    case HTTP_QUERY_STATUS_CODE:
        value = gExchange.StatusCode;
        found = !value.empty();
        break;
    case HTTP_QUERY_RAW_HEADERS_CRLF:
        value = gExchange.RawHeaders;
        found = true;
        break;
    case HTTP_QUERY_CONTENT_TYPE:
        name = "Content-Type";
        break;
    case HTTP_QUERY_CONTENT_LENGTH:
        name = "Content-Length";
        break;
    case HTTP_QUERY_CONTENT_RANGE:
        name = "Content-Range";
        break;
    case HTTP_QUERY_ETAG:
        name = "ETag";
        break;
    case HTTP_QUERY_LAST_MODIFIED:
        name = "Last-Modified";
        break;
    default:
        break;
    }
    if (name) {
        for (const auto& [header, text] : gExchange.Headers) {
            if (SameTextAscii(header, name)) {
                value = text;
                found = true;
                break;
            }
        }
    }
    if (!found) {
        SetLastError(ERROR_HTTP_HEADER_NOT_FOUND);
        return FALSE;
    }
    if (!length || !buffer || *length < value.size() + 1) {
        if (length)
            *length = static_cast<DWORD>(value.size() + 1);
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memcpy(buffer, value.data(), value.size());
    static_cast<char*>(buffer)[value.size()] = '\0';
    *length = static_cast<DWORD>(value.size());
    return TRUE;
}

BOOL WINAPI FakeRead(HINTERNET, LPVOID buffer, DWORD size, LPDWORD read)
{
    const size_t count = std::min<size_t>(size, gExchange.Body.size() - gExchange.Read);
    std::memcpy(buffer, gExchange.Body.data() + gExchange.Read, count);
    gExchange.Read += count;
    *read = static_cast<DWORD>(count);
    return TRUE;
}

BOOL WINAPI FakeClose(HINTERNET)
{
    return TRUE;
}

const THTTPApi kFakeApi = {
    FakeOpen, FakeConnect,   FakeSetOption, FakeOpenRequest, FakeAddHeaders,
    FakeSend, FakeQueryInfo, FakeRead,      FakeClose,
};

// ---------------------------------------------------------------------------
// The readers

// XML: the document reader itself, and a walk of the tree as its callers
// make one. The character mode follows from the input, so that a replay
// reads it as the run did.
std::string RunXml(TSandbox&, const std::string& Input, bool& Taken)
{
    {
        TXML xml;
        xml.Utf8 = Input.size() % 2 == 1;
        xml.LoadFromString(Input);
        if (xml.Cursor() < 1 || static_cast<size_t>(xml.Cursor()) > Input.size() + 1)
            return "Cursor " + std::to_string(xml.Cursor()) + " outside the text";
        // Depth first without recursion, as deep as the reader allows.
        std::vector<std::pair<const TXMLTag*, int>> stack{{xml.Root(), 0}};
        while (!stack.empty()) {
            const auto [tag, depth] = stack.back();
            stack.pop_back();
            if (depth > TXML::MaxDepth)
                return "a tree deeper than TXML::MaxDepth";
            for (const auto& child : tag->Children())
                stack.emplace_back(child.get(), depth + 1);
        }
        TXMLTag::FindPath(xml.Root(), {"soap:Envelope", "soap:Body", "CheckBHOResponse"});
        TXMLTag::GetAttribute(xml.Root()->FindFirst("backup"), "name");
        Taken = xml.Complete();
    }
    return {};
}

std::string RunCatalogue(TSandbox&, const std::string& Input, bool& Taken)
{
    {
        TqvMain engine;
        engine.LoadDataFromText(Input);
        Taken = engine.FixCategory || engine.BoostCategory || engine.CleanCategory || Exceptions();
    }
    // A later catalogue load adds to the process's ignore list: each input
    // starts without one.
    ResetExceptionsForTests();
    return {};
}

// The rescue centre: the backup folder listed, then each backup restored.
std::string RunBackup(TSandbox&, const std::string&, bool& Taken)
{
    TqvBackups backups;
    backups.LoadFrom(BackupDir());
    for (auto* list : {&backups.FixBackups, &backups.BoostBackups})
        for (const auto& backup : *list)
            Taken = backup->Restore().Applied > 0 || Taken;
    return {};
}

std::string RunStartup(TSandbox&, const std::string&, bool& Taken)
{
    TqvAllRunItems list(true);
    Taken = list.Load() == TStartupListState::Loaded && !list.Items.empty();
    for (const auto& item : list.Items)
        if (item->Priority < kRunPriorityMin || item->Priority > kRunPriorityMax)
            return "priority " + std::to_string(item->Priority) + " outside 0..10";
    if (list.HighestPriority < 0 || list.HighestPriority > kRunPriorityMax)
        return "highest priority " + std::to_string(list.HighestPriority);
    return {};
}

std::string RunAddOns(TSandbox&, const std::string&, bool& Taken)
{
    auto items = TqvAddOnItems::Create(nullptr);
    items->Load();
    Taken = !items->AllRecords.empty();
    items->Lookup("{11111111-2222-3333-4444-555555555555}", L"Toolbar", false, "c:\\x.dll", "BHO");
    return {};
}

// The web check's reply, for three add-ons the scan did not know. The cache
// has no file: the reply is the input here, and saving the cache (a flushed
// file per reply) would take most of the time.
std::string RunSoap(TSandbox&, const std::string& Input, bool& Taken)
{
    auto items = TqvAddOnItems::Create(nullptr);
    items->FileName.clear();
    for (const char* id : {"{11111111-2222-3333-4444-555555555555}",
                           "{AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE}", "someone@example.org"})
        items->Lookup(id, L"An add-on", false, "%ProgramFiles%\\x\\x.dll", "BHO");
    Taken = items->ApplyReply(Input);
    for (const auto& record : items->AllRecords)
        if (record->Verdict > kVerdictBlack)
            return "verdict " + std::to_string(record->Verdict);
    return {};
}

// The entries of the seeds are dated on this day.
TDateTime PinnedNow()
{
    return 45658.5; // 2025-01-01 12:00
}

void PrepareCleanRep(TSandbox&)
{
    SetClock(&PinnedNow);
}

std::string RunCleanRep(TSandbox&, const std::string&, bool& Taken)
{
    TqvCleanRep report;
    report.Load();
    Taken = report.Count() > 0;
    return {};
}

// lng.ini as the translation lookup reads it: the language list, then a text
// of each language.
std::string RunIni(TSandbox& Sandbox, const std::string&, bool& Taken)
{
    TIniFileW ini(WideFromAnsi(Sandbox.Path("common\\Translate\\lng.ini")));
    TStringList keys;
    ini.ReadSection("Languages", keys);
    Taken = keys.Count() > 0;
    TStringList lines;
    ini.ReadSectionValues("Languages", lines);
    for (int i = 0; i < keys.Count() && i < 8; ++i) {
        ini.ReadWideString(Utf8ToWide(keys[i]), L"RestorePointNameFix", L"Fix");
        ini.ReadWideString(Utf8ToWide(keys[i]), L"", L"Fix");
    }
    ini.ReadWideString(L"en", L"RestorePointCreating", L"Creating");
    return {};
}

// A profile's extensions.rdf as the add-on scanner reads it, and the rewrite
// of one description that its disable step makes (in memory).
std::string RunRdf(TSandbox& Sandbox, const std::string&, bool& Taken)
{
    auto parser = LoadRDFFile(Sandbox.Path("profile\\extensions.rdf"));
    if (!parser)
        return "a written extensions.rdf did not load";
    for (const char* id : {"{e4a8a97b-f2ed-450b-b12d-ee082ba24781}", "toolbar@example.org"}) {
        parser->IsDisabled(id);
        Taken = !parser
                     ->ReplaceAttribute(id, "NS1:userDisabled=\"true\"",
                                        "NS1:userDisabled=\"needs-enable\"")
                     .empty() ||
                Taken;
    }
    return {};
}

std::string RunInstallRdf(TSandbox& Sandbox, const std::string&, bool& Taken)
{
    std::wstring name;
    ReadInstallRdfName(Sandbox.Path("profile\\ext\\"), name);
    Taken = !name.empty();
    return {};
}

// The envelope as sent, and the same envelope with its checksum made right
// again: a mutation almost always breaks the checksum, and the reader would
// never look at the lines after it.
std::string RunQuery(TSandbox&, const std::string& Input, bool& Taken)
{
    std::vector<std::string> queries{Input};
    std::string bytes;
    if (DecodeQueryBase64(Input, bytes)) {
        TCryptURL empty(true);
        const std::string text = XorWithTable(bytes, empty.Table());
        const size_t lines = std::min(text.find('\r'), text.size());
        const std::string body = text.substr(lines);
        queries.push_back(EncodeQueryBase64(
            XorWithTable("_CRC\t" + std::to_string(QueryChecksum(body)) + body, empty.Table())));
    }
    for (const std::string& text : queries) {
        TCryptURL query(true);
        const bool valid = query.ParseQuery(text);
        Taken = valid || Taken;
        if (valid != query.Valid())
            return "ParseQuery and Valid disagree";
        if (!valid && !query.Pairs().empty())
            return "a rejected query left pairs";
        query.GetValue("UID");
    }
    return {};
}

void PrepareHttp(TSandbox&)
{
    SetHTTPApi(&kFakeApi);
}

// The response through the request object: a download into memory, a resume
// of a partial output, and the two modes that keep the raw headers.
std::string RunHttp(TSandbox&, const std::string& Input, bool& Taken)
{
    const std::string partial(500, 'P');
    for (int variant = 0; variant < 4; ++variant) {
        ParseExchange(Input);
        THTTPGet get;
        get.SetURL("http://127.0.0.1/file.bin");
        TMemoryStreamWriter output;
        get.Output = &output;
        if (variant == 1) {
            get.Settings().Resume = true;
            output.WriteRaw(partial);
        }
        if (variant == 2)
            get.Mode = kHTTPModeWithHeaders;
        if (variant == 3)
            get.Mode = kHTTPModeHeadHeaders;
        const bool ok = get.ExecuteRequest();
        const std::string out = output.MemoryStream().ToString();
        if (variant == 0)
            Taken = ok;
        if (!ok)
            continue;
        if (variant == 0 && out != gExchange.Body)
            return "a successful request holds other bytes than the body";
        if (variant == 1 && out != gExchange.Body && out != partial + gExchange.Body)
            return "a successful resume is neither the body nor the partial output and the body";
        if (variant == 1 && out == partial + gExchange.Body && out != gExchange.Body &&
            get.Status != HTTP_STATUS_PARTIAL_CONTENT)
            return "a body appended to the partial output without status 206";
        if (get.Total() != 0 && get.Received() != get.Total())
            return "success with " + std::to_string(get.Received()) + " of " +
                   std::to_string(get.Total()) + " bytes";
    }
    return {};
}


// ---------------------------------------------------------------------------
// Pictures

constexpr char kPictureFile[] = "user\\News\\banner.png";

// What the control's anchors must be after its picture changed: one per
// "URL" text chunk, in chunk order, each as its text parses.
std::string CheckAnchors(const TPNGControl& Control)
{
    size_t next = 0;
    for (TPngChunk* chunk : Control.Image().TextChunks()) {
        if (!SameTextAscii(chunk->Keyword(), "URL"))
            continue;
        if (next >= Control.Anchors().size())
            return "a \"URL\" chunk without its anchor";
        const TAnchor& anchor = *Control.Anchors()[next++];
        RECT rect;
        std::string url;
        TAnchor::Parse(chunk->Text(), rect, url);
        if (anchor.Chunk() != chunk || !EqualRect(&rect, &anchor.Rect()) || url != anchor.URL())
            return "an anchor that is not what its chunk says";
        if (anchor.URL().find_first_of("\r\n") != std::string::npos)
            return "an anchor address with a line break";
    }
    if (next != Control.Anchors().size())
        return "an anchor without its \"URL\" chunk";
    return {};
}

// A news banner as the main window loads it: into its PNG control from the
// news folder, anchors read; then drawn once, and hit-tested at its corners
// and centre as the mouse would.
std::string RunPng(TSandbox& Sandbox, const std::string&, bool& Taken)
{
    TPNGControl control;
    const bool loaded = control.LoadFromFile(WideFromAnsi(Sandbox.Path(kPictureFile)));
    const TPNGPicture& picture = control.Image();
    if (!loaded) {
        if (!picture.Empty() || !picture.Chunks().empty() || !control.Anchors().empty())
            return "a failed load left a picture, chunks or anchors";
        if (picture.LastError().empty())
            return "a failed load without its reason";
        return {};
    }
    Taken = true;
    const int64_t w = picture.Width();
    const int64_t h = picture.Height();
    if (w < 1 || h < 1 || w > kMaxPictureSide || h > kMaxPictureSide || w * h > kMaxPicturePixels)
        return "a picture of " + std::to_string(w) + " x " + std::to_string(h) + " loaded";
    if (!picture.Pixels() || !picture.LastError().empty())
        return "a loaded picture without pixels or with an error";
    if (picture.Chunks().size() > 3 * size_t{kPngMaxKeptChunks})
        return std::to_string(picture.Chunks().size()) + " chunks kept";
    if (std::string broke = CheckAnchors(control); !broke.empty())
        return broke;
    TBitmap target(16, 16, TPixelFormat::pf32bit);
    picture.Draw(target.Canvas(), RECT{0, 0, 16, 16});
    for (const auto& [x, y] : {std::pair<int64_t, int64_t>{0, 0}, {w - 1, h - 1}, {w / 2, h / 2},
                               {-1, -1}, {w, h}})
        control.AnchorAt(static_cast<int>(x), static_cast<int>(y));
    return {};
}

// The anchor text of a banner: the input is the text of a "URL" chunk of a
// small picture, which the control loads from the file the codec wrote. The
// anchor must read as its text parses, survive its own form again, and keep
// to one address line when an address with line breaks is stored.
std::string RunPngAnchor(TSandbox&, const std::string& Input, bool& Taken)
{
    TMemoryStream file;
    {
        TPNGPicture picture;
        picture.SetSize(64, 48, true);
        if (!picture.AddTextChunk("URL", Input) || !picture.SaveToStream(file))
            return "the picture for the anchor could not be written: " + picture.LastError();
    }
    file.Seek(0, TSeekOrigin::Begin);
    TPNGControl control;
    if (!control.LoadFromStream(file))
        return "the picture with the anchor did not load: " + control.Image().LastError();
    if (control.Anchors().size() != 1)
        return std::to_string(control.Anchors().size()) + " anchors from one chunk";
    if (std::string broke = CheckAnchors(control); !broke.empty())
        return broke;
    TAnchor& anchor = *control.Anchors()[0];
    const RECT rect = anchor.Rect();
    const std::string url = anchor.URL();
    Taken = !url.empty() || !IsRectEmpty(&rect);
    RECT again;
    std::string urlAgain;
    TAnchor::Parse(TAnchor::Format(rect, url), again, urlAgain);
    if (!EqualRect(&again, &rect) || urlAgain != url)
        return "an anchor's own form reads back otherwise";
    anchor.SetURL(url + "\r\nclick:1,2,3,4\nurl:http://else.example/");
    TAnchor::Parse(anchor.Chunk()->Text(), again, urlAgain);
    if (!EqualRect(&again, &rect) || urlAgain.find_first_of("\r\n") != std::string::npos ||
        urlAgain != anchor.URL())
        return "an address with line breaks changed the anchor's rectangle or lines";
    control.AnchorAt(rect.left, rect.top);
    control.AnchorAt(rect.right - 1, rect.bottom - 1);
    return {};
}

// ---------------------------------------------------------------------------
// The picture seeds: two written by the program's own codec and control
// (8-bit colour with and without alpha, anchors and a chunk it keeps raw),
// three by libpng for the forms the codec only reads (palette with tRNS,
// grey with alpha at 16 bits, 1-bit grey; interlaced; compressed and
// international text).

struct TSeedPng {
    png_uint_32 Width;
    png_uint_32 Height;
    int Depth;
    int Colour;
    int Interlace;
    bool Palette;
    bool Text;
    std::string* Out;
};

void PNGCBAPI SeedWrite(png_structp png, png_bytep data, size_t length)
{
    static_cast<std::string*>(png_get_io_ptr(png))->append(reinterpret_cast<char*>(data), length);
}

void PNGCBAPI SeedFlush(png_structp) {}

// Calls setjmp: no object with a destructor in here.
__attribute__((noinline)) bool WriteSeedPng(png_structp png, png_infop info, const TSeedPng* job,
                                            png_bytepp rows)
{
    if (setjmp(png_jmpbuf(png)))
        return false;
    png_set_write_fn(png, job->Out, SeedWrite, SeedFlush);
    png_set_IHDR(png, info, job->Width, job->Height, job->Depth, job->Colour, job->Interlace,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_color palette[16];
    for (int i = 0; i < 16; ++i)
        palette[i] = {static_cast<png_byte>(i * 17), static_cast<png_byte>(255 - i * 13),
                      static_cast<png_byte>(i * 5)};
    png_byte alpha[2] = {0, 128};
    if (job->Palette) {
        png_set_PLTE(png, info, palette, 16);
        png_set_tRNS(png, info, alpha, 2, nullptr);
    }
    png_set_gAMA(png, info, 0.45455);
    png_text texts[3] = {};
    char url[] = "URL";
    char click[] = "click:1,1,6,5\r\nurl:https://www.example.com/offer";
    char comment[] = "Comment";
    char long_text[] = "A compressed comment, long enough that compressing it pays.";
    char title[] = "Title";
    char titled[] = "Titel \xC3\xA4";
    const int kinds[3] = {PNG_TEXT_COMPRESSION_NONE, PNG_TEXT_COMPRESSION_zTXt,
                          PNG_ITXT_COMPRESSION_NONE};
    char* keys[3] = {url, comment, title};
    char* values[3] = {click, long_text, titled};
    for (int i = 0; i < 3; ++i) {
        texts[i].compression = kinds[i];
        texts[i].key = keys[i];
        texts[i].text = values[i];
        texts[i].text_length = std::strlen(values[i]);
    }
    if (job->Text)
        png_set_text(png, info, texts, 3);
    png_write_info(png, info);
    png_write_image(png, rows);
    png_write_end(png, info);
    return true;
}

bool MakeSeedPng(TSeedPng job)
{
    const int channels = job.Colour == PNG_COLOR_TYPE_GRAY_ALPHA ? 2 : 1;
    const size_t stride = (static_cast<size_t>(job.Width) * channels * job.Depth + 7) / 8;
    std::vector<png_byte> pixels(stride * job.Height);
    for (size_t i = 0; i < pixels.size(); ++i)
        pixels[i] = static_cast<png_byte>(i * 37 + i / stride * 11);
    std::vector<png_bytep> rows(job.Height);
    for (png_uint_32 y = 0; y < job.Height; ++y)
        rows[y] = pixels.data() + stride * y;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    const bool ok = info && WriteSeedPng(png, info, &job, rows.data());
    png_destroy_write_struct(&png, &info);
    return ok;
}

} // namespace

bool WritePictureSeeds(const std::string& Folder)
{
    const std::string png = Folder + "png\\";
    const std::string anchor = Folder + "pnganchor\\";
    if (!CreateDirectoryPath(png, TFileSecurity::Inherit, true) ||
        !CreateDirectoryPath(anchor, TFileSecurity::Inherit, true))
        return false;
    auto save = [](TPNGControl& control, const std::string& path) {
        TMemoryStream stream;
        return control.SaveToStream(stream) && SaveFileAtomic(path, stream.ToString());
    };
    bool ok = true;
    {
        TPNGControl control;
        control.Image().SetSize(12, 10, true);
        uint8_t* p = control.Image().MutablePixels();
        for (int i = 0; i < 12 * 10; ++i, p += 4) {
            p[0] = static_cast<uint8_t>(i * 2);
            p[1] = static_cast<uint8_t>(255 - i);
            p[2] = static_cast<uint8_t>(i * 7);
            p[3] = static_cast<uint8_t>(i % 3 ? 255 : 64);
        }
        control.Image().Modified();
        TAnchor* first = control.AddAnchor();
        TAnchor* second = control.AddAnchor();
        ok = first && second;
        if (ok) {
            first->SetRect(RECT{0, 0, 6, 5});
            first->SetURL("https://www.example.com/offer?id=1&src=banner");
            second->SetRect(RECT{6, 5, 12, 10});
            second->SetURL("http://example.org/");
        }
        ok = ok && save(control, png + "anchors.png");
    }
    {
        TPNGControl control;
        control.Image().SetSize(9, 7, false);
        std::memset(control.Image().MutablePixels(), 0x5A, 9 * 7 * 4);
        control.Image().Modified();
        control.Image().AddTextChunk("Software", "Korvelle");
        ok = ok && save(control, png + "opaque.png");
    }
    std::string out;
    ok = ok && MakeSeedPng({7, 5, 4, PNG_COLOR_TYPE_PALETTE, PNG_INTERLACE_ADAM7, true, true, &out}) &&
         SaveFileAtomic(png + "palette.png", out);
    out.clear();
    ok = ok && MakeSeedPng({5, 6, 16, PNG_COLOR_TYPE_GRAY_ALPHA, PNG_INTERLACE_ADAM7, false, false,
                            &out}) &&
         SaveFileAtomic(png + "grey16.png", out);
    out.clear();
    ok = ok && MakeSeedPng({13, 3, 1, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE, false, true, &out}) &&
         SaveFileAtomic(png + "grey1.png", out);
    // The anchor texts as the control writes them, and the forms it also reads.
    const std::pair<const char*, std::string> texts[] = {
        {"formatted.txt", TAnchor::Format(RECT{10, 20, 110, 60}, "https://www.example.com/a?b=c")},
        {"lf.txt", "click:0,0,5,5\nurl:http://example.org/x"},
        {"mixed.txt", "URL: http://first.example/\r\nCLICK: 1, 2, 3, 4\rclick:-5,-6,70,80\r\n"
                      "url:https://second.example/"},
    };
    for (const auto& [name, text] : texts)
        ok = ok && SaveFileAtomic(anchor + name, text);
    return ok;
}

namespace {

std::vector<std::string> XmlTokens()
{
    return {"<",
            ">",
            "/>",
            "</",
            "=\"",
            "\"",
            "&",
            ";",
            "&amp;",
            "&lt;",
            "&#",
            "&#x",
            "&#0;",
            "&#x0;",
            "&#xD800;",
            "&#xDFFF;",
            "&#55296;",
            "&#x110000;",
            "&#-1;",
            "&#4294967296;",
            "&#x7FFFFFFF;",
            "&#xFFFFFFFF;",
            "&nbsp;",
            "&;",
            "<![CDATA[",
            "]]>",
            "<!--",
            "-->",
            "<?xml version=\"1.0\"?>",
            "<!DOCTYPE x>",
            "\r",
            "\n",
            "\t",
            "#",
            "#00",
            "#0D",
            "#22",
            "#3C",
            "#ZZ",
            "#",
            "'"};
}

std::vector<std::string> With(std::vector<std::string> Base, std::vector<std::string> More)
{
    Base.insert(Base.end(), More.begin(), More.end());
    return Base;
}

} // namespace

// ---------------------------------------------------------------------------
// TSandbox

TSandbox::~TSandbox()
{
    Close();
}

std::string TSandbox::FolderOf(DWORD Pid)
{
    return "C:\\ktest-scratch\\fuzzreaders." + std::to_string(Pid) + "\\";
}

std::wstring TSandbox::KeyOf(DWORD Pid)
{
    return L"Software\\Korvelle.Test.fuzzreaders." + std::to_wstring(Pid);
}

void TSandbox::Remove(DWORD Pid)
{
    RegDeleteTreeW(HKEY_CURRENT_USER, KeyOf(Pid).c_str());
    RegDeleteKeyW(HKEY_CURRENT_USER, KeyOf(Pid).c_str());
    ktest::RemoveTree(WideFromAnsi(FolderOf(Pid)));
}

bool TSandbox::Open()
{
    const DWORD pid = GetCurrentProcessId();
    dir_ = FolderOf(pid);
    CreateDirectoryA("C:\\ktest-scratch", nullptr);
    Remove(pid);
    if (!CreateDirectoryPath(dir_, TFileSecurity::Protected, true))
        return false;
    TProgramFolders folders = ComputeProgramFolders();
    folders.ProgramDir = dir_ + "program\\";
    folders.UpdateDir = folders.ProgramDir + "Update\\";
    folders.MainExePath = folders.ProgramDir + "Korvelle.exe";
    folders.TrayExePath = folders.ProgramDir + "Lindova.exe";
    folders.CommonDataDir = Path(kCommonDir);
    folders.BackupDir = folders.CommonDataDir + "Backup\\";
    folders.CommonStartupDir = folders.CommonDataDir + "Startup\\";
    folders.TranslateDir = folders.CommonDataDir + "Translate\\";
    folders.UserDataDir = Path(kUserDir);
    folders.UserStartupDir = folders.UserDataDir + "Startup\\";
    folders.NewsDir = folders.UserDataDir + "News\\";
    for (const std::string& folder :
         {folders.BackupDir, folders.TranslateDir, folders.UserDataDir, folders.NewsDir,
          Path("profile\\ext\\")})
        if (!CreateDirectoryPath(folder, TFileSecurity::Protected, true))
            return false;
    SetProgramFoldersForTests(folders);

    if (RegCreateKeyExW(HKEY_CURRENT_USER, KeyOf(pid).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                        nullptr, &key_, nullptr) != ERROR_SUCCESS)
        return false;
    for (const TRedirectedRoot& root : kRedirectedRoots) {
        HKEY sandboxRoot = nullptr;
        if (RegCreateKeyExW(key_, root.Name, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sandboxRoot,
                            nullptr) != ERROR_SUCCESS)
            return false;
        roots_.push_back(sandboxRoot);
    }
    // HKCU last: the sandbox itself lies below the real one.
    for (size_t i = std::size(kRedirectedRoots); i-- > 0;)
        if (RegOverridePredefKey(kRedirectedRoots[i].Root, roots_[i]) != ERROR_SUCCESS)
            return false;
    changed_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    open_ = true;
    WatchRegistry();
    WatchDisk();
    return true;
}

void TSandbox::Close()
{
    if (!open_)
        return;
    open_ = false;
    for (const TRedirectedRoot& root : kRedirectedRoots)
        RegOverridePredefKey(root.Root, nullptr);
    for (HKEY root : roots_)
        RegCloseKey(root);
    roots_.clear();
    if (key_)
        RegCloseKey(key_);
    key_ = nullptr;
    if (changed_)
        CloseHandle(changed_);
    changed_ = nullptr;
    for (TFolderWatch& watch : folders_) {
        CancelIo(watch.Folder);
        CloseHandle(watch.Folder);
        CloseHandle(watch.Overlapped.hEvent);
    }
    folders_.clear();
    events_.clear();
    for (const auto& [name, handle] : kept_)
        CloseHandle(handle);
    kept_.clear();
    ResetProgramFoldersForTests();
    Remove(GetCurrentProcessId());
}

void TSandbox::WatchRegistry()
{
    ResetEvent(changed_);
    RegNotifyChangeKeyValue(key_, TRUE,
                            REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_ATTRIBUTES |
                                REG_NOTIFY_CHANGE_LAST_SET | REG_NOTIFY_CHANGE_SECURITY,
                            changed_, TRUE);
}

bool TSandbox::AnyChange() const
{
    return WaitForMultipleObjects(static_cast<DWORD>(events_.size()), events_.data(), FALSE, 0) <
           WAIT_OBJECT_0 + events_.size();
}

bool TSandbox::RegistryChanged() const
{
    return WaitForSingleObject(changed_, 0) == WAIT_OBJECT_0;
}

void TSandbox::ResetRegistry(bool Empty)
{
    if (Empty)
        for (HKEY root : roots_)
            RegDeleteTreeW(root, nullptr);
    WatchRegistry();
}

namespace {

void DescribeKey(HKEY key, const std::wstring& path, std::string& text)
{
    for (DWORD i = 0; text.size() < 300; ++i) {
        wchar_t name[256];
        DWORD length = 256;
        if (RegEnumValueW(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS)
            break;
        text += (text.empty() ? "" : ", ") + AnsiFromWide(path) + " value " +
                AnsiFromWide(std::wstring_view(name, length));
    }
    for (DWORD i = 0; text.size() < 300; ++i) {
        wchar_t name[256];
        DWORD length = 256;
        if (RegEnumKeyExW(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS)
            break;
        HKEY sub = nullptr;
        const std::wstring subPath = path + L"\\" + std::wstring(name, length);
        if (RegOpenKeyExW(key, name, 0, KEY_READ, &sub) != ERROR_SUCCESS)
            continue;
        const size_t before = text.size();
        DescribeKey(sub, subPath, text);
        if (text.size() == before)
            text += (text.empty() ? "" : ", ") + AnsiFromWide(subPath);
        RegCloseKey(sub);
    }
}

} // namespace

std::string TSandbox::RegistryContent() const
{
    std::string text;
    for (size_t i = 0; i < roots_.size(); ++i)
        DescribeKey(roots_[i], kRedirectedRoots[i].Name, text);
    return text.empty() ? "nothing left" : text;
}

// Wine's folder notices do not reach into sub-folders: each folder has a
// watch of its own.
void TSandbox::WatchDisk()
{
    std::vector<std::string> relatives{""};
    for (const TDiskEntry& entry : Snapshot())
        if (entry.Attributes & FILE_ATTRIBUTE_DIRECTORY)
            relatives.push_back(entry.Path + "\\");
    folders_.resize(relatives.size());
    for (size_t i = 0; i < relatives.size(); ++i) {
        TFolderWatch& watch = folders_[i];
        watch.Relative = relatives[i];
        watch.Folder =
            CreateFileA((dir_ + watch.Relative).c_str(), FILE_LIST_DIRECTORY,
                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr);
        watch.Overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        watch.Buffer.resize(16 * 1024);
        Arm(watch);
    }
    events_ = {changed_};
    for (const TFolderWatch& watch : folders_)
        events_.push_back(watch.Overlapped.hEvent);
}

void TSandbox::Arm(TFolderWatch& Watch)
{
    ResetEvent(Watch.Overlapped.hEvent);
    DWORD unused = 0;
    ReadDirectoryChangesW(Watch.Folder, Watch.Buffer.data(),
                          static_cast<DWORD>(Watch.Buffer.size() * sizeof(DWORD)), FALSE,
                          FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME |
                              FILE_NOTIFY_CHANGE_ATTRIBUTES | FILE_NOTIFY_CHANGE_SIZE |
                              FILE_NOTIFY_CHANGE_LAST_WRITE | FILE_NOTIFY_CHANGE_CREATION |
                              FILE_NOTIFY_CHANGE_SECURITY,
                          &unused, &Watch.Overlapped, nullptr);
}

std::vector<std::string> TSandbox::DiskNotices()
{
    std::vector<std::string> paths;
    std::vector<HANDLE> events;
    for (const TFolderWatch& watch : folders_)
        events.push_back(watch.Overlapped.hEvent);
    for (;;) {
        const DWORD ready =
            WaitForMultipleObjects(static_cast<DWORD>(events.size()), events.data(), FALSE, 0);
        if (ready >= WAIT_OBJECT_0 + events.size())
            return paths;
        TFolderWatch& watch = folders_[ready - WAIT_OBJECT_0];
        DWORD bytes = 0;
        if (!GetOverlappedResult(watch.Folder, &watch.Overlapped, &bytes, FALSE) || bytes == 0)
            paths.push_back("?");
        const char* at = reinterpret_cast<const char*>(watch.Buffer.data());
        while (bytes) {
            const auto* notice = reinterpret_cast<const FILE_NOTIFY_INFORMATION*>(at);
            paths.push_back(watch.Relative +
                            AnsiFromWide(std::wstring_view(
                                notice->FileName, notice->FileNameLength / sizeof(WCHAR))));
            if (!notice->NextEntryOffset)
                break;
            at += notice->NextEntryOffset;
        }
        Arm(watch);
    }
}

// Every round trip to the Wine server waits for a turn on a busy machine:
// the input's file is written through one handle for the whole run.
bool TSandbox::WriteFile(const std::string& Relative, const std::string& Bytes, bool KeepOpen)
{
    HANDLE file = INVALID_HANDLE_VALUE;
    for (const auto& [name, handle] : kept_)
        if (name == Relative)
            file = handle;
    const bool kept = file != INVALID_HANDLE_VALUE;
    if (!kept) {
        file = CreateFileA(Path(Relative).c_str(), GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE)
            return false;
        if (KeepOpen)
            kept_.emplace_back(Relative, file);
    }
    DWORD written = 0;
    const bool ok =
        SetFilePointer(file, 0, nullptr, FILE_BEGIN) == 0 &&
        ::WriteFile(file, Bytes.data(), static_cast<DWORD>(Bytes.size()), &written, nullptr) &&
        written == Bytes.size() && SetEndOfFile(file);
    if (!KeepOpen)
        CloseHandle(file);
    return ok;
}

std::vector<TDiskEntry> TSandbox::Snapshot() const
{
    std::vector<TDiskEntry> entries;
    SnapshotFolder(dir_, "", entries);
    std::sort(entries.begin(), entries.end(),
              [](const TDiskEntry& a, const TDiskEntry& b) { return a.Path < b.Path; });
    return entries;
}

// ---------------------------------------------------------------------------
// The table

const std::vector<TReader>& Readers()
{
    constexpr size_t MB = 1 << 20;
    // A megabyte of XML that is nothing but attributes and tags takes the
    // reader a fifth of the limit's second; the program's own XML texts are
    // far smaller (the built-in catalogue is 84 KB).
    constexpr size_t kXmlMaxInput = 1 * MB;
    // A restore makes a few registry calls per line, each a round trip to
    // the Wine server (up to two milliseconds of the worker's processor time
    // per line on a loaded machine): a longer backup is a longer restore of
    // the same kind, and would only be taken for a slow input.
    constexpr size_t kBackupMaxInput = 16 * 1024;
    // The allocation caps: a fixed part, and a part for each byte of input.
    // An XML element costs some 200 bytes of tree, and "<?>" is an element
    // of three bytes; the engine's readers add a model object per element.
    constexpr int64_t kCapBase = 4 * MB;
    constexpr int64_t kTreeCap = 96;
    constexpr int64_t kModelCap = 192;
    static const std::vector<TReader> readers = {
        {"xml", "TXML::LoadFromString (UTF-8 mode for inputs of odd length)", TShape::Xml,
         kXmlMaxInput, kCapBase, kTreeCap, nullptr, TWrites::Nothing, nullptr, XmlTokens(), nullptr,
         &RunXml},
        {"catalogue", "TqvMain::LoadDataFromText", TShape::Xml, kXmlMaxInput, kCapBase, kModelCap,
         nullptr, TWrites::Nothing, nullptr,
         With(XmlTokens(),
              {"<Quorvex ver=\"1\">", "<fix>", "<boost>", "<clean>", "<group id=\"g\">",
               "<items type=\"list\">", "<items type=\"clsid\" />", "<exceptions>",
               "<reg root=\"HKLM\" key=\"SOFTWARE\\X\" ignore=\"key\" />",
               "<file path=\"%WINDIR%\\x\" />", "type=\"", "order=\"", "progsize=\""}),
         nullptr, &RunCatalogue},
        {"backup", "TqvBackups::LoadFrom, then TqvBackup::Restore (registry redirected)",
         TShape::Xml, kBackupMaxInput, kCapBase, kModelCap,
         "common\\Backup\\fix_20250101_120000.xml", TWrites::Registry, nullptr,
         With(XmlTokens(),
              {"<backup type=\"fix\" name=\"n\" date=\"d\">", "</backup>",
               "<reg root=\"HKCU\" key=\"Software\\K\" name=\"v\" value=\"1\" type=\"str\" "
               "scan=\"backup\" fix=\"value\" />",
               "fix=\"del\"", "fix=\"key\"", "type=\"bin\"", "type=\"num\"", "type=\"mulstr\"",
               "rtype=\"", "is64=\"1\"", "root=\"HKLM\"", "\\\\", "Software\\"}),
         nullptr, &RunBackup},
        {"startup", "TqvAllRunItems::Load (the user's startup.xml)", TShape::Xml, 1 * MB, kCapBase,
         kModelCap, "user\\startup.xml", TWrites::Nothing, nullptr,
         With(XmlTokens(), {"<startup>", "</startup>", "<run app=\"a\" name=\"n\" value=\"v\" />",
                            "priority=\"", "is64=\"1\"", "expand=\"1\""}),
         nullptr, &RunStartup},
        {"addons", "TqvAddOnItems::Load (addons.xml), then Lookup", TShape::Xml, 1 * MB, kCapBase,
         kModelCap, "common\\addons.xml", TWrites::Nothing, nullptr,
         With(XmlTokens(), {"<addons>", "</addons>", "<addon id=\"x\" name=\"y\" type=\"B\" />",
                            "type=\"W\"", "type=\"b\""}),
         nullptr, &RunAddOns},
        {"soap", "TqvAddOnItems::ApplyReply (the CheckBHO reply)", TShape::Xml, kMaxCheckReplyBytes,
         kCapBase, kModelCap, nullptr, TWrites::Nothing, nullptr,
         With(XmlTokens(), {"<soap:Envelope>", "<soap:Body>", "<CheckBHOResponse>",
                            "<CheckBHOResult>", "<BHO_Result>", "<BHO_ID>", "</BHO_ID>", "<note>",
                            "{11111111-2222-3333-4444-555555555555}"}),
         nullptr, &RunSoap},
        {"cleanrep", "TqvCleanRep::Load (cleanrep.xml)", TShape::Xml, 1 * MB, kCapBase, kModelCap,
         "common\\Backup\\cleanrep.xml", TWrites::OwnFile, "common\\Backup\\cleanrep.xml",
         With(XmlTokens(),
              {"<cleanrep>", "</cleanrep>", "date=\"45650\"", "date=\"", "scan=\"exists\""}),
         &PrepareCleanRep, &RunCleanRep},
        {"ini",
         "TIniFileW (lng.ini) with ReadSection, ReadSectionValues, ReadWideString",
         TShape::Lines,
         4 * MB,
         kCapBase,
         128,
         "common\\Translate\\lng.ini",
         TWrites::Nothing,
         nullptr,
         {"[", "]", "=", "[Languages]", "[en]", "\r\n", "\r", "\n", " ", "\t", "\xEF\xBB\xBF", ";",
          "en=English"},
         nullptr,
         &RunIni},
        {"rdf", "LoadRDFFile, IsDisabled and ReplaceAttribute (extensions.rdf)", TShape::Xml,
         4 * MB, kCapBase, 16, "profile\\extensions.rdf", TWrites::Nothing, nullptr,
         With(XmlTokens(),
              {"<RDF:Description", "RDF:about=\"urn:mozilla:item:", "NS1:userDisabled=\"true\"",
               "NS1:userDisabled=\"needs-disable\"", "NS1:userDisabled=\"needs-enable\"",
               "{e4a8a97b-f2ed-450b-b12d-ee082ba24781}"}),
         nullptr, &RunRdf},
        {"installrdf", "ReadInstallRdfName (install.rdf)", TShape::Xml, 4 * MB, kCapBase, 8,
         "profile\\ext\\install.rdf", TWrites::Nothing, nullptr,
         With(XmlTokens(), {"<em:name>", "</em:name>"}), nullptr, &RunInstallRdf},
        {"query",
         "TCryptURL::ParseQuery (the request parameter envelope)",
         TShape::Base64,
         1 * MB,
         kCapBase,
         16,
         nullptr,
         TWrites::Nothing,
         nullptr,
         {"-", "_", "@", ".", "=", "+", "/", "AAAA", "////", "@@@@", "X@@@", "XX@@"},
         nullptr,
         &RunQuery},
        {"http",
         "THTTPGet::ExecuteRequest over WinInet's answers (four uses)",
         TShape::Lines,
         1 * MB,
         kCapBase,
         16,
         nullptr,
         TWrites::Nothing,
         nullptr,
         {"HTTP/1.1 200 OK\r\n", "HTTP/1.1 206 Partial Content\r\n",
          "Content-Length: ", "Content-Range: bytes ", "Content-Range: bytes 500-1499/1500\r\n",
          "Content-Range: bytes */1500\r\n", "Content-Type: ", "ETag: \"x\"\r\n", "\r\n\r\n",
          "\r\n", "-", "/", "*", " ", "bytes=", "Last-Modified: "},
         &PrepareHttp,
         &RunHttp},
        // Pictures come from the network into a folder every user can write.
        // The cap holds the largest picture the codec takes (its pixels,
        // kept by KvAllocate and counted with it) and the chunks kept raw
        // (each byte in libpng's list, in the picture's and once more while
        // the control reads its anchors).
        {"png", "TPNGControl::LoadFromFile (a news banner), then drawn", TShape::Png, 1 * MB,
         kCapBase + 4 * kMaxPicturePixels, 8, kPictureFile, TWrites::Nothing, nullptr, {},
         nullptr, &RunPng, false,
         // 16 million pixels decoded into 64 MB and drawn: over a second of
         // processor time in a 64-bit build on a busy machine.
         3000},
        // The text of one "URL" chunk, up to the codec's chunk limit.
        {"pnganchor",
         "TPNGControl::LoadFromStream of a picture with the text as its \"URL\" chunk",
         TShape::Lines,
         kPngMaxChunkBytes - 4,
         kCapBase,
         48,
         nullptr,
         TWrites::Nothing,
         nullptr,
         {"click:", "url:", "\r\n", "\r", "\n", ",", " ", "\t", "CLICK:", "URL:", "-",
          "http://", "https://", "javascript:", "file:///c:/", "%22", "\xEF\xBB\xBF"},
         nullptr,
         &RunPngAnchor},
    };
    return readers;
}

const TReader* FindReader(std::string_view Name)
{
    for (const TReader& reader : Readers())
        if (Name == reader.Name)
            return &reader;
    return nullptr;
}

int64_t AllocationCap(const TReader& Reader, size_t InputSize)
{
    return Reader.CapBase + Reader.CapPerByte * static_cast<int64_t>(InputSize);
}

} // namespace fuzz
