// The review tree: its nodes from a fixture root, toggling with mouse
// messages at the check box zones, the mixed-group rules, double clicks,
// locked details, and the owner-drawn rows with themed and classic boxes.

#include "StepsTestSupport.h"

#include "KorvTest.h"
#include "controls/KvHtmlLabelW.h"
#include "engine/qvScanTools.h"
#include "platform/UnicodeU.h"

#include <gtest/gtest.h>

using namespace stepstest;

namespace {

bool gThemed = true;
bool ThemeQuery()
{
    return gThemed;
}

const std::string kKey = "Software\\Korvelle.Test\\Review\\Orphan";

// The user's collapse: the node selected, then the left arrow.
void CollapseByKey(TTreeView& Tree, TTreeNode* Node)
{
    Tree.SetSelected(Node);
    SendMessageW(Tree.Handle(), WM_KEYDOWN, VK_LEFT, 0);
    SendMessageW(Tree.Handle(), WM_KEYUP, VK_LEFT, 0);
    Pump();
}

class ReviewTree : public ::testing::Test {
protected:
    static void TearDownTestSuite() { ReleaseWizard(); }
    void SetUp() override
    {
        KTEST_NEEDS_DISPLAY();
        Wizard();
        ResetPrompts();
        UseIdleWorkers();
        // Registry findings: a key deletion with three locked details, a group
        // of three, a group of one, an empty group; a file group with a size;
        // nothing in the speed-up category.
        TqvMain& engine = FreshEngine();
        ClearFindings(engine);
        keyGroup_ = GroupById(kCategoryFix, "reg-clsid");
        threeGroup_ = GroupById(kCategoryFix, "reg-interface");
        oneGroup_ = GroupById(kCategoryFix, "reg-typelib");
        ASSERT_TRUE(keyGroup_ && threeGroup_ && oneGroup_);
        key_ = &AddRegFinding(*keyGroup_, kKey + "\\", "");
        for (const char* detail : {"A", "B", "C"})
            AddRegFinding(*keyGroup_, kKey, detail, true).Caption = AnsiToWide(kKey) + L" " + AnsiToWide(detail);
        for (int i = 0; i < 3; ++i)
            AddRegFinding(*threeGroup_, "Software\\Korvelle.Test\\Review\\Three" + std::to_string(i), "Value");
        // A long one, so that the tree can scroll sideways.
        AddRegFinding(*oneGroup_,
                      "Software\\Classes\\TypeLib\\{00000000-AAAA-BBBB-CCCC-DDDDDDDDDDDD}\\1.0\\0\\win32\\"
                      "a-rather-long-key-name-that-needs-room",
                      "Value");
        TqvGroup* files = GroupById(kCategoryClean, "temp-files");
        ASSERT_NE(files, nullptr);
        auto file = std::make_unique<TqvFileItem>(files->Scanner.get());
        file->Found = file->Selected = true;
        file->Size = 1536;
        file->Caption = L"C:\\Temp\\korvelle-test.tmp";
        files->Scanner->Items.push_back(std::move(file));
        engine_ = &engine;
        SetCounters({.errors = 8, .bytes = 1536, .memory = -1});
    }
    void TearDown() override { SetHtmlLabelThemeQuery(nullptr); }

    TTreeView& Tree() { return *Wizard().steps->TreeViewReview(); }
    // The review page with every group opened, as the user opens them.
    void ShowReview()
    {
        GoToStep(kStepScanResults);
        GoToStep(kStepScanReview);
        ASSERT_EQ(Wizard().main->CurrentStep(), kStepScanReview);
        for (TTreeNode* heading : Tree().Roots())
            for (int i = 0; i < heading->Count(); ++i)
                heading->Item(i)->Expand();
        Pump();
        EXPECT_EQ(Tree().ScrollPosX(), 0);
    }
    TTreeNode* Node(const std::wstring& Prefix)
    {
        TTreeNode* node = NodeByText(Tree(), Prefix);
        EXPECT_NE(node, nullptr) << WideToUtf8(Prefix);
        return node;
    }
    TTreeNode* GroupNode(TqvGroup* Group) { return Node(Group->GetCaption() + L"\u0008"); }
    // A click at a client x of the node's row (scrolled into view first;
    // with Scroll >= 0 the tree is then scrolled sideways to it).
    void Click(TTreeNode* Node, int X, bool Double = false, int Scroll = -1)
    {
        Node->MakeVisible();
        if (Scroll >= 0) {
            SendMessageW(Tree().Handle(), WM_HSCROLL, MAKEWPARAM(SB_THUMBPOSITION, Scroll), 0);
            ASSERT_EQ(Tree().ScrollPosX(), Scroll);
        }
        const RECT row = Node->DisplayRect(false);
        ASSERT_GE(row.top, 0);
        ClickTree(Tree(), X, row.top + 12, Double);
    }
    static const TReviewNodeData* Data(TTreeNode* Node)
    {
        return static_cast<const TReviewNodeData*>(Node->Data());
    }

