#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "veltrinax/text.hpp"

namespace {

using namespace veltrinax;

// Texts that agree on their first 12 or 16 bytes, differ only in length, or hold
// NUL and high bytes: the cases a packed prefix alone cannot settle.
std::vector<std::string> awkward_texts() {
    std::vector<std::string> texts;
    const std::string stem = "sample-0000-";  // 12 bytes
    for (const std::string& tail : std::vector<std::string>{"", "a", "b", "ab", "aaaaaaaaaaa", "aaaaaaaaaab", std::string(1, '\0'),
                             std::string("\0a", 2), "\xff", "\x7f"}) {
        texts.push_back(stem + tail);
        texts.push_back(stem + "XXXX" + tail);
        texts.push_back(tail);
    }
    texts.push_back(stem);  // repeated: equal texts keep their positions' order
    std::mt19937 rng(7);
    std::shuffle(texts.begin(), texts.end(), rng);
    return texts;
}

TEST(ByteOrder, MatchesAStableSortByBytes) {
    const auto texts = awkward_texts();
    const auto order = text::byte_order(texts.size(), [&](std::size_t i) { return std::string_view(texts[i]); });
    std::vector<std::uint32_t> expected(texts.size());
    std::iota(expected.begin(), expected.end(), 0u);
    std::stable_sort(expected.begin(), expected.end(), [&](std::uint32_t a, std::uint32_t b) {
        return std::string_view(texts[a]) < std::string_view(texts[b]);
    });
    EXPECT_EQ(order, expected);
}

// Both hash indexes start small and grow; each must find every text it was given,
// keep the first value for a repeated text, and find nothing it was not given.
template <template <class> class Index>
void check_index_through_growth() {
    std::vector<std::string> texts = awkward_texts();
    for (int i = 0; i < 5000; ++i) texts.push_back("s" + std::to_string(i * 7919));
    auto key = [&](std::uint32_t v) { return std::string_view(texts[v]); };
    Index<decltype(key)> index(1, key);
    std::vector<std::uint32_t> first(texts.size());
    for (std::uint32_t i = 0; i < texts.size(); ++i) {
        auto earlier = std::find(texts.begin(), texts.begin() + i, texts[i]);
        first[i] = static_cast<std::uint32_t>(earlier - texts.begin());
        EXPECT_EQ(index.insert(texts[i], i), first[i]) << i;
    }
    for (std::uint32_t i = 0; i < texts.size(); ++i) EXPECT_EQ(index.insert(texts[i], 999999), first[i]) << i;
}

TEST(TextIndexes, FindEveryTextAfterGrowing) {
    check_index_through_growth<text::TextIndex>();
    check_index_through_growth<text::TextSet>();
    const std::vector<std::string> texts{"a", "b"};
    auto key = [&](std::uint32_t v) { return std::string_view(texts[v]); };
    text::TextIndex<decltype(key)> index(2, key);
    index.insert("a", 0);
    EXPECT_EQ(index.find("b"), index.absent);
    EXPECT_EQ(index.find(std::string_view("a\0", 2)), index.absent);
}

}  // namespace
