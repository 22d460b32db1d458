// The tray program reads the postponed start-up list with its own build of
// the utility layer, whose XML reader decodes shorter entities: the items the
// main program writes must come back unchanged there too.

#include "KorvTest.h"
#include "../engine/StartupGolden.h"

#include "engine/qvStartup.h"

#include <memory>
#include <vector>

namespace {

TEST(TextStartupListTray, ReadsTheItemsTheMainProgramWrites)
{
    std::vector<std::unique_ptr<TqvRegRunItem>> items;
    int32_t highest = 0;
    EXPECT_TRUE(ReadStartupListText(golden::kStartupXml, false, items, highest));
    ASSERT_EQ(static_cast<size_t>(golden::kItemsWithLines), items.size());
    for (int i = 0; i < golden::kItemsWithLines; ++i) {
        const golden::RunItem& g = golden::kRunItems[i];
        SCOPED_TRACE(g.name);
        EXPECT_FALSE(items[i]->PerUser);
        EXPECT_EQ(g.app, items[i]->App);
        EXPECT_EQ(g.name, items[i]->Name);
        EXPECT_EQ(g.value, items[i]->Value);
        EXPECT_EQ(g.priority, items[i]->Priority);
        EXPECT_EQ(g.is64, items[i]->Is64);
        EXPECT_EQ(g.expand, items[i]->Expand);
    }
    EXPECT_EQ(10, highest);
}

TEST(TextStartupListTray, ADamagedListKeepsTheItemsReadSoFar)
{
    std::vector<std::unique_ptr<TqvRegRunItem>> items;
    int32_t highest = 0;
    const std::string cut = golden::kStartupXml.substr(0, golden::kStartupXml.find("</startup>"));
    EXPECT_FALSE(ReadStartupListText(cut, true, items, highest));
    EXPECT_EQ(static_cast<size_t>(golden::kItemsWithLines), items.size());
    ASSERT_FALSE(items.empty());
    EXPECT_TRUE(items[0]->PerUser);
}

} // namespace
