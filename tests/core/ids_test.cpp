#include <gtest/gtest.h>

#include <string>

#include "veltrinax/ids.hpp"

namespace {

using veltrinax::DataError;
using veltrinax::SampleId;

struct GrammarCase {
    std::string text;
    std::string_view reason;  // empty: valid
};

TEST(Identifiers, GrammarAndReasonOrder) {
    const std::string two_byte = "\xc3\xa9";  // one character, two bytes
    std::string sixty_four_chars, sixty_five_chars;
    for (int i = 0; i < 64; ++i) sixty_four_chars += two_byte;
    sixty_five_chars = sixty_four_chars + two_byte;
    const GrammarCase cases[] = {
        {"", "identifier is empty"},
        {std::string(128, 'a'), ""},
        {std::string(129, 'a'), "identifier is longer than 128 bytes"},
        {std::string(129, ' '), "identifier is longer than 128 bytes"},
        {sixty_four_chars, "identifier contains unsupported characters"},
        {sixty_five_chars, "identifier is longer than 128 bytes"},
        {" a", "identifier contains unsupported characters"},
        {"a ", "identifier contains unsupported characters"},
        {"a b", "identifier contains unsupported characters"},
        {"a/b", "identifier contains unsupported characters"},
        {"a:b", "identifier contains unsupported characters"},
        {"a@b", "identifier contains unsupported characters"},
        {"-", ""},
        {".", ""},
        {"_", ""},
        {"0", ""},
        {"...", ""},
        {"Sample-01.raw_A", ""},
    };
    for (const GrammarCase& c : cases) {
        auto r = SampleId::make(c.text);
        if (c.reason.empty()) {
            ASSERT_TRUE(r.has_value()) << c.text;
            EXPECT_EQ(r->str(), c.text);
            continue;
        }
        ASSERT_FALSE(r.has_value()) << c.text;
        const auto* e = r.error().get<DataError::InvalidIdentifier>();
        ASSERT_NE(e, nullptr);
        EXPECT_EQ(e->reason, c.reason);
        EXPECT_EQ(e->value, c.text);
        EXPECT_EQ(r.error().to_string(), "invalid identifier `" + c.text + "`: " + std::string(c.reason));
    }
}

TEST(Identifiers, OrderIsBytewiseWithPrefixesFirst) {
    auto id = [](std::string_view s) { return *SampleId::make(s); };
    EXPECT_LT(id("Z"), id("a"));  // every upper-case letter before every lower-case one
    EXPECT_LT(id("ab"), id("abc"));
    EXPECT_LT(id("a-"), id("a."));
    EXPECT_NE(id("A"), id("a"));
}

TEST(Identifiers, ReadFailuresReachTheCallerAsReaderErrors) {
    auto r = veltrinax::json::from_text<std::vector<SampleId>>(R"(["ok", ""])");
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().to_string(), "invalid identifier ``: identifier is empty at line 1 column 10");
    auto keys = veltrinax::json::from_text<veltrinax::json::SortedMap<veltrinax::TargetId, std::uint64_t>>(R"({"a b":1})");
    EXPECT_FALSE(keys.has_value());
}

}  // namespace

// The 16-byte text switches from in-place to heap storage at 16 bytes; every
// length around that edge must survive copies, moves and self-assignment.
TEST(CompactText, KeepsEveryLengthThroughCopiesAndMoves) {
    using veltrinax::ids::CompactText;
    for (std::size_t n : {0, 1, 3, 4, 7, 8, 14, 15, 16, 17, 31, 128, 70000}) {
        std::string text;
        for (std::size_t i = 0; i < n; ++i) text += static_cast<char>('a' + i % 26);
        text.replace(0, n ? 1 : 0, n ? std::string(1, '\0') : "");  // a NUL byte is data too
        CompactText a(text);
        EXPECT_EQ(a.view(), text) << n;
        CompactText copy(a);
        CompactText moved(std::move(copy));
        EXPECT_EQ(moved.view(), text) << n;
        EXPECT_EQ(copy.view(), "") << n;  // NOLINT(bugprone-use-after-move): a moved-from text is empty
        CompactText& self = a;
        a = self;
        EXPECT_EQ(a.view(), text) << n;
        a.assign(a.view().substr(n / 2));  // from its own bytes, across the storage edge
        EXPECT_EQ(a.view(), text.substr(n / 2)) << n;
        CompactText target("a long text kept on the heap before");
        target = moved;
        EXPECT_EQ(target.view(), text) << n;
        target = CompactText("short");
        EXPECT_EQ(target.view(), "short") << n;
    }
}
