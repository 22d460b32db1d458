#include "CabTestSupport.h"

#include "KorvTest.h"
#include "platform/CabIntf.h"
#include "platform/UnicodeU.h"

#include <fcntl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace cabtest {
namespace {

constexpr size_t kBlockSize = 32768;

void PutU16(std::string& out, uint16_t v)
{
    out += static_cast<char>(v & 0xFF);
    out += static_cast<char>(v >> 8);
}

void PutU32(std::string& out, uint32_t v)
{
    PutU16(out, static_cast<uint16_t>(v & 0xFFFF));
    PutU16(out, static_cast<uint16_t>(v >> 16));
}

// ---- FCI with plain Windows files ----

struct TFciState {
    std::string NameTemplate;
    std::vector<std::string> Cabinets;
    std::vector<std::string> Temporary;
};

std::string Numbered(const std::string& pattern, int number)
{
    char buffer[CB_MAX_CABINET_NAME];
    std::snprintf(buffer, sizeof(buffer), pattern.c_str(), number);
    return buffer;
}

FNFCIALLOC(Alloc)
{
    return std::malloc(cb);
}

FNFCIFREE(Free)
{
    std::free(memory);
}

FNFCIOPEN(Open)
{
    (void)pmode;
    (void)pv;
    DWORD access = (oflag & _O_RDWR)     ? GENERIC_READ | GENERIC_WRITE
                   : (oflag & _O_WRONLY) ? GENERIC_WRITE
                                         : GENERIC_READ;
    DWORD creation = OPEN_EXISTING;
    if ((oflag & _O_CREAT) && (oflag & _O_EXCL))
        creation = CREATE_NEW;
    else if ((oflag & _O_CREAT) && (oflag & _O_TRUNC))
        creation = CREATE_ALWAYS;
    else if (oflag & _O_CREAT)
        creation = OPEN_ALWAYS;
    HANDLE h = CreateFileA(pszFile, access, FILE_SHARE_READ, nullptr, creation,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        *err = static_cast<int>(GetLastError());
        return -1;
    }
    return reinterpret_cast<INT_PTR>(h);
}

FNFCIREAD(Read)
{
    (void)pv;
    DWORD done = 0;
    if (!ReadFile(reinterpret_cast<HANDLE>(hf), memory, cb, &done, nullptr)) {
        *err = static_cast<int>(GetLastError());
        return static_cast<UINT>(-1);
    }
    return done;
}

FNFCIWRITE(Write)
{
    (void)pv;
    DWORD done = 0;
    if (!WriteFile(reinterpret_cast<HANDLE>(hf), memory, cb, &done, nullptr)) {
        *err = static_cast<int>(GetLastError());
        return static_cast<UINT>(-1);
    }
    return done;
}

FNFCICLOSE(Close)
{
    (void)pv;
    (void)err;
    return CloseHandle(reinterpret_cast<HANDLE>(hf)) ? 0 : -1;
}

FNFCISEEK(Seek)
{
    (void)pv;
    const DWORD at =
        SetFilePointer(reinterpret_cast<HANDLE>(hf), dist, nullptr, static_cast<DWORD>(seektype));
    if (at == INVALID_SET_FILE_POINTER) {
        *err = static_cast<int>(GetLastError());
        return -1;
    }
    return static_cast<long>(at);
}

FNFCIDELETE(Delete)
{
    (void)pv;
    if (!DeleteFileA(pszFile)) {
        *err = static_cast<int>(GetLastError());
        return -1;
    }
    return 0;
}

FNFCIGETTEMPFILE(TempFile)
{
    static LONG counter = 0;
    char folder[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, folder);
    for (;;) {
        const std::string name = std::string(folder) + "kfci" +
                                 std::to_string(GetCurrentProcessId()) + "_" +
                                 std::to_string(InterlockedIncrement(&counter)) + ".tmp";
        if (GetFileAttributesA(name.c_str()) != INVALID_FILE_ATTRIBUTES)
            continue;
        if (static_cast<int>(name.size()) >= cbTempName)
            return FALSE;
        std::strcpy(pszTempName, name.c_str());
        static_cast<TFciState*>(pv)->Temporary.push_back(name);
        return TRUE;
    }
}

FNFCIFILEPLACED(Placed)
{
    (void)pszFile;
    (void)cbFile;
    (void)fContinuation;
    auto* state = static_cast<TFciState*>(pv);
    const std::string path = std::string(pccab->szCabPath) + pccab->szCab;
    if (state->Cabinets.empty() || state->Cabinets.back() != path)
        state->Cabinets.push_back(path);
    return 0;
}

FNFCIGETNEXTCABINET(NextCabinet)
{
    (void)cbPrevCab;
    auto* state = static_cast<TFciState*>(pv);
    std::strcpy(pccab->szCab, Numbered(state->NameTemplate, pccab->iCab).c_str());
    std::snprintf(pccab->szDisk, sizeof(pccab->szDisk), "Disk%d", pccab->iDisk);
    return TRUE;
}

FNFCISTATUS(Status)
{
    (void)typeStatus;
    (void)cb1;
    (void)cb2;
    (void)pv;
    return 0;
}

FNFCIGETOPENINFO(OpenInfo)
{
    HANDLE h = CreateFileA(pszName, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        *err = static_cast<int>(GetLastError());
        return -1;
    }
    (void)pv;
    *pdate = DosDate(2024, 1, 15);
    *ptime = DosTime(12, 0, 0);
    *pattribs = FILE_ATTRIBUTE_ARCHIVE;
    return reinterpret_cast<INT_PTR>(h);
}

} // namespace

