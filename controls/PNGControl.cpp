#include "controls/PNGControl.h"

#include "platform/SysUtilsU.h"
#include "platform/UnicodeU.h"

#include <algorithm>

namespace {

constexpr std::string_view kAnchorKeyword = "URL";
constexpr std::string_view kClickPrefix = "click:";
constexpr std::string_view kUrlPrefix = "url:";

bool StartsWithIgnoringCase(std::string_view text, std::string_view prefix)
{
    return text.size() >= prefix.size() && SameTextAscii(text.substr(0, prefix.size()), prefix);
}

std::vector<std::string_view> Lines(std::string_view text)
{
    std::vector<std::string_view> lines;
    size_t start = 0;
    while (start <= text.size()) {
        const size_t end = text.find_first_of("\r\n", start);
        if (end == std::string_view::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + ((text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n') ? 2 : 1);
    }
    return lines;
}

} // namespace

TAnchor::TAnchor(TPngChunk* chunk) : chunk_(chunk)
{
    if (chunk)
        Parse(chunk->Text(), rect_, url_);
}

void TAnchor::Parse(std::string_view text, RECT& rect, std::string& url)
{
    rect = RECT{};
    url.clear();
    for (std::string_view line : Lines(text)) {
        if (StartsWithIgnoringCase(line, kClickPrefix)) {
            std::vector<int32_t> numbers;
            std::string_view rest = line.substr(kClickPrefix.size());
            while (true) {
                const size_t comma = rest.find(',');
                numbers.push_back(StrToIntDef(Trim(rest.substr(0, comma)), 0));
                if (comma == std::string_view::npos)
                    break;
                rest.remove_prefix(comma + 1);
            }
            rect = numbers.size() < 4 ? RECT{}
                                      : RECT{numbers[0], numbers[1], numbers[2], numbers[3]};
        } else if (StartsWithIgnoringCase(line, kUrlPrefix)) {
            url = Trim(line.substr(kUrlPrefix.size()));
        }
    }
}

std::string TAnchor::Format(const RECT& rect, std::string_view url)
{
    return std::string(kClickPrefix) + std::to_string(rect.left) + "," + std::to_string(rect.top) +
           "," + std::to_string(rect.right) + "," + std::to_string(rect.bottom) + "\r\n" +
           std::string(kUrlPrefix) + std::string(url);
}

void TAnchor::Write()
{
    if (chunk_)
        chunk_->SetText(Format(rect_, url_));
}

void TAnchor::SetRect(const RECT& rect)
{
    if (EqualRect(&rect, &rect_))
        return;
    rect_ = rect;
    Write();
}

void TAnchor::SetURL(std::string_view url)
{
    std::string clean(url);
    std::erase_if(clean, [](char c) { return c == '\r' || c == '\n' || c == '\0'; });
    if (clean == url_)
        return;
    url_ = std::move(clean);
    Write();
}

TPNGControl::TPNGControl(TComponent* owner)
    : TGraphicControl(owner), image_(std::make_unique<TPNGPicture>())
{
    StoreBounds(0, 0, 105, 105);
    image_->SetOnChange([this](TGraphic&) {
        ReloadAnchors();
        Invalidate();
    });
}

TPNGControl::~TPNGControl()
{
    image_->SetOnChange(nullptr);
}

void TPNGControl::SetImage(const TPNGPicture& image)
{
    if (&image != image_.get())
        image_->Assign(image);
}

void TPNGControl::ReloadAnchors()
{
    anchors_.clear();
    for (TPngChunk* chunk : image_->TextChunks())
        if (SameTextAscii(chunk->Keyword(), kAnchorKeyword))
            anchors_.push_back(std::make_unique<TAnchor>(chunk));
}

bool TPNGControl::LoadFromFile(const std::wstring& fileName)
{
    return image_->LoadFromFile(fileName);
}

bool TPNGControl::LoadFromStream(TStream& stream)
{
    return image_->LoadFromStream(stream);
}

bool TPNGControl::LoadFromResourceName(HMODULE instance, const std::wstring& resourceName)
{
    return image_->LoadFromResourceName(instance, resourceName);
}

bool TPNGControl::SaveToFile(const std::wstring& fileName) const
{
    return image_->SaveToFile(fileName);
}

bool TPNGControl::SaveToStream(TStream& stream) const
{
    return image_->SaveToStream(stream);
}

TAnchor* TPNGControl::AddAnchor()
{
    TPngChunk* chunk = image_->AddTextChunk(kAnchorKeyword, "");
    if (!chunk)
        return nullptr;
    anchors_.push_back(std::make_unique<TAnchor>(chunk));
    return anchors_.back().get();
}

TAnchor* TPNGControl::AnchorAt(int x, int y) const
{
    const POINT p{x, y};
    for (const auto& anchor : anchors_)
        if (PtInRect(&anchor->Rect(), p))
            return anchor.get();
    return nullptr;
}

void TPNGControl::Paint()
{
    if (!image_->Empty())
        Canvas().Draw(0, 0, *image_);
    TGraphicControl::Paint();
}

void TPNGControl::MouseDown(TMouseButton button, TShiftState shift, int x, int y)
{
    const TComponentRef self = Ref();
    TGraphicControl::MouseDown(button, shift, x, y);
    if (!self || button != TMouseButton::Left || !OnAnchorClick)
        return;
    if (TAnchor* anchor = AnchorAt(x, y))
        OnAnchorClick(*this, *anchor);
}

void TPNGControl::MouseMove(TShiftState shift, int x, int y)
{
    const TComponentRef self = Ref();
    TGraphicControl::MouseMove(shift, x, y);
    if (!self)
        return;
    const bool buttonHeld = (shift & (ssLeft | ssRight | ssMiddle)) != 0;
    SetCursor(!buttonHeld && AnchorAt(x, y) ? crHandPoint : crDefault);
}

bool TPNGControl::InspectProperty(const std::wstring& name, std::wstring& value) const
{
    if (name == L"Anchors") {
        value.clear();
        for (const auto& anchor : anchors_) {
            const RECT& r = anchor->Rect();
            if (!value.empty())
                value += L"\n";
            value += std::to_wstring(r.left) + L"," + std::to_wstring(r.top) + L"," +
                     std::to_wstring(r.right) + L"," + std::to_wstring(r.bottom) + L" " +
                     AnsiToWide(anchor->URL());
        }
        return true;
    }
    if (name == L"PictureSize") {
        value = std::to_wstring(image_->Width()) + L"," + std::to_wstring(image_->Height());
        return true;
    }
    return TGraphicControl::InspectProperty(name, value);
}
