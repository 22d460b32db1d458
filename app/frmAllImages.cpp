#include "app/frmAllImages.h"

#include "platform/LogU.h"
#include "platform/UnicodeU.h"

#include <string>

namespace {

// The store's log lines: a missing picture is a fault of the build, not of
// the user's machine.
constexpr uint8_t kImageLogCategory = 1;
constexpr uint8_t kImageLogLevel = 4;

constexpr TImageDataEntry kImageList[] = {
    {L"LOGO_XP"},
    {L"LOGO_AERO"},
    {L"TAB", assFrame, 10, 10, 11, 10},
    {L"TAB_INACTIVE", assFrame, 10, 10, 11, 10},
    {L"TAB_INACTIVE_HOT", assFrame, 10, 10, 11, 10},
    {L"STEPS_BG", assFrame, 16, 0, 17, 1},
    {L"STEP"},
    {L"STEP_CURRENT"},
    {L"STEP_INACTIVE"},
    {L"WELCOME_ICO"},
    {L"HEADER_LINE"},
    {L"BG_BOTTOM"},
    {L"BG_TOP"},
    {L"BUTTON1", assFrame, 5, 16, 6, 16},
    {L"BUTTON1_HOT", assFrame, 5, 16, 6, 16},
    {L"BUTTON1_DOWN", assFrame, 5, 16, 6, 16},
    {L"BUTTON1_INACTIVE", assFrame, 5, 16, 6, 16},
    {L"BUTTON1_LEFT"},
    {L"BUTTON1_RIGHT"},
    {L"BANNER_ACTIVATE"},
    {L"BANNER_SEPARATOR"},
    {L"BUTTON2", assFrame, 5, 12, 6, 12},
    {L"BUTTON2_HOT", assFrame, 5, 12, 6, 12},
    {L"BUTTON2_DOWN", assFrame, 5, 12, 6, 12},
    {L"BUTTON2_INACTIVE", assFrame, 5, 11, 6, 12},
    {L"BUTTON_SCAN", assFrame, 30, 27, 31, 27},
    {L"BUTTON_SCAN_HOT", assFrame, 30, 27, 31, 27},
    {L"BUTTON_SCAN_DOWN", assFrame, 30, 27, 31, 27},
    {L"SETTINGS_ICO"},
    {L"RECT_BORDER", assFrame, 6, 6, 7, 7},
    {L"PROGRESS_ICO"},
    {L"PROGRESS_ICO1"},
    {L"PROGRESS_ICO2"},
    {L"PROGRESS_ICO3"},
    {L"PROGRESS_SEPARATOR"},
    {L"RESULTS_ICO"},
    {L"RESULTS_TABLE_ICO"},
    {L"RESULTS_TABLE_ICO2"},
    {L"RESULTS_TABLE", assFrame, 109, 79, 110, 80},
    {L"REPAIR_ICO"},
    {L"SPEEDUP_ICO"},
    {L"FINISH_ICO"},
    {L"REVIEW_ICO"},
    {L"RESCUE_ICO"},
    {L"ACTIVATE_ICO"},
    {L"HELP_ICO"},
    {L"ABOUT_ICO"},
    {L"SUPPORT_ACTIVE", assFrame, 6, 15, 7, 15},
    {L"SUPPORT_HOT", assFrame, 6, 15, 7, 15},
    {L"SUPPORT_RESCUE"},
    {L"SUPPORT_ACTIVATE"},
    {L"SUPPORT_SETTINGS"},
    {L"SUPPORT_HELP"},
    {L"SUPPORT_ABOUT"},
    {L"UPDATE"},
    {L"ACTIVATE_ICO1"},
    {L"ACTIVATE_ICO2"},
    {L"ACTIVATE_ICO3"},
    {L"CLOSE"},
    {L"CLOSE_HOT"},
    {L"CLOSE_DOWN"},
    {L"BORDER_BG"},
    {L"MINIMIZE"},
    {L"MINIMIZE_HOT"},
    {L"MINIMIZE_DOWN"},
    {L"REPAIR_DONE"},
    {L"ACTIVATE_ICO4"},
    {L"FINISHFREE_ICO"},
    {L"RED_BORDER", assFrame, 6, 12, 7, 12},
    {L"LOGO_XP_TEXT"},
    {L"LOGO_AERO_TEXT"},
    {L"BUTTON_CONTINUE", assFrame, 5, 18, 6, 18},
    {L"BUTTON_CONTINUE_HOT", assFrame, 5, 18, 6, 18},
    {L"BUTTON_CONTINUE_DOWN", assFrame, 5, 18, 6, 18},
    {L"SHADOW"},
    {L"PHONE_XP"},
    {L"PHONE_AERO"},
};

constexpr TImageDataEntry kImageListWarning[] = {
    {L"BG", assFrame, 3, 139, 4, 140},
    {L"LOGO"},
    {L"TABLE", assFrame, 65, 28, 66, 28},
    {L"CLOSE"},
    {L"CLOSE_HOT"},
    {L"CLOSE_DOWN"},
    {L"LOGO_AERO"},
    {L"DOT"},
    {L"LINE"},
    {L"CERTIFICATE"},
    {L"CERTIFICATE_JA"},
    {L"CERTIFICATE_PT"},
    {L"CERTIFICATE_FR"},
    {L"CERTIFICATE_ES"},
};

static_assert(std::size(kImageList) == 77);
static_assert(std::size(kImageListWarning) == 14);

TImageData* gInstance = nullptr;

} // namespace

std::span<const TImageDataEntry> ImageListEntries()
{
    return kImageList;
}

std::span<const TImageDataEntry> ImageListWarningEntries()
{
    return kImageListWarning;
}

TImageData::TImageData(TComponent* owner, HMODULE module) : TComponent(owner)
{
    SetName(L"ImageData");
    if (!module)
        module = GetModuleHandleW(nullptr);
    imageList_ = new TSkinBitmapList(this);
    imageList_->SetName(L"ImageList");
    imageListWarning_ = new TSkinBitmapList(this);
    imageListWarning_->SetName(L"ImageListWarning");
    Fill(*imageList_, kImageList, L"", module);
    Fill(*imageListWarning_, kImageListWarning, kWarningResourcePrefix, module);
    if (!gInstance)
        gInstance = this;
}

TImageData::~TImageData()
{
    if (gInstance == this)
        gInstance = nullptr;
}

TImageData* TImageData::Instance()
{
    return gInstance;
}

void TImageData::Fill(TSkinBitmapList& list, std::span<const TImageDataEntry> entries,
                      const wchar_t* prefix, HMODULE module)
{
    for (const TImageDataEntry& entry : entries) {
        TSkinBitmapImage& item = list.Images().Add();
        item.SetName(entry.name);
        item.SetStrectchStyle(entry.style);
        item.ClientRect().Set(entry.left, entry.top, entry.right, entry.bottom);
        // PNGs carry straight alpha and are premultiplied once when drawn:
        // AlphaPremultiply stays off.
        auto png = std::make_unique<TPNGPicture>();
        const std::wstring resource = std::wstring(prefix) + entry.name;
        std::string reason = "no such resource";
        if (FindResourceW(module, resource.c_str(), RT_RCDATA)) {
            if (png->LoadFromResourceName(module, resource)) {
                item.Picture().SetGraphic(std::move(png));
                continue;
            }
            reason = png->LastError();
        }
        ++missing_;
        Log("Image store: the picture " + AnsiFromWide(resource) + " did not load: " + reason,
            kImageLogCategory, kImageLogLevel);
    }
}
