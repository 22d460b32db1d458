#pragma once
// The image store of the main program: the data module whose two image lists
// hold every skin picture, looked up by name by the windows' controls.
// ImageList serves the main window and the wizard pages, ImageListWarning the
// warning window; each list has its own name index, so both can hold a
// CLOSE, a CLOSE_HOT, a CLOSE_DOWN and a LOGO_AERO.
//
// The pictures are PNG files embedded as RT_RCDATA resources (resources/
// skin.rc, linked into the program as the object library korv_skin) under the
// item's name, prefixed "WARNING_" for the second list.

#include "controls/SkinControls.h"

#include <windows.h>

#include <cstdint>
#include <span>

// One picture of the store: its name, and for a frame its nine-patch margins.
struct TImageDataEntry {
    const wchar_t* name;
    TSkinStretchStyle style = assNormal;
    int32_t left = 0;
    int32_t top = 0;
    int32_t right = 0;
    int32_t bottom = 0;
};

// The two lists' pictures in store order.
std::span<const TImageDataEntry> ImageListEntries();
std::span<const TImageDataEntry> ImageListWarningEntries();
inline constexpr const wchar_t* kWarningResourcePrefix = L"WARNING_";

// Owns its two lists (components named "ImageList" and "ImageListWarning").
// Made once at program start and freed at its end; Instance answers the
// living one for code that has no pointer to it.
class TImageData : public TComponent {
public:
    // Loads every picture from the module's resources (the program's own
    // when module is null). A picture that does not load leaves its item
    // empty, is logged, and counts in MissingCount.
    explicit TImageData(TComponent* owner = nullptr, HMODULE module = nullptr);
    ~TImageData() override;

    TSkinBitmapList* ImageList() const { return imageList_; }
    TSkinBitmapList* ImageListWarning() const { return imageListWarning_; }
    int MissingCount() const { return missing_; }
    // The store made first and not yet freed; null when none lives.
    static TImageData* Instance();

private:
    void Fill(TSkinBitmapList& list, std::span<const TImageDataEntry> entries, const wchar_t* prefix,
              HMODULE module);

    TSkinBitmapList* imageList_ = nullptr;
    TSkinBitmapList* imageListWarning_ = nullptr;
    int missing_ = 0;
};
