#pragma once
// Shared helpers of the HTML units' tests.

#include "controls/KvHtmlRendererW.h"
#include "controls/KvWideStrings.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace ctest {

// Every test of this fixture must give back each buffer it took.
class LiveBufferTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(KvCountsBuffers()) << "the test build must count live buffers";
        start_ = KvLiveBuffers();
    }
    void TearDown() override { EXPECT_EQ(start_, KvLiveBuffers()) << "buffers leaked"; }
    long start_ = 0;
};

// Runs fn, which must throw E with exactly the given what().
template <typename E>
::testing::AssertionResult ThrowsWith(const std::function<void()>& fn, const std::string& text)
{
    try {
        fn();
    } catch (const E& e) {
        if (text == e.what())
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure()
               << "message \"" << e.what() << "\", expected \"" << text << "\"";
    } catch (const std::exception& e) {
        return ::testing::AssertionFailure() << "other exception: " << e.what();
    }
    return ::testing::AssertionFailure() << "nothing thrown, expected \"" << text << "\"";
}

// Where the last layout put the text of every string node inside parent, in
// tree order.
inline std::vector<RECT> StringRects(const TParentNodeW& parent)
{
    std::vector<RECT> rects;
    TTopLevelNodeEnumeratorW strings(parent, &IsNodeClass<TStringNodeW>);
    while (TNodeW* node = strings.Next()) {
        const TRectVectorW& r = static_cast<TStringNodeW*>(node)->Rects;
        for (int32_t i = 0; i < r.Count(); ++i)
            rects.push_back(r.At(i));
    }
    return rects;
}

inline std::string Narrow(const WideString& s)
{
    std::string out;
    for (char16_t c : s.View())
        out += c < 128 ? static_cast<char>(c) : '?';
    return out;
}

inline WideString Wide(const std::string& ascii)
{
    std::u16string u(ascii.begin(), ascii.end());
    return WideString(u);
}

} // namespace ctest
