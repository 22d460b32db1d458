#include "controls/KvComCtrls.h"

#include <algorithm>
#include <cstring>

namespace {

// Posted to a tree to open a node whose collapse was refused.
constexpr UINT kReopenMessage = WM_APP + 71;

void LoadCommonControls()
{
    static const bool loaded = [] {
        INITCOMMONCONTROLSEX init{};
        init.dwSize = sizeof(init);
        init.dwICC = ICC_TREEVIEW_CLASSES | ICC_PROGRESS_CLASS;
        return InitCommonControlsEx(&init) != FALSE;
    }();
    (void)loaded;
}

} // namespace

// ---------------------------------------------------------------------------
// TTreeNode

TTreeNode::TTreeNode(TTreeView& tree, TTreeNode* parent, const std::wstring& text, void* data)
    : tree_(tree), parent_(parent), text_(text), data_(data)
{
}

TTreeNode::~TTreeNode()
{
    for (TTreeNode* child : children_) {
        child->item_ = nullptr;
        delete child;
    }
}

std::vector<TTreeNode*>& TTreeNode::Siblings() const
{
    return parent_ ? parent_->children_ : tree_.roots_;
}

void TTreeNode::SetText(const std::wstring& text)
{
    text_ = text;
    if (HWND wnd = tree_.HandleIfAllocated(); wnd && item_) {
        TVITEMW item{};
        item.mask = TVIF_TEXT;
        item.hItem = item_;
        item.pszText = const_cast<wchar_t*>(text_.c_str());
        SendMessageW(wnd, TVM_SETITEMW, 0, reinterpret_cast<LPARAM>(&item));
    }
}

int TTreeNode::StateIndex() const
{
    if (HWND wnd = tree_.HandleIfAllocated(); wnd && item_) {
        const LRESULT state = SendMessageW(wnd, TVM_GETITEMSTATE, reinterpret_cast<WPARAM>(item_),
                                           TVIS_STATEIMAGEMASK);
        return static_cast<int>((state & TVIS_STATEIMAGEMASK) >> 12);
    }
    return stateIndex_;
}

void TTreeNode::SetStateIndex(int index)
{
    stateIndex_ = std::clamp(index, 0, 15);
    if (HWND wnd = tree_.HandleIfAllocated(); wnd && item_) {
        TVITEMW item{};
        item.mask = TVIF_STATE;
        item.hItem = item_;
        item.state = INDEXTOSTATEIMAGEMASK(stateIndex_);
        item.stateMask = TVIS_STATEIMAGEMASK;
        SendMessageW(wnd, TVM_SETITEMW, 0, reinterpret_cast<LPARAM>(&item));
    }
}

int TTreeNode::Level() const
{
    int level = 0;
    for (TTreeNode* p = parent_; p; p = p->parent_)
        ++level;
    return level;
}

int TTreeNode::Index() const
{
    const auto& siblings = Siblings();
    return static_cast<int>(std::find(siblings.begin(), siblings.end(), this) - siblings.begin());
}

TTreeNode* TTreeNode::Item(int index) const
{
    return index >= 0 && index < Count() ? children_[index] : nullptr;
}

TTreeNode* TTreeNode::GetNextSibling() const
{
    const auto& siblings = Siblings();
    const int i = Index();
    return i + 1 < static_cast<int>(siblings.size()) ? siblings[i + 1] : nullptr;
}

TTreeNode* TTreeNode::GetPrevSibling() const
{
    const auto& siblings = Siblings();
    const int i = Index();
    return i > 0 ? siblings[i - 1] : nullptr;
}

bool TTreeNode::Expanded() const
{
    if (HWND wnd = tree_.HandleIfAllocated(); wnd && item_)
        return (SendMessageW(wnd, TVM_GETITEMSTATE, reinterpret_cast<WPARAM>(item_), TVIS_EXPANDED) &
                TVIS_EXPANDED) != 0;
    return expanded_;
}

void TTreeNode::Expand(bool recurse)
{
    expanded_ = true;
    if (HWND wnd = tree_.HandleIfAllocated(); wnd && item_)
        SendMessageW(wnd, TVM_EXPAND, TVE_EXPAND, reinterpret_cast<LPARAM>(item_));
    if (recurse)
        for (TTreeNode* child : children_)
            child->Expand(true);
}

