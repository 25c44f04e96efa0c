#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "veltrinax/word_table.hpp"

namespace {

using namespace veltrinax;

text::HashKey secret_from(std::mt19937_64& rng) {
    text::HashKey key{};
    for (std::uint64_t& word : key.words) word = rng();
    key.mask = ~std::uint64_t{0};
    key.probe_limit = text::probe_limit;
    return key;
}

TEST(WordTable, AnswersAsAnOrderedMapWhetherHashedOrFallenBack) {
    std::mt19937_64 rng(5);
    text::HashKey degenerate = secret_from(rng);
    degenerate.mask = 0;
    degenerate.probe_limit = 1;
    const struct {
        std::string_view name;
        text::HashKey key;
        std::size_t floor;
        bool falls_back;
    } cases[] = {
        {"hashed", secret_from(rng), 16, false},
        {"hashed from a small floor", secret_from(rng), 2, false},
        {"every key in one slot", degenerate, 16, true},
    };
    for (const auto& c : cases) {
        text::WordTable<std::uint64_t, std::uint32_t> table(c.floor, c.key);
        text::WordTable<std::uint32_t, std::uint64_t> narrow(c.floor, c.key);
        std::map<std::uint64_t, std::uint32_t> expected;
        std::map<std::uint32_t, std::uint64_t> expected_narrow;
        for (std::uint32_t i = 0; i < 20000; ++i) {
            // Few distinct keys, so that most operations meet a key already there.
            const std::uint64_t key = (rng() % 3000) << (rng() % 2 ? 32 : 0);
            const auto narrow_key = static_cast<std::uint32_t>(rng() % 3000);
            const auto [value, added] = table.try_emplace(key, i);
            const auto [was, was_added] = expected.try_emplace(key, i);
            ASSERT_EQ(added, was_added) << c.name << " " << key;
            ASSERT_EQ(*value, was->second) << c.name << " " << key;
            if (i % 3 == 0) *value = was->second = i;  // the pointer is the stored value
            const auto [narrow_value, narrow_added] = narrow.try_emplace(narrow_key, i);
            ASSERT_EQ(narrow_added, expected_narrow.try_emplace(narrow_key, i).second) << c.name;
            ASSERT_EQ(*narrow_value, expected_narrow.at(narrow_key)) << c.name;
            const std::uint64_t probe = rng() % 4000;
            const std::uint32_t* found = table.find(probe);
            const auto it = expected.find(probe);
            ASSERT_EQ(found != nullptr, it != expected.end()) << c.name << " " << probe;
            if (found != nullptr) {
                ASSERT_EQ(*found, it->second) << c.name;
            }
        }
        EXPECT_EQ(table.size(), expected.size()) << c.name;
        EXPECT_EQ(table.ordered(), c.falls_back) << c.name;
    }
}

// The key shapes of the path search: (node << 32 | hops) keys filled hop count by
// hop count, (region << 32 | node) keys, and plain node indices; consecutive,
// strided, and differing only in the high half.
std::vector<std::pair<std::string, std::vector<std::uint64_t>>> structured_shapes() {
    std::vector<std::pair<std::string, std::vector<std::uint64_t>>> shapes;
    auto grid = [&](std::string name, std::uint64_t outer, std::uint64_t inner, bool outer_high) {
        std::vector<std::uint64_t> keys;
        for (std::uint64_t a = 0; a < outer; ++a) {
            for (std::uint64_t b = 0; b < inner; ++b) keys.push_back(outer_high ? (a << 32) | b : (b << 32) | a);
        }
        shapes.emplace_back(std::move(name), std::move(keys));
    };
    grid("40 hop counts x 250 nodes", 40, 250, false);
    grid("100 hop counts x 100 nodes", 100, 100, false);
    grid("1 hop count x 5,000 nodes", 1, 5000, false);
    grid("40 regions x 250 nodes", 40, 250, true);
    auto line = [&](std::string name, auto key_of) {
        std::vector<std::uint64_t> keys;
        for (std::uint64_t i = 0; i < 5000; ++i) keys.push_back(key_of(i));
        shapes.emplace_back(std::move(name), std::move(keys));
    };
    line("consecutive", [](std::uint64_t i) { return i; });
    line("strided by 4,096", [](std::uint64_t i) { return i * 4096; });
    line("high half only", [](std::uint64_t i) { return i << 32; });
    return shapes;
}

// How many of `secrets` keys send the table into its ordered form on `keys`.
template <class Mix>
int fallbacks(const std::vector<std::uint64_t>& keys, int secrets) {
    std::mt19937_64 rng(20261207);
    int fell = 0;
    for (int s = 0; s < secrets; ++s) {
        text::WordTable<std::uint64_t, std::uint32_t, Mix> table(16, secret_from(rng));
        for (std::uint64_t key : keys) table.try_emplace(key, 0);
        fell += table.ordered();
    }
    return fell;
}

// The former mixing, one multiply-fold round: the low bits of its product hang
// on the low half of the key alone.
struct OneRoundMix {
    static std::uint64_t hash(std::uint64_t word, const text::HashKey& key) noexcept {
        return text::detail::fold_multiply(word ^ key.words[0], key.words[1]);
    }
};

TEST(WordTable, StructuredKeysNeverFallBackUnderAThousandSecrets) {
    for (const auto& [name, keys] : structured_shapes()) {
        EXPECT_EQ(fallbacks<text::KeyedWordMix>(keys, 1000), 0) << name;
    }
    // The shapes are hard enough to tell: one round of mixing clusters them into
    // the fallback for about one secret in a hundred.
    const auto shapes = structured_shapes();
    for (std::size_t i : {std::size_t{2}, shapes.size() - 1}) {
        EXPECT_GT(fallbacks<OneRoundMix>(shapes[i].second, 1000), 0) << shapes[i].first;
    }
}

}  // namespace
