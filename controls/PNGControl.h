#pragma once
// A windowless control that shows one PNG picture and turns rectangles
// stored in it into clickable anchors: each anchor lives in a tEXt chunk
// keyed "URL" (any letter case) whose text is
//   "click:" left "," top "," right "," bottom CR LF "url:" address
// (read also with CR or LF alone between the lines). The control hands an
// anchor's address out as data; callers open it with the shell utilities'
// OpenUrl, which takes http and https only.

#include "controls/KvControls.h"
#include "controls/KvPng.h"

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// One anchor, on its chunk (owned by the picture).
class TAnchor {
public:
    // Parsed from the chunk's text; null gives the empty anchor.
    explicit TAnchor(TPngChunk* chunk);
    TPngChunk* Chunk() const { return chunk_; }
    // Left, top, right, bottom in picture pixels.
    const RECT& Rect() const { return rect_; }
    // 8-bit, as stored.
    const std::string& URL() const { return url_; }
    // Store and rewrite the chunk when the value differs. An address loses
    // its CR, LF and NUL characters first: they would break the two-line
    // form (and could make a second click line).
    void SetRect(const RECT& rect);
    void SetURL(std::string_view url);

    // The text's rectangle and address (the last line of each kind wins;
    // fewer than four numbers give the empty rectangle; a number that is
    // not one gives 0).
    static void Parse(std::string_view text, RECT& rect, std::string& url);
    static std::string Format(const RECT& rect, std::string_view url);

private:
    void Write();
    TPngChunk* chunk_;
    RECT rect_{};
    std::string url_;
};

class TPNGControl : public TGraphicControl {
public:
    explicit TPNGControl(TComponent* owner = nullptr);
    ~TPNGControl() override;
    static TPNGControl* Create(const TControlSpec& spec) { return CreateControl<TPNGControl>(spec); }

    // The picture; its change notification reloads the anchors (before any
    // old one can be used) and repaints.
    TPNGPicture& Image() { return *image_; }
    const TPNGPicture& Image() const { return *image_; }
    // Copies the picture in.
    void SetImage(const TPNGPicture& image);
    const std::vector<std::unique_ptr<TAnchor>>& Anchors() const { return anchors_; }

    // False (the control empty, the reason in Image().LastError()) when the
    // picture does not load.
    bool LoadFromFile(const std::wstring& fileName);
    bool LoadFromStream(TStream& stream);
    bool LoadFromResourceName(HMODULE instance, const std::wstring& resourceName);
    bool SaveToFile(const std::wstring& fileName) const;
    bool SaveToStream(TStream& stream) const;

    // A new anchor on a new empty "URL" chunk after the picture's other
    // chunks (written before IEND).
    TAnchor* AddAnchor();
    // The first anchor in list order whose rectangle holds the point (right
    // and bottom edges outside).
    TAnchor* AnchorAt(int x, int y) const;
    void ReloadAnchors();

    // A left press on an anchor (on the press, not the release).
    std::function<void(TPNGControl& Sender, TAnchor& Anchor)> OnAnchorClick;

    // "Anchors": one "left,top,right,bottom url" per anchor, split by
    // LF; "PictureSize": "width,height" of the picture.
    bool InspectProperty(const std::wstring& name, std::wstring& value) const override;

    void Paint() override;
    void MouseDown(TMouseButton button, TShiftState shift, int x, int y) override;
    void MouseMove(TShiftState shift, int x, int y) override;

private:
    std::unique_ptr<TPNGPicture> image_;
    std::vector<std::unique_ptr<TAnchor>> anchors_;
};