void TTreeNode::Collapse()
{
    expanded_ = false;
    if (HWND wnd = tree_.HandleIfAllocated(); wnd && item_)
        SendMessageW(wnd, TVM_EXPAND, TVE_COLLAPSE, reinterpret_cast<LPARAM>(item_));
}

bool TTreeNode::Selected() const
{
    return tree_.Selected() == this;
}

void TTreeNode::SetSelected(bool on)
{
    if (on)
        tree_.SetSelected(this);
    else if (Selected())
        tree_.SetSelected(nullptr);
}

void TTreeNode::MakeVisible()
{
    if (HWND wnd = tree_.HandleIfAllocated(); wnd && item_)
        SendMessageW(wnd, TVM_ENSUREVISIBLE, 0, reinterpret_cast<LPARAM>(item_));
}

RECT TTreeNode::DisplayRect(bool textOnly) const
{
    RECT r{};
    if (HWND wnd = tree_.HandleIfAllocated(); wnd && item_) {
        // TVM_GETITEMRECT takes the item in the rectangle's first bytes.
        HTREEITEM item = item_;
        std::memcpy(&r, &item, sizeof(item));
        if (!SendMessageW(wnd, TVM_GETITEMRECT, textOnly ? TRUE : FALSE,
                          reinterpret_cast<LPARAM>(&r)))
            r = RECT{};
    }
    return r;
}

void TTreeNode::Delete()
{
    HWND wnd = tree_.HandleIfAllocated();
    if (wnd && item_)
        SendMessageW(wnd, TVM_DELETEITEM, 0, reinterpret_cast<LPARAM>(item_));
    item_ = nullptr;
    std::erase(Siblings(), this);
    delete this;
}

// ---------------------------------------------------------------------------
// TTreeView

TTreeView::TTreeView(TComponent* owner) : TWinControl(owner)
{
    SetColor(clWindow);
    StoreBounds(0, 0, 121, 97);
}

TTreeView::~TTreeView()
{
    for (TTreeNode* node : roots_) {
        node->item_ = nullptr;
        delete node;
    }
    roots_.clear();
}

void TTreeView::CreateParams(TCreateParams& params)
{
    LoadCommonControls();
    TWinControl::CreateParams(params);
    params.className = L"KvTreeView";
    params.baseClass = WC_TREEVIEWW;
    // The row height asked for is the row height, odd ones too.
    params.style |= WS_TABSTOP | TVS_NONEVENHEIGHT;
    if (options_.showLines)
        params.style |= TVS_HASLINES;
    if (options_.showRoot)
        params.style |= TVS_LINESATROOT;
    if (options_.showButtons)
        params.style |= TVS_HASBUTTONS;
    if (!options_.readOnly)
        params.style |= TVS_EDITLABELS;
    if (options_.rowSelect)
        params.style |= TVS_FULLROWSELECT;
    if (!options_.hideSelection)
        params.style |= TVS_SHOWSELALWAYS;
    if (!options_.toolTips)
        params.style |= TVS_NOTOOLTIPS;
    if (options_.border)
        params.style |= WS_BORDER;
}

void TTreeView::SetOptions(const TTreeViewOptions& options)
{
    options_ = options;
    ApplyStyles();
}

void TTreeView::ApplyStyles()
{
    if (!handle_)
        return;
    TCreateParams params;
    CreateParams(params);
    const LONG keep = GetWindowLongW(handle_, GWL_STYLE) & (WS_VISIBLE | WS_DISABLED);
    SetWindowLongW(handle_, GWL_STYLE, static_cast<LONG>(params.style & ~(WS_VISIBLE | WS_DISABLED)) | keep);
    SetWindowPos(handle_, nullptr, 0, 0, 0, 0,
                 SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE | SWP_FRAMECHANGED);
}

void TTreeView::HandleCreated()
{
    if (itemHeight_ > 0)
        SendMessageW(handle_, TVM_SETITEMHEIGHT, static_cast<WPARAM>(itemHeight_), 0);
    if (indent_ >= 0)
        SendMessageW(handle_, TVM_SETINDENT, static_cast<WPARAM>(indent_), 0);
    SendMessageW(handle_, TVM_SETBKCOLOR, 0, static_cast<LPARAM>(ColorToRGB(Color())));
    for (TTreeNode* node : roots_)
        InsertItems(*node);
}

