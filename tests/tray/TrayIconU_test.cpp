#include "TrayTest.h"

#include "tray/TrayIconU.h"
#include "tray/WinLibU.h"

using namespace traytest;

namespace {

struct TNotifyCall {
    DWORD message = 0;
    NOTIFYICONDATAW data{};
};

// Records every shell call; the answers are taken from a queue (TRUE when
// it is empty).
class TRecorder {
public:
    TNotifyIconCall Call()
    {
        return [this](DWORD Message, NOTIFYICONDATAW& Data) {
            calls.push_back({Message, Data});
            if (answers.empty())
                return TRUE;
            const BOOL answer = answers.front();
            answers.erase(answers.begin());
            return answer;
        };
    }
    std::vector<DWORD> Messages() const
    {
        std::vector<DWORD> out;
        for (const TNotifyCall& c : calls)
            out.push_back(c.message);
        return out;
    }
    std::vector<TNotifyCall> calls;
    std::vector<BOOL> answers;
};

// Any handle value does for the record: the recorder never reaches the shell.
const HWND kOwner = reinterpret_cast<HWND>(static_cast<UINT_PTR>(0x1234560));
constexpr UINT kCallback = WM_APP + 3;

TEST(TrayIcon, TheRecordIsTheVersionTwoLayout)
{
    TRecorder shell;
    HICON icon = reinterpret_cast<HICON>(static_cast<UINT_PTR>(0x777));
    TTrayIconW tray(kOwner, true, L"Tip", kCallback, icon, shell.Call());
    ASSERT_EQ(1u, shell.calls.size());
    const NOTIFYICONDATAW& data = shell.calls[0].data;
    EXPECT_EQ(static_cast<DWORD>(NIM_ADD), shell.calls[0].message);
    if (sizeof(void*) == 4)
        EXPECT_EQ(936u, data.cbSize);
    else
        EXPECT_EQ(static_cast<DWORD>(offsetof(NOTIFYICONDATAW, guidItem)), data.cbSize);
    EXPECT_LT(data.cbSize, static_cast<DWORD>(sizeof(NOTIFYICONDATAW)));
    EXPECT_EQ(kOwner, data.hWnd);
    EXPECT_EQ(static_cast<UINT>(reinterpret_cast<UINT_PTR>(kOwner)), data.uID);
    EXPECT_EQ(7u, data.uFlags);
    EXPECT_EQ(kCallback, data.uCallbackMessage);
    EXPECT_EQ(icon, data.hIcon);
    EXPECT_STREQ(L"Tip", data.szTip);
    EXPECT_TRUE(tray.Shown());
}

TEST(TrayIcon, ShowHideAndBalloonFollowTheShell)
{
    TRecorder shell;
    TTrayIconW tray(kOwner, false, L"Tip", kCallback, nullptr, shell.Call());
    EXPECT_TRUE(shell.calls.empty()) << "made hidden";

    tray.ShowBalloon(L"Title", L"Text", 10000, 1);
    tray.Hide();
    EXPECT_TRUE(shell.calls.empty()) << "nothing while hidden";

    tray.Show();
    tray.ShowBalloon(L"Title", L"Text", 10000, 2);
    tray.Show();
    tray.Hide();
    tray.Hide();
    EXPECT_EQ((std::vector<DWORD>{NIM_ADD, NIM_MODIFY, NIM_MODIFY, NIM_DELETE}), shell.Messages());
    const NOTIFYICONDATAW& balloon = shell.calls[1].data;
    EXPECT_EQ(16u, balloon.uFlags);
    EXPECT_STREQ(L"Text", balloon.szInfo);
    EXPECT_STREQ(L"Title", balloon.szInfoTitle);
    EXPECT_EQ(10000u, balloon.uTimeout);
    EXPECT_EQ(2u, balloon.dwInfoFlags);
    EXPECT_STREQ(L"Tip", balloon.szTip) << "the balloon leaves the tooltip";
    // The next Show sends the three usual parts, not the balloon.
    EXPECT_EQ(7u, shell.calls[2].data.uFlags);
    EXPECT_FALSE(tray.Shown());
}

TEST(TrayIcon, AnIconTheShellRefusedOrLostIsAddedAgain)
{
    {
        // No taskbar yet: the add fails, and the next Show adds again.
        TRecorder shell;
        shell.answers = {FALSE};
        TTrayIconW tray(kOwner, false, L"Tip", kCallback, nullptr, shell.Call());
        tray.Show();
        EXPECT_FALSE(tray.Shown());
        tray.ShowBalloon(L"", L"lost", 1, 0);
        tray.Show();
        EXPECT_TRUE(tray.Shown());
        EXPECT_EQ((std::vector<DWORD>{NIM_ADD, NIM_ADD}), shell.Messages());
    }
    {
        // The shell forgot the icon: the modify fails and falls back to an add.
        TRecorder shell;
        TTrayIconW tray(kOwner, true, L"Tip", kCallback, nullptr, shell.Call());
        shell.answers = {FALSE, TRUE};
        tray.Show();
        EXPECT_TRUE(tray.Shown());
        // A restarted shell: added again at once.
        tray.ShellRestarted();
        EXPECT_TRUE(tray.Shown());
        EXPECT_EQ((std::vector<DWORD>{NIM_ADD, NIM_MODIFY, NIM_ADD, NIM_ADD}), shell.Messages());
    }
}

TEST(TrayIcon, LongTextsAreCutWithoutSplittingASurrogatePair)
{
    const std::wstring pair = L"\xD83D\xDE00"; // one character in two halves
    const struct {
        size_t length; // characters before the pair
        bool withPair; // the pair follows them
        size_t capacity;
        size_t kept;
    } cases[] = {
        {200, false, 128, 127}, {300, false, 256, 255}, {100, false, 64, 63},
        {5, false, 128, 5},     {126, true, 128, 126}, // the pair would end at 128: dropped whole
        {125, true, 128, 127},                         // it ends at 127: kept
        {62, true, 64, 62},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.length) + "/" + std::to_string(c.capacity));
        std::wstring text(c.length, L'x');
        if (c.withPair)
            text += pair + L"tail";
        std::vector<wchar_t> field(c.capacity, L'#');
        CopyNotifyText(field.data(), field.size(), text);
        EXPECT_EQ(text.substr(0, c.kept), std::wstring(field.data()));
    }

    TRecorder shell;
    TTrayIconW tray(kOwner, true, std::wstring(200, L't'), kCallback, nullptr, shell.Call());
    tray.ShowBalloon(std::wstring(100, L'h'), std::wstring(300, L'b'), 1, 0);
    EXPECT_EQ(127u, wcslen(shell.calls.at(0).data.szTip));
    EXPECT_EQ(255u, wcslen(shell.calls.at(1).data.szInfo));
    EXPECT_EQ(63u, wcslen(shell.calls.at(1).data.szInfoTitle));
}

TEST(TrayIconDesktop, TheShellAcceptsTheRecord)
{
    KTEST_NEEDS_DISPLAY();
    auto window = CreateAppWindow("icon owner");
    window->SetClassName("KvTestIconOwner");
    window->SetStyle(0);
    ASSERT_NE(nullptr, window->GetHandle());
    std::vector<std::pair<DWORD, BOOL>> answers;
    TTrayIconW tray(window->Handle(), false, L"Korvelle test", WM_APP + 1,
                    LoadIconA(nullptr, MAKEINTRESOURCEA(32512)),
                    [&](DWORD Message, NOTIFYICONDATAW& Data) {
                        const BOOL answer = Shell_NotifyIconW(Message, &Data);
                        answers.emplace_back(Message, answer);
                        return answer;
                    });
    tray.Show();
    tray.ShowBalloon(L"", L"Balloon", 1000, 0);
    tray.Show();
    tray.Hide();
    const std::vector<std::pair<DWORD, BOOL>> expected = {
        {NIM_ADD, TRUE}, {NIM_MODIFY, TRUE}, {NIM_MODIFY, TRUE}, {NIM_DELETE, TRUE}};
    EXPECT_EQ(expected, answers);
}

} // namespace
