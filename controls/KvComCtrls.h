#pragma once
// The common controls the program uses: the tree view (with its nodes, row
// height, state indexes and custom drawing handed to an event) and the
// progress bar (with its marquee). The programs that show them carry a
// common-controls 6 manifest.

#include "controls/KvControls.h"

#include <commctrl.h>

#include <memory>
#include <string>
#include <vector>

class TTreeView;

// One node of a tree view, owned by its tree (freed with it or by Delete).
// It mirrors one item of the native tree while the tree has its window;
// without one it keeps its text and state and is put in when the window is
// made.
class TTreeNode {
public:
    TTreeNode(const TTreeNode&) = delete;
    TTreeNode& operator=(const TTreeNode&) = delete;
    ~TTreeNode();

    TTreeView& Tree() const { return tree_; }
    HTREEITEM ItemId() const { return item_; }
    const std::wstring& Text() const { return text_; }
    void SetText(const std::wstring& text);
    void* Data() const { return data_; }
    void SetData(void* data) { data_ = data; }
    // The state image index (TVIS_STATEIMAGEMASK), 0 to 15.
    int StateIndex() const;
    void SetStateIndex(int index);

    TTreeNode* Parent() const { return parent_; }
    // 0 for a top-level node.
    int Level() const;
    // The position among its siblings.
    int Index() const;
    int Count() const { return static_cast<int>(children_.size()); }
    TTreeNode* Item(int index) const;
    bool HasChildren() const { return !children_.empty(); }
    TTreeNode* GetFirstChild() const { return children_.empty() ? nullptr : children_.front(); }
    TTreeNode* GetLastChild() const { return children_.empty() ? nullptr : children_.back(); }
    TTreeNode* GetNextSibling() const;
    TTreeNode* GetPrevSibling() const;

    bool Expanded() const;
    void Expand(bool recurse = false);
    void Collapse();
    bool Selected() const;
    void SetSelected(bool on);
    void MakeVisible();
    // The row (whole width) or the text's rectangle in client coordinates;
    // empty when the node is not shown.
    RECT DisplayRect(bool textOnly) const;
    // Removes the node and its children from the tree and frees them.
    void Delete();

private:
    friend class TTreeView;
    TTreeNode(TTreeView& tree, TTreeNode* parent, const std::wstring& text, void* data);
    std::vector<TTreeNode*>& Siblings() const;

    TTreeView& tree_;
    TTreeNode* parent_;
    std::vector<TTreeNode*> children_;
    std::wstring text_;
    void* data_;
    int stateIndex_ = 0;
    bool expanded_ = false;
    HTREEITEM item_ = nullptr;
};

struct TTreeViewOptions {
    bool showLines = true;
    bool showRoot = true;
    bool showButtons = true;
    bool readOnly = false;
    bool rowSelect = false;
    // Keeps the selection shown while the tree has no focus.
    bool hideSelection = true;
    bool toolTips = true;
    bool border = true;
    // Off: the second click of a double click is a click of its own.
    bool doubleClicks = true;
};

// The tree view (class "KvTreeView" on the common controls' tree view).
class TTreeView : public TWinControl {
public:
    explicit TTreeView(TComponent* owner = nullptr);
    ~TTreeView() override;
    static TTreeView* Create(const TControlSpec& spec) { return CreateControl<TTreeView>(spec); }

    // Set before the window is made; later changes recreate no window and
    // only switch the styles that can change.
    const TTreeViewOptions& Options() const { return options_; }
    void SetOptions(const TTreeViewOptions& options);

    // A node as the last child of parent (null: top level).
    TTreeNode* AddChild(TTreeNode* parent, const std::wstring& text, void* data = nullptr);
    // A node just before sibling, under sibling's parent.
    TTreeNode* Insert(TTreeNode* sibling, const std::wstring& text, void* data = nullptr);
    void Clear();
    const std::vector<TTreeNode*>& Roots() const { return roots_; }
    // Every node, counted.
    int Count() const;
    TTreeNode* Selected() const;
    void SetSelected(TTreeNode* node);
    // The node whose row holds the client point, or null.
    TTreeNode* GetNodeAt(int x, int y) const;
    TTreeNode* FromItem(HTREEITEM item) const;
    // The horizontal scroll position in pixels.
    int ScrollPosX() const;

    void BeginUpdate();
    void EndUpdate();
    // Row height in pixels (TVM_SETITEMHEIGHT); 0 leaves the default.
    int ItemHeight() const;
    void SetItemHeight(int height);
    int Indent() const { return indent_; }
    void SetIndent(int indent);

    // Every visible node before it is drawn (NM_CUSTOMDRAW, item pre-paint),
    // with a canvas on the drawing context. Clearing DefaultDraw skips the
    // tree's own drawing of the node (CDRF_SKIPDEFAULT).
    std::function<void(TTreeView& Sender, TTreeNode& Node, const NMTVCUSTOMDRAW& Draw,
                       TCanvas& Canvas, bool& DefaultDraw)>
        OnCustomDrawItem;
    // A refused collapse leaves the node open (the tree opens it again where
    // the system's tree collapses it anyway).
    std::function<void(TTreeView& Sender, TTreeNode& Node, bool& AllowCollapse)> OnCollapsing;
    std::function<void(TTreeView& Sender, TTreeNode& Node, bool& AllowExpand)> OnExpanding;
    // The selection changed.
    std::function<void(TTreeView& Sender, TTreeNode* Node)> OnChange;
    // What the inspection's node list adds to a node's fields: more fields
    // "name=value", split by tabs, that only the tree's owner knows.
    std::function<std::wstring(const TTreeNode& Node)> OnNodeInspect;

    void CreateParams(TCreateParams& params) override;

protected:
    friend class TTreeNode;
    bool HandleNotify(NMHDR& header, LRESULT& result) override;
    void HandleCreated() override;
    void DestroyWnd() override;
    void WndProc(TMessage& msg) override;

private:
    void InsertItem(TTreeNode& node, HTREEITEM after);
    void InsertItems(TTreeNode& node);
    void ApplyStyles();
    LRESULT CustomDraw(NMTVCUSTOMDRAW& draw);

    std::vector<TTreeNode*> roots_;
    TTreeViewOptions options_;
    int itemHeight_ = 0;
    int indent_ = -1;
    int updates_ = 0;
    bool clearing_ = false;
    TCanvas drawCanvas_;
    // A collapse that OnCollapsing refused: Wine's tree collapses a node the
    // user folds whatever the answer, so it is opened again after the fact.
    HTREEITEM refusedCollapse_ = nullptr;
};

// The progress bar (class "KvProgressBar" on the common controls' one).
class TProgressBar : public TWinControl {
public:
    explicit TProgressBar(TComponent* owner = nullptr);
    static TProgressBar* Create(const TControlSpec& spec) { return CreateControl<TProgressBar>(spec); }

    int Min() const { return min_; }
    int Max() const { return max_; }
    void SetRange(int min, int max);
    void SetMax(int max) { SetRange(min_, max); }
    int Position() const;
    void SetPosition(int position);
    // Marquee: a block that runs endlessly (PBS_MARQUEE), for work of
    // unknown length.
    bool Marquee() const { return marquee_; }
    void SetMarquee(bool on, UINT intervalMs = 30);

    void CreateParams(TCreateParams& params) override;
    bool InspectProperty(const std::wstring& name, std::wstring& value) const override;

protected:
    void HandleCreated() override;

private:
    int min_ = 0;
    int max_ = 100;
    int position_ = 0;
    bool marquee_ = false;
    UINT marqueeInterval_ = 30;
};