void TTreeView::DestroyWnd()
{
    std::function<void(std::vector<TTreeNode*>&)> forget = [&](std::vector<TTreeNode*>& nodes) {
        for (TTreeNode* node : nodes) {
            node->expanded_ = node->Expanded();
            node->stateIndex_ = node->StateIndex();
            node->item_ = nullptr;
            forget(node->children_);
        }
    };
    forget(roots_);
    TWinControl::DestroyWnd();
}

void TTreeView::WndProc(TMessage& msg)
{
    if (msg.Msg == kReopenMessage) {
        // Opened again once the collapse is over; an item deleted meanwhile
        // is no longer found.
        auto item = reinterpret_cast<HTREEITEM>(msg.LParam);
        if (TTreeNode* node = FromItem(item)) {
            node->expanded_ = true;
            SendMessageW(handle_, TVM_EXPAND, TVE_EXPAND, msg.LParam);
        }
        msg.Result = 0;
        return;
    }
    // Without double clicks the second press counts as a press of its own.
    if (msg.Msg == WM_LBUTTONDBLCLK && !options_.doubleClicks)
        msg.Msg = WM_LBUTTONDOWN;
    if (msg.Msg == WM_DESTROY) {
        std::function<void(std::vector<TTreeNode*>&)> forget = [&](std::vector<TTreeNode*>& nodes) {
            for (TTreeNode* node : nodes) {
                node->item_ = nullptr;
                forget(node->children_);
            }
        };
        forget(roots_);
    }
    TWinControl::WndProc(msg);
}

void TTreeView::InsertItem(TTreeNode& node, HTREEITEM after)
{
    if (!handle_ || (node.parent_ && !node.parent_->item_))
        return;
    TVINSERTSTRUCTW insert{};
    insert.hParent = node.parent_ ? node.parent_->item_ : TVI_ROOT;
    insert.hInsertAfter = after;
    insert.item.mask = TVIF_TEXT | TVIF_PARAM | TVIF_STATE;
    insert.item.pszText = const_cast<wchar_t*>(node.text_.c_str());
    insert.item.lParam = reinterpret_cast<LPARAM>(&node);
    insert.item.state = INDEXTOSTATEIMAGEMASK(node.stateIndex_);
    insert.item.stateMask = TVIS_STATEIMAGEMASK;
    node.item_ = reinterpret_cast<HTREEITEM>(
        SendMessageW(handle_, TVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&insert)));
}

void TTreeView::InsertItems(TTreeNode& node)
{
    InsertItem(node, TVI_LAST);
    for (TTreeNode* child : node.children_)
        InsertItems(*child);
    if (node.expanded_ && node.item_)
        SendMessageW(handle_, TVM_EXPAND, TVE_EXPAND, reinterpret_cast<LPARAM>(node.item_));
}

TTreeNode* TTreeView::AddChild(TTreeNode* parent, const std::wstring& text, void* data)
{
    Handle();
    auto* node = new TTreeNode(*this, parent, text, data);
    (parent ? parent->children_ : roots_).push_back(node);
    InsertItem(*node, TVI_LAST);
    return node;
}

TTreeNode* TTreeView::Insert(TTreeNode* sibling, const std::wstring& text, void* data)
{
    if (!sibling)
        return AddChild(nullptr, text, data);
    Handle();
    TTreeNode* parent = sibling->parent_;
    auto* node = new TTreeNode(*this, parent, text, data);
    auto& siblings = parent ? parent->children_ : roots_;
    TTreeNode* before = sibling->GetPrevSibling();
    siblings.insert(siblings.begin() + sibling->Index(), node);
    InsertItem(*node, before && before->item_ ? before->item_ : TVI_FIRST);
    return node;
}

void TTreeView::Clear()
{
    if (handle_)
        SendMessageW(handle_, TVM_DELETEITEM, 0, reinterpret_cast<LPARAM>(TVI_ROOT));
    for (TTreeNode* node : roots_) {
        node->item_ = nullptr;
        delete node;
    }
    roots_.clear();
}

int TTreeView::Count() const
{
    std::function<int(const std::vector<TTreeNode*>&)> count = [&](const std::vector<TTreeNode*>& nodes) {
        int n = 0;
        for (const TTreeNode* node : nodes)
            n += 1 + count(node->children_);
        return n;
    };
    return count(roots_);
}

