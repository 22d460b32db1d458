// Download and unpack benchmark: DownloadToFile of 64 MiB from the stand-in
// web service against a bare InternetReadFile -> WriteFile loop, and
// DecompressToDir of a 32 MiB MSZIP cabinet against a bare FDICopy. Both pairs
// run in the same process, best of seven each; prints the seconds and the
// ratios. Not run by the tests.
//
//   netcabbench.exe [scratch folder]   (default: C:\ktest-bench)

#include "BenchClock.h"
#include "FakeService.h"

#include "platform/ArchiveU.h"
#include "platform/CabIntf.h"
#include "platform/CabSTComps2.h"
#include "platform/FileUtilsU.h"
#include "platform/HTTPU.h"
#include "platform/StreamU.h"
#include "platform/UnicodeU.h"

#include <fcntl.h>
#include <windows.h>
#include <wininet.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace {

constexpr size_t kDownloadSize = 64u << 20;
constexpr size_t kCabinetDataSize = 32u << 20;
constexpr int kRounds = 7;

// Best of kRounds for each of two runs, interleaved so that neither profits
// from the other's warm caches; Prepare runs before every run, untimed.
bool BestOfBoth(const std::function<bool()>& a, const std::function<bool()>& b,
                const std::function<void()>& prepare, double& bestA, double& bestB)
{
    bestA = bestB = 1e9;
    for (int i = 0; i < kRounds; ++i) {
        for (int which = 0; which < 2; ++which) {
            prepare();
            const double start = bench::Now();
            if (!(which == 0 ? a() : b())) {
                fprintf(stderr, "a run failed\n");
                return false;
            }
            double& best = which == 0 ? bestA : bestB;
            best = std::min(best, bench::Now() - start);
        }
    }
    return true;
}

// Text-like bytes that MSZIP shrinks to about a third.
std::string Data(size_t size)
{
    static const char* words[] = {"registry ", "cabinet ", "update ", "Korvelle ", "folder ",
                                  "value ",    "\r\n",     "0x1F ",   "setting "};
    std::string s;
    s.reserve(size);
    uint32_t x = 12345;
    while (s.size() < size) {
        x = x * 1103515245u + 12345u;
        s += words[(x >> 16) % 9];
        if ((x >> 8) % 7 == 0)
            s += static_cast<char>(x >> 24);
    }
    s.resize(size);
    return s;
}