    TqvMain* engine_ = nullptr;
    TqvGroup* keyGroup_ = nullptr;
    TqvGroup* threeGroup_ = nullptr;
    TqvGroup* oneGroup_ = nullptr;
    TqvRegItem* key_ = nullptr;
};

TEST_F(ReviewTree, NodesShowTheCategoriesGroupsAndItems)
{
    GoToStep(kStepScanResults);
    GoToStep(kStepScanReview);
    ASSERT_EQ(Wizard().main->CurrentStep(), kStepScanReview);
    TTreeView& tree = Tree();
    EXPECT_EQ(tree.ItemHeight(), 25);
    ASSERT_EQ(tree.Roots().size(), 1u);
    TTreeNode* heading = tree.Roots()[0];
    EXPECT_EQ(heading->Text(), L"Registry items:");
    EXPECT_EQ(heading->Data(), nullptr);
    EXPECT_TRUE(heading->Expanded());
    ASSERT_EQ(heading->Count(), 3) << "the empty groups have no node";
    EXPECT_EQ(heading->Item(0)->Text(), keyGroup_->GetCaption() + L"\u0008(4 Items)");
    EXPECT_EQ(heading->Item(1)->Text(), threeGroup_->GetCaption() + L"\u0008(3 Items)");
    EXPECT_EQ(heading->Item(2)->Text(), oneGroup_->GetCaption() + L"\u0008(1 Item)");
    TTreeNode* keyGroup = heading->Item(0);
    ASSERT_EQ(keyGroup->Count(), 4);
    EXPECT_EQ(keyGroup->Item(0)->Text(), L"HKCU\\" + AnsiToWide(kKey) + L"   ")
        << "the key without its trailing backslash, three blanks, no value name";
    EXPECT_EQ(heading->Item(1)->Item(0)->Text(), L"HKCU\\Software\\Korvelle.Test\\Review\\Three0   Value");
    EXPECT_FALSE(Data(keyGroup->Item(0))->Locked);
    for (int i = 1; i < 4; ++i)
        EXPECT_TRUE(Data(keyGroup->Item(i))->Locked);
    EXPECT_EQ(Data(keyGroup)->Group, keyGroup_);
    EXPECT_EQ(Data(keyGroup->Item(0))->Item, key_);
    EXPECT_EQ(keyGroup->StateIndex(), 1);
    EXPECT_EQ(keyGroup->Item(0)->StateIndex(), 1);
    Shot(L"review_registry");

    // The user cannot collapse the level-0 heading; a group, yes.
    CollapseByKey(tree, heading);
    EXPECT_TRUE(heading->Expanded());
    CollapseByKey(tree, keyGroup);
    EXPECT_FALSE(keyGroup->Expanded());
    Shot(L"review_registry_collapsed_group");
    keyGroup->Expand();

    // The speed-up category found nothing: no heading.
    GoToStep(kStepSpeedUp);
    GoToStep(kStepReviewTweaks);
    EXPECT_TRUE(Tree().Roots().empty());
    Shot(L"review_tweaks_empty");
    // A group with a found size tells the space, whatever its count.
    GoToStep(kStepSpeedUp);
    GoToStep(kStepReviewFiles);
    ASSERT_EQ(Tree().Roots().size(), 1u);
    EXPECT_EQ(Tree().Roots()[0]->Text(), L"Clean up system items:");
    ASSERT_EQ(Tree().Roots()[0]->Count(), 1);
    EXPECT_EQ(Tree().Roots()[0]->Item(0)->Text(),
              GroupById(kCategoryClean, "temp-files")->GetCaption() + L"\u0008(Increase space by " +
                  AnsiToWide(FormatSize(1536)) + L")");
    EXPECT_EQ(Tree().Roots()[0]->Item(0)->Item(0)->Text(), L"C:\\Temp\\korvelle-test.tmp");
    Shot(L"review_files");
}

TEST_F(ReviewTree, ClicksToggleOnlyInsideTheBoxZones)
{
    ShowReview();
    TTreeNode* three = GroupNode(threeGroup_);
    ASSERT_NE(three, nullptr);
    TTreeNode* item = three->Item(0);
    TqvItem* model = Data(item)->Item;
    ASSERT_EQ(Tree().ScrollPosX(), 0);
    // Groups: 35 <= x < 56; items: 55 <= x < 76.
    struct TEdge {
        int x;
        bool toggles;
    };
    for (const TEdge& edge : {TEdge{34, false}, TEdge{35, true}, TEdge{55, true}, TEdge{56, false}}) {
        SCOPED_TRACE("group x " + std::to_string(edge.x));
        const bool before = threeGroup_->Checked;
        Click(three, edge.x);
        EXPECT_EQ(threeGroup_->Checked, edge.toggles ? !before : before);
    }
    for (const TEdge& edge : {TEdge{54, false}, TEdge{55, true}, TEdge{75, true}, TEdge{76, false}}) {
        SCOPED_TRACE("item x " + std::to_string(edge.x));
        const bool before = model->Selected;
        Click(item, edge.x);
        EXPECT_EQ(model->Selected, edge.toggles ? !before : before);
    }

    // Scrolled 40 pixels to the right, the zones move with the content.
    SendMessageW(Tree().Handle(), WM_HSCROLL, MAKEWPARAM(SB_THUMBPOSITION, 40), 0);
    Pump();
    ASSERT_EQ(Tree().ScrollPosX(), 40) << "the long item makes the tree scroll";
    Shot(L"review_scrolled");
    for (const TEdge& edge : {TEdge{14, false}, TEdge{15, true}, TEdge{35, true}, TEdge{36, false}}) {
        SCOPED_TRACE("scrolled item x " + std::to_string(edge.x));
        const bool before = model->Selected;
        Click(item, edge.x, false, 40);
        EXPECT_EQ(model->Selected, edge.toggles ? !before : before);
    }
    for (const TEdge& edge : {TEdge{15, true}, TEdge{16, false}}) {
        SCOPED_TRACE("scrolled group x " + std::to_string(edge.x));
        const bool before = threeGroup_->Checked;
        Click(three, edge.x, false, 40);
        EXPECT_EQ(threeGroup_->Checked, edge.toggles ? !before : before);
    }
    SendMessageW(Tree().Handle(), WM_HSCROLL, MAKEWPARAM(SB_THUMBPOSITION, 0), 0);
}

TEST_F(ReviewTree, GroupsAndItemsFollowEachOther)
{
    ShowReview();
    TTreeNode* three = GroupNode(threeGroup_);
    ASSERT_NE(three, nullptr);
    auto selected = [&](int i) { return Data(three->Item(i))->Item->Selected; };

    // Unchecking every item unchecks the group; the group stays uniform.
    for (int i = 0; i < 3; ++i) {
        Click(three->Item(i), 65);
        EXPECT_EQ(threeGroup_->Checked, i < 2) << "item " << i;
        EXPECT_EQ(Data(three)->Uniform, i == 2) << "item " << i;
    }
    EXPECT_EQ(three->StateIndex(), 0);
    // One item of an unchecked group: the group is checked and mixed.
    Click(three->Item(1), 65);
    EXPECT_TRUE(threeGroup_->Checked);
    EXPECT_FALSE(Data(three)->Uniform);
    EXPECT_EQ(three->Item(1)->StateIndex(), 1);
    Shot(L"review_mixed_group");
    // A mixed group's box checks it whole, never unchecks it.
    Click(three, 45);
    EXPECT_TRUE(threeGroup_->Checked);
    EXPECT_TRUE(Data(three)->Uniform);
    EXPECT_TRUE(selected(0) && selected(1) && selected(2));
    // A uniform group's box inverts it and its children.
    Click(three, 45);
    EXPECT_FALSE(threeGroup_->Checked);
    EXPECT_FALSE(selected(0) || selected(1) || selected(2));
    Click(three, 45);
    EXPECT_TRUE(selected(0) && selected(1) && selected(2));
}

TEST_F(ReviewTree, LockedDetailsNeverToggleAndCountWithTheirKey)
{
    ShowReview();
    TTreeNode* group = GroupNode(keyGroup_);
    ASSERT_NE(group, nullptr);
    const int before = SectionSelectedCount(engine_->FixCategory.get());
    EXPECT_EQ(before, 8);
    TTreeNode* detail = group->Item(2);
    ASSERT_TRUE(Data(detail)->Locked);
    Click(detail, 65);
    EXPECT_TRUE(Data(detail)->Item->Selected) << "a locked item does not toggle";
    EXPECT_EQ(SectionSelectedCount(engine_->FixCategory.get()), before);

    Click(group->Item(0), 65);
    EXPECT_FALSE(key_->Selected);
    EXPECT_EQ(SectionSelectedCount(engine_->FixCategory.get()), before - 4)
        << "the details go with their key";
    // The siblings still hold checked details: the group is checked but mixed.
    EXPECT_TRUE(keyGroup_->Checked);
    EXPECT_FALSE(Data(group)->Uniform);
    Shot(L"review_locked_details");
    Click(group->Item(0), 65);
    EXPECT_EQ(SectionSelectedCount(engine_->FixCategory.get()), before);
}

TEST_F(ReviewTree, DoubleClicksToggleTwiceAndNeverCollapse)
{
    ShowReview();
    TTreeNode* three = GroupNode(threeGroup_);
    ASSERT_NE(three, nullptr);
    ASSERT_TRUE(three->Expanded());
    const bool before = Data(three->Item(0))->Item->Selected;
    Click(three->Item(0), 65, true);
    EXPECT_EQ(Data(three->Item(0))->Item->Selected, before) << "two toggles";
    Click(three, 45, true);
    EXPECT_TRUE(three->Expanded()) << "a double click on a group does not collapse it";
    Click(three, 200, true);
    EXPECT_TRUE(three->Expanded());
}

TEST_F(ReviewTree, RowsAreDrawnByTheTreeOwner)
{
    ShowReview();
    TTreeView& tree = Tree();
    TTreeNode* three = GroupNode(threeGroup_);
    ASSERT_NE(three, nullptr);
    for (bool themed : {true, false}) {
        SCOPED_TRACE(themed ? "themed" : "classic");
        gThemed = themed;
        SetHtmlLabelThemeQuery(&ThemeQuery);
        EXPECT_EQ(Wizard().steps->ThemedBoxes(), themed && HtmlLabelThemeActive());
        tree.Invalidate();
        Pump(20);
        TBitmap picture(tree.Width(), tree.Height());
        tree.PaintTo(picture.Canvas().Handle(), 0, 0);
        const RECT row = three->DisplayRect(false);
        auto pixel = [&](int x, int y) {
            const uint8_t* p = picture.ScanLine(y) + x * 4;
            return static_cast<TColor>(p[0] << 16 | p[1] << 8 | p[2]);
        };
        EXPECT_EQ(pixel(400, row.top + 2), 0xD1D1D1u) << "the group row";
        EXPECT_EQ(pixel(400, row.bottom - 2), 0xFFFFFFu) << "the gap between rows";
        EXPECT_EQ(pixel(8, row.top + 2), 0xFFFFFFu) << "the row starts at 13";
        // The extra text is drawn in its own colour after the caption.
        bool red = false;
        for (int x = 60; x < tree.Width() && !red; ++x)
            for (int y = row.top; y < row.bottom - 3 && !red; ++y)
                red = pixel(x, y) == 0x1D109C;
        EXPECT_TRUE(red);
        Shot(themed ? L"review_boxes_themed" : L"review_boxes_classic");
    }
}

} // namespace