TTreeNode* TTreeView::FromItem(HTREEITEM item) const
{
    if (!handle_ || !item)
        return nullptr;
    TVITEMW data{};
    data.mask = TVIF_PARAM;
    data.hItem = item;
    if (!SendMessageW(handle_, TVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&data)))
        return nullptr;
    return reinterpret_cast<TTreeNode*>(data.lParam);
}

TTreeNode* TTreeView::Selected() const
{
    if (!handle_)
        return nullptr;
    return FromItem(reinterpret_cast<HTREEITEM>(
        SendMessageW(handle_, TVM_GETNEXTITEM, TVGN_CARET, 0)));
}

void TTreeView::SetSelected(TTreeNode* node)
{
    if (handle_)
        SendMessageW(handle_, TVM_SELECTITEM, TVGN_CARET,
                     reinterpret_cast<LPARAM>(node ? node->item_ : nullptr));
}

TTreeNode* TTreeView::GetNodeAt(int x, int y) const
{
    if (!handle_)
        return nullptr;
    TVHITTESTINFO hit{};
    hit.pt = POINT{x, y};
    SendMessageW(handle_, TVM_HITTEST, 0, reinterpret_cast<LPARAM>(&hit));
    if (!(hit.flags & (TVHT_ONITEM | TVHT_ONITEMRIGHT | TVHT_ONITEMINDENT | TVHT_ONITEMBUTTON)))
        return nullptr;
    return FromItem(hit.hItem);
}

int TTreeView::ScrollPosX() const
{
    return handle_ ? GetScrollPos(handle_, SB_HORZ) : 0;
}

void TTreeView::BeginUpdate()
{
    if (updates_++ == 0 && handle_)
        SendMessageW(handle_, WM_SETREDRAW, FALSE, 0);
}

void TTreeView::EndUpdate()
{
    if (updates_ <= 0 || --updates_ > 0 || !handle_)
        return;
    SendMessageW(handle_, WM_SETREDRAW, TRUE, 0);
    InvalidateRect(handle_, nullptr, TRUE);
}

int TTreeView::ItemHeight() const
{
    if (handle_)
        return static_cast<int>(SendMessageW(handle_, TVM_GETITEMHEIGHT, 0, 0));
    return itemHeight_;
}

void TTreeView::SetItemHeight(int height)
{
    itemHeight_ = height;
    if (handle_ && height > 0)
        SendMessageW(handle_, TVM_SETITEMHEIGHT, static_cast<WPARAM>(height), 0);
}

void TTreeView::SetIndent(int indent)
{
    indent_ = indent;
    if (handle_ && indent >= 0)
        SendMessageW(handle_, TVM_SETINDENT, static_cast<WPARAM>(indent), 0);
}

LRESULT TTreeView::CustomDraw(NMTVCUSTOMDRAW& draw)
{
    switch (draw.nmcd.dwDrawStage) {
    case CDDS_PREPAINT:
        return OnCustomDrawItem ? CDRF_NOTIFYITEMDRAW : CDRF_DODEFAULT;
    case CDDS_ITEMPREPAINT: {
        auto* node = reinterpret_cast<TTreeNode*>(draw.nmcd.lItemlParam);
        if (!node || !OnCustomDrawItem)
            return CDRF_DODEFAULT;
        bool defaultDraw = true;
        {
            TDcStateGuard state(draw.nmcd.hdc);
            drawCanvas_.SetHandle(draw.nmcd.hdc);
            drawCanvas_.Font().Assign(Font());
            drawCanvas_.Brush().SetColor(Color());
            drawCanvas_.Brush().SetStyle(TBrushStyle::Solid);
            OnCustomDrawItem(*this, *node, draw, drawCanvas_, defaultDraw);
            drawCanvas_.SetHandle(nullptr);
        }
        return defaultDraw ? CDRF_DODEFAULT : CDRF_SKIPDEFAULT;
    }
    default:
        return CDRF_DODEFAULT;
    }
}