bool BareDownload(const std::string& host, INTERNET_PORT port, const std::string& path,
                  const std::string& target)
{
    HINTERNET session = InternetOpenA("bench", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    HINTERNET connection = InternetConnectA(session, host.c_str(), port, nullptr, nullptr,
                                            INTERNET_SERVICE_HTTP, 0, 0);
    const char* accept[] = {"*/*", nullptr};
    HINTERNET request = HttpOpenRequestA(connection, "GET", path.c_str(), "HTTP/1.1", nullptr,
                                         accept, INTERNET_FLAG_RELOAD, 0);
    bool ok = request && HttpSendRequestA(request, nullptr, 0, nullptr, 0);
    HANDLE file = CreateFileA(target.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    static char buffer[65537];
    DWORD n = 0;
    while (ok && InternetReadFile(request, buffer, sizeof(buffer), &n) && n > 0) {
        DWORD done = 0;
        ok = WriteFile(file, buffer, n, &done, nullptr) != FALSE;
    }
    CloseHandle(file);
    InternetCloseHandle(request);
    InternetCloseHandle(connection);
    InternetCloseHandle(session);
    return ok;
}

// ---- a bare FDICopy with the plainest callbacks ----

FNALLOC(BareAlloc)
{
    return malloc(cb);
}
FNFREE(BareFree)
{
    free(pv);
}
FNOPEN(BareOpen)
{
    (void)pmode;
    const bool write = (oflag & (_O_WRONLY | _O_RDWR)) != 0;
    HANDLE h =
        CreateFileA(pszFile, write ? GENERIC_WRITE : GENERIC_READ, write ? 0 : FILE_SHARE_READ,
                    nullptr, write ? CREATE_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    return h == INVALID_HANDLE_VALUE ? -1 : reinterpret_cast<INT_PTR>(h);
}
FNREAD(BareRead)
{
    DWORD n = 0;
    return ReadFile(reinterpret_cast<HANDLE>(hf), pv, cb, &n, nullptr) ? n : static_cast<UINT>(-1);
}
FNWRITE(BareWrite)
{
    DWORD n = 0;
    return WriteFile(reinterpret_cast<HANDLE>(hf), pv, cb, &n, nullptr) ? n : static_cast<UINT>(-1);
}
FNCLOSE(BareClose)
{
    return CloseHandle(reinterpret_cast<HANDLE>(hf)) ? 0 : -1;
}
FNSEEK(BareSeek)
{
    return static_cast<long>(
        SetFilePointer(reinterpret_cast<HANDLE>(hf), dist, nullptr, static_cast<DWORD>(seektype)));
}

std::string gBareDestination;

FNFDINOTIFY(BareNotify)
{
    switch (fdint) {
    case fdintCOPY_FILE:
        return BareOpen(const_cast<char*>((gBareDestination + pfdin->psz1).c_str()),
                        _O_WRONLY | _O_CREAT, 0);
    case fdintCLOSE_FILE_INFO:
        BareClose(pfdin->hf);
        return TRUE;
    default:
        return 0;
    }
}

bool BareExtract(const std::string& folder, const std::string& name, const std::string& dir)
{
    const TCabinetFunctions& cab = CabinetFunctions();
    ERF erf{};
    HFDI fdi = cab.FDICreate(BareAlloc, BareFree, BareOpen, BareRead, BareWrite, BareClose,
                             BareSeek, cpuUNKNOWN, &erf);
    gBareDestination = dir;
    const bool ok =
        fdi && cab.FDICopy(fdi, const_cast<char*>(name.c_str()), const_cast<char*>(folder.c_str()),
                           0, BareNotify, nullptr, nullptr);
    if (fdi)
        cab.FDIDestroy(fdi);
    return ok;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    const std::string base =
        IncludeTrailingBackslash(argc > 1 ? WideToAnsi(argv[1]) : std::string("C:\\ktest-bench"));
    CreateDirectoryPath(base + "root", TFileSecurity::Inherit, true);
    CreateDirectoryPath(base + "out", TFileSecurity::Inherit, true);
    try {
        // Download.
        if (!SaveFileAtomic(base + "root\\big.bin", Data(kDownloadSize)))
            return 1;
        fakeservice::TFakeService service(base + "root", 600000);
        if (!service.Start())
            return 1;
        const std::string target = base + "out\\big.bin";
        double ours = 0, bare = 0;
        if (!BestOfBoth(
                [&] { return DownloadToFile(service.URL("/big.bin"), target, nullptr); },
                [&] { return BareDownload("127.0.0.1", service.Port(), "/big.bin", target); },
                [&] { DeleteFileA(target.c_str()); }, ours, bare))
            return 1;
        service.Stop();
        printf("download 64 MiB: DownloadToFile %.3f s, bare loop %.3f s, ratio %.3f\n", ours, bare,
               ours / bare);

        // Unpack.
        const std::string data = Data(kCabinetDataSize);
        for (int i = 0; i < 4; ++i)
            SaveFileAtomic(base + "part" + std::to_string(i) + ".bin",
                           data.substr(i * (kCabinetDataSize / 4), kCabinetDataSize / 4));
        {
            TSTCabWriter writer;
            writer.CompressionType = tcompTYPE_MSZIP;
            writer.Create(base + "bench.cab");
            for (int i = 0; i < 4; ++i)
                writer.AddFile(base + "part" + std::to_string(i) + ".bin",
                               "part" + std::to_string(i) + ".bin");
            writer.Flush();
        }
        double unpack = 0, bareUnpack = 0;
        if (!BestOfBoth(
                [&] {
                    TArchive archive(base + "bench.cab");
                    return archive.DecompressToDir(base + "out", "", true);
                },
                [&] { return BareExtract(base, "bench.cab", base + "out\\"); },
                [&] { ClearDirectory(base + "out", true, true); }, unpack, bareUnpack))
            return 1;
        printf("unpack 32 MiB MSZIP (%lld bytes): DecompressToDir %.3f s, bare FDICopy %.3f s, "
               "ratio %.3f\n",
               static_cast<long long>(GetFileSize64(base + "bench.cab")), unpack, bareUnpack,
               unpack / bareUnpack);
    } catch (const std::exception& e) {
        fprintf(stderr, "%s\n", e.what());
        DeleteDirectory(base, true, true);
        return 1;
    }
    DeleteDirectory(base, true, true);
    return 0;
}