std::string MakeCabinet(const std::vector<TEntry>& Entries)
{
    std::string entries;
    std::string data;
    for (const TEntry& e : Entries) {
        PutU32(entries, static_cast<uint32_t>(e.Data.size()));
        PutU32(entries, static_cast<uint32_t>(data.size()));
        PutU16(entries, 0); // folder
        PutU16(entries, e.Date);
        PutU16(entries, e.Time);
        PutU16(entries, e.Attributes);
        entries += e.Name;
        entries += '\0';
        data += e.Data;
    }
    std::string blocks;
    uint16_t blockCount = 0;
    for (size_t at = 0; at < data.size(); at += kBlockSize) {
        const size_t n = std::min(kBlockSize, data.size() - at);
        PutU32(blocks, 0); // no checksum
        PutU16(blocks, static_cast<uint16_t>(n));
        PutU16(blocks, static_cast<uint16_t>(n));
        blocks.append(data, at, n);
        ++blockCount;
    }
    const uint32_t filesOffset = kHeaderSize + 8;
    const uint32_t dataOffset = filesOffset + static_cast<uint32_t>(entries.size());
    std::string cab = "MSCF";
    PutU32(cab, 0);
    PutU32(cab, dataOffset + static_cast<uint32_t>(blocks.size()));
    PutU32(cab, 0);
    PutU32(cab, filesOffset);
    PutU32(cab, 0);
    cab += static_cast<char>(3); // version 1.3
    cab += static_cast<char>(1);
    PutU16(cab, 1); // folders
    PutU16(cab, static_cast<uint16_t>(Entries.size()));
    PutU16(cab, 0); // flags
    PutU16(cab, 0x1234);
    PutU16(cab, 0);
    PutU32(cab, dataOffset); // the folder
    PutU16(cab, blockCount);
    PutU16(cab, tcompTYPE_NONE);
    return cab + entries + blocks;
}

std::vector<std::string> MakeCabinetsWithFCI(const std::string& Folder,
                                             const std::string& NameTemplate,
                                             const std::vector<TFciFile>& Files,
                                             ULONG MaxCabinetSize, TCOMP Compression)
{
    const TCabinetFunctions& cab = CabinetFunctions();
    TFciState state;
    state.NameTemplate = NameTemplate;
    CCAB ccab{};
    ccab.cb = MaxCabinetSize;
    ccab.cbFolderThresh = MaxCabinetSize;
    ccab.iCab = 1;
    ccab.iDisk = 1;
    ccab.setID = 77;
    std::string folder = Folder;
    if (!folder.empty() && folder.back() != '\\')
        folder += '\\';
    std::strcpy(ccab.szCabPath, folder.c_str());
    std::strcpy(ccab.szCab, Numbered(NameTemplate, 1).c_str());
    std::strcpy(ccab.szDisk, "Disk1");
    ERF erf{};
    HFCI fci = cab.FCICreate(&erf, Placed, Alloc, Free, Open, Read, Write, Close, Seek, Delete,
                             TempFile, &ccab, &state);
    if (!fci)
        return {};
    bool ok = true;
    for (const TFciFile& f : Files) {
        if (f.Source.empty())
            ok = ok && cab.FCIFlushCabinet(fci, TRUE, NextCabinet, Status);
        else
            ok = ok && cab.FCIAddFile(fci, const_cast<char*>(f.Source.c_str()),
                                      const_cast<char*>(f.Name.c_str()), FALSE, NextCabinet, Status,
                                      OpenInfo, Compression);
    }
    ok = ok && cab.FCIFlushCabinet(fci, FALSE, NextCabinet, Status);
    cab.FCIDestroy(fci);
    for (const std::string& t : state.Temporary)
        DeleteFileA(t.c_str());
    if (!ok)
        return {};
    return state.Cabinets;
}

std::string Noise(size_t Size, unsigned Seed)
{
    std::string s(Size, '\0');
    uint32_t x = Seed * 2654435761u + 7;
    for (char& c : s) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = static_cast<char>(x);
    }
    return s;
}

std::string ReadAll(const std::string& Path)
{
    return ktest::ReadFileBytes(AnsiToWide(Path));
}

bool WriteAll(const std::string& Path, const std::string& Bytes)
{
    HANDLE h = CreateFileA(Path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    DWORD done = 0;
    const bool ok = (Bytes.empty() || WriteFile(h, Bytes.data(), static_cast<DWORD>(Bytes.size()),
                                                &done, nullptr)) &&
                    done == Bytes.size();
    CloseHandle(h);
    return ok;
}

} // namespace cabtest