bool TTreeView::HandleNotify(NMHDR& header, LRESULT& result)
{
    switch (header.code) {
    case NM_CUSTOMDRAW:
        result = CustomDraw(reinterpret_cast<NMTVCUSTOMDRAW&>(header));
        return true;
    case TVN_ITEMEXPANDINGW: {
        auto& change = reinterpret_cast<NMTREEVIEWW&>(header);
        auto* node = reinterpret_cast<TTreeNode*>(change.itemNew.lParam);
        bool allow = true;
        if (node && change.action == TVE_COLLAPSE && OnCollapsing)
            OnCollapsing(*this, *node, allow);
        else if (node && change.action == TVE_EXPAND && OnExpanding)
            OnExpanding(*this, *node, allow);
        if (node && allow)
            node->expanded_ = change.action == TVE_EXPAND;
        refusedCollapse_ = !allow && change.action == TVE_COLLAPSE ? change.itemNew.hItem : nullptr;
        result = allow ? FALSE : TRUE;
        return true;
    }
    case TVN_ITEMEXPANDEDW: {
        auto& change = reinterpret_cast<NMTREEVIEWW&>(header);
        if (change.action == TVE_COLLAPSE && change.itemNew.hItem && change.itemNew.hItem == refusedCollapse_)
            PostMessageW(handle_, kReopenMessage, 0, reinterpret_cast<LPARAM>(refusedCollapse_));
        refusedCollapse_ = nullptr;
        result = 0;
        return true;
    }
    case TVN_SELCHANGEDW: {
        auto& change = reinterpret_cast<NMTREEVIEWW&>(header);
        if (OnChange)
            OnChange(*this, reinterpret_cast<TTreeNode*>(change.itemNew.lParam));
        result = 0;
        return true;
    }
    case NM_CLICK:
        Click();
        result = 0;
        return true;
    default:
        return false;
    }
}

// ---------------------------------------------------------------------------
// TProgressBar

TProgressBar::TProgressBar(TComponent* owner) : TWinControl(owner)
{
    StoreBounds(0, 0, 150, 16);
}

void TProgressBar::CreateParams(TCreateParams& params)
{
    LoadCommonControls();
    TWinControl::CreateParams(params);
    params.className = L"KvProgressBar";
    params.baseClass = PROGRESS_CLASSW;
    if (marquee_)
        params.style |= PBS_MARQUEE;
}

void TProgressBar::HandleCreated()
{
    SendMessageW(handle_, PBM_SETRANGE32, static_cast<WPARAM>(min_), static_cast<LPARAM>(max_));
    SendMessageW(handle_, PBM_SETPOS, static_cast<WPARAM>(position_), 0);
    if (marquee_)
        SendMessageW(handle_, PBM_SETMARQUEE, TRUE, static_cast<LPARAM>(marqueeInterval_));
}

void TProgressBar::SetRange(int min, int max)
{
    min_ = min;
    max_ = std::max(min, max);
    position_ = std::clamp(position_, min_, max_);
    if (handle_)
        SendMessageW(handle_, PBM_SETRANGE32, static_cast<WPARAM>(min_), static_cast<LPARAM>(max_));
}

int TProgressBar::Position() const
{
    if (handle_)
        return static_cast<int>(SendMessageW(handle_, PBM_GETPOS, 0, 0));
    return position_;
}

void TProgressBar::SetPosition(int position)
{
    position_ = std::clamp(position, min_, max_);
    if (handle_)
        SendMessageW(handle_, PBM_SETPOS, static_cast<WPARAM>(position_), 0);
}

void TProgressBar::SetMarquee(bool on, UINT intervalMs)
{
    marquee_ = on;
    marqueeInterval_ = intervalMs;
    if (!handle_)
        return;
    LONG style = GetWindowLongW(handle_, GWL_STYLE);
    style = on ? (style | PBS_MARQUEE) : (style & ~PBS_MARQUEE);
    SetWindowLongW(handle_, GWL_STYLE, style);
    SendMessageW(handle_, PBM_SETMARQUEE, on ? TRUE : FALSE, static_cast<LPARAM>(intervalMs));
    if (!on)
        SendMessageW(handle_, PBM_SETPOS, static_cast<WPARAM>(position_), 0);
}

bool TProgressBar::InspectProperty(const std::wstring& name, std::wstring& value) const
{
    if (name == L"Position") {
        value = std::to_wstring(Position());
        return true;
    }
    return TWinControl::InspectProperty(name, value);
}
