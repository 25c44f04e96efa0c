#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "support.hpp"
#include "veltrinax/model.hpp"
#include "veltrinax/relation.hpp"
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

// Pair lists whose order a sort by words can get wrong: texts that end inside a
// word or on its boundary, hold NUL or high bytes, are prefixes of one another,
// share long prefixes, or part from the rest at every word; and repeated pairs.
std::vector<std::pair<std::string, std::vector<std::pair<std::string, std::string>>>> pair_cases() {
    std::mt19937 rng(11);
    auto pick = [&](std::size_t n) { return static_cast<std::size_t>(rng() % n); };
    auto number = [&](std::size_t width) {
        std::string digits;
        for (std::size_t i = 0; i < width; ++i) digits += static_cast<char>('0' + pick(10));
        return digits;
    };
    std::vector<std::pair<std::string, std::vector<std::pair<std::string, std::string>>>> cases;
    auto add = [&](std::string name, std::size_t count, auto first, auto second) {
        std::vector<std::pair<std::string, std::string>> pairs;
        for (std::size_t i = 0; i < count; ++i) pairs.emplace_back(first(i), second(i));
        cases.emplace_back(std::move(name), std::move(pairs));
    };
    const std::vector<std::string> awkward = awkward_texts();
    add("awkward texts in both places", 2000, [&](std::size_t) { return awkward[pick(awkward.size())]; },
        [&](std::size_t) { return awkward[pick(awkward.size())]; });
    std::vector<std::string> runs;  // "", "a", "aa", ... and the same ending in NUL or 0xFF
    for (std::size_t k = 0; k <= 40; ++k) {
        runs.push_back(std::string(k, 'a'));
        runs.push_back(std::string(k, 'a') + '\0');
        runs.push_back(std::string(k, 'a') + '\xff');
    }
    add("prefixes of one another, across word boundaries", 3000, [&](std::size_t) { return runs[pick(runs.size())]; },
        [&](std::size_t) { return runs[pick(runs.size())]; });
    add("128-byte texts alike but for their end", 3000, [&](std::size_t) { return std::string(120, 't') + number(8); },
        [&](std::size_t) { return std::string(120, 'r') + number(8); });
    add("one first text, seconds alike up to their last byte", 3000,
        [](std::size_t) { return std::string(128, 't'); },
        [&](std::size_t) { return std::string(127, 'r') + static_cast<char>('a' + pick(26)); });
    add("at each word one pair parts from the rest", 3000,
        [&](std::size_t i) {
            std::string text(128, 't');
            if (i < 16) text[8 * i + pick(8)] = static_cast<char>(pick(2) ? 'a' : 'z');
            return text;
        },
        [&](std::size_t i) {
            std::string text = std::string(120, 'r') + number(8);
            if (i >= 16 && i < 32) text[8 * (i - 16) + pick(8)] = static_cast<char>(pick(2) ? 'a' : 'z');
            return text;
        });
    add("a few distinct pairs, each many times", 3000, [&](std::size_t) { return "t" + number(1); },
        [&](std::size_t) { return "n" + number(1); });
    add("one pair", 1, [](std::size_t) { return std::string("t"); }, [](std::size_t) { return std::string("n"); });
    add("no pair", 0, [](std::size_t) { return std::string(); }, [](std::size_t) { return std::string(); });
    return cases;
}

TEST(PairOrder, SortsAsPairsOfTextsAndMarksEachNewPair) {
    for (const auto& [name, owned] : pair_cases()) {
        const std::vector<text::TextPair> pairs(owned.begin(), owned.end());
        std::vector<text::TextPair> expected = pairs;
        std::sort(expected.begin(), expected.end());
        // The partitions as drawn, and the outright sort reached at once or after one round.
        for (const std::size_t rounds : {std::size_t{64}, std::size_t{0}, std::size_t{1}}) {
            SCOPED_TRACE(name + ", rounds " + std::to_string(rounds));
            const text::PairOrder order = text::detail::pair_order(pairs, rounds);
            ASSERT_EQ(order.positions.size(), pairs.size());
            ASSERT_EQ(order.new_pair.size(), pairs.size());
            std::vector<std::uint32_t> seen = order.positions;
            std::sort(seen.begin(), seen.end());
            for (std::uint32_t i = 0; i < seen.size(); ++i) ASSERT_EQ(seen[i], i);
            for (std::size_t i = 0; i < pairs.size(); ++i) {
                ASSERT_EQ(pairs[order.positions[i]], expected[i]) << "place " << i;
                EXPECT_EQ(order.new_pair[i], i == 0 || expected[i] != expected[i - 1]) << "place " << i;
            }
        }
    }
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

// Turns the degenerate hash on or off for one scope and restores the setting it
// found (the suite also runs whole under the degenerate hash).
class HashMode {
public:
    explicit HashMode(bool degenerate) : previous_(text::testing::set_degenerate_hash(degenerate)) {}
    ~HashMode() { text::testing::set_degenerate_hash(previous_); }
    HashMode(const HashMode&) = delete;
    HashMode& operator=(const HashMode&) = delete;

private:
    bool previous_;
};

// Texts that stress the parts of an index a packed prefix cannot settle, beside
// plain short ones: the awkward texts above, texts past 16 bytes that share long
// prefixes, and texts around the 0xFFFF bytes where a slot's length saturates.
std::vector<std::string> index_pool() {
    std::vector<std::string> pool = awkward_texts();
    const std::string shared(300, 'p');
    for (int i = 0; i < 40; ++i) {
        pool.push_back(shared + std::to_string(i));
        pool.push_back(std::to_string(i) + shared);
        pool.push_back("sample-0000-XXXX" + std::string(static_cast<std::size_t>(i), 'z'));
    }
    for (std::size_t length : {0xFFFEu, 0xFFFFu, 0x10000u, 0x11170u}) {
        for (char last : {'a', 'b'}) pool.push_back(std::string(length - 1, 'L') + last);
    }
    for (int i = 0; i < 2000; ++i) pool.push_back("s-" + std::to_string(i * 7919));
    return pool;
}

// One seeded script of inserts, assigns and finds over `pool`, replayed on an index
// that starts at its smallest table, against a map. Values are pool positions
// plus a multiple of the pool's size, so the key function can give back the text.
struct IndexRun {
    std::vector<std::uint32_t> answers;
    std::size_t size = 0;
    bool ordered = false;
};

// The seeded script itself: `insert` and `find` answer a value, `assign` none.
template <class Insert, class Assign, class Find>
std::vector<std::uint32_t> replay_script(const std::vector<std::string>& pool, bool inserts_only, Insert insert,
                                         Assign assign, Find find) {
    const auto n = static_cast<std::uint32_t>(pool.size());
    std::mt19937 rng(11);
    std::vector<std::uint32_t> answers;
    for (std::uint32_t step = 0; step < 6 * n; ++step) {
        const std::uint32_t at = rng() % n;
        const std::uint32_t value = at + n * (step % 4);
        const unsigned kind = inserts_only ? 0 : rng() % 4;
        if (kind == 0 || kind == 1) {
            answers.push_back(insert(pool[at], value));
        } else if (kind == 2) {
            assign(pool[at], value);
        } else {
            answers.push_back(find(pool[at]));
        }
    }
    return answers;
}

IndexRun run_text_index(const std::vector<std::string>& pool, bool inserts_only, bool use_set) {
    const auto n = static_cast<std::uint32_t>(pool.size());
    // An index reads the text of a value only once the call that stored it has
    // returned (callers record the text after the insert that numbers it).
    std::vector<bool> handed_in(4 * n, false);
    auto key = [&](std::uint32_t v) {
        EXPECT_TRUE(handed_in[v]) << "text of value " << v << " read while it was being stored";
        return std::string_view(pool[v % n]);
    };
    text::TextIndex<decltype(key)> index(1, key);
    text::TextSet<decltype(key)> set(1, key);
    IndexRun run;
    run.answers = replay_script(
        pool, inserts_only,
        [&](std::string_view t, std::uint32_t value) {
            const std::uint32_t stored = use_set ? set.insert(t, value) : index.insert(t, value);
            handed_in[value] = true;
            return stored;
        },
        [&](std::string_view t, std::uint32_t value) {
            index.assign(t, value);
            handed_in[value] = true;
        },
        [&](std::string_view t) { return index.find(t); });
    if (!use_set) {
        for (const std::string& t : pool) run.answers.push_back(index.find(t + "#"));
    }
    run.size = use_set ? set.size() : index.size();
    run.ordered = use_set ? set.ordered() : index.ordered();
    return run;
}

IndexRun run_reference(const std::vector<std::string>& pool, bool inserts_only) {
    std::map<std::string_view, std::uint32_t> map;
    IndexRun run;
    run.answers = replay_script(
        pool, inserts_only,
        [&](std::string_view t, std::uint32_t value) { return map.try_emplace(t, value).first->second; },
        [&](std::string_view t, std::uint32_t value) { map[t] = value; },
        [&](std::string_view t) {
            auto it = map.find(t);
            return it == map.end() ? 0xFFFFFFFFu : it->second;
        });
    if (!inserts_only) run.answers.insert(run.answers.end(), pool.size(), 0xFFFFFFFFu);
    run.size = map.size();
    return run;
}

// Insert keeps the first value, assign replaces it, find answers what a map would:
// with the keyed hash, and with every text in one slot, where each index passes
// its probe limit and carries on in its ordered form.
TEST(TextIndexes, AnswerAlikeThroughTheOrderedFallback) {
    const std::vector<std::string> pool = index_pool();
    struct Case {
        const char* name;
        bool use_set;
    };
    for (const Case& c : {Case{"TextIndex", false}, Case{"TextSet", true}}) {
        const IndexRun expected = run_reference(pool, c.use_set);
        for (bool degenerate : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (degenerate ? " degenerate" : " keyed"));
            const HashMode mode(degenerate);
            const IndexRun got = run_text_index(pool, c.use_set, c.use_set);
            EXPECT_EQ(got.answers, expected.answers);
            EXPECT_EQ(got.size, expected.size);
            EXPECT_EQ(got.ordered, degenerate);
        }
    }
}

// Identifiers as documents number them stay within the probe limit under the keyed
// hash, the long ones differing only past their first 16 bytes too: the ordered
// form is for crafted input.
TEST(TextIndexes, NumberedIdentifiersStayHashed) {
    const HashMode mode(false);
    std::vector<std::string> ids;
    for (int i = 0; i < (1 << 18); ++i) ids.push_back((i % 2 ? "s-" : "observation-0000000") + std::to_string(i));
    auto key = [&](std::uint32_t v) { return std::string_view(ids[v]); };
    text::TextIndex<decltype(key)> index(1, key);
    text::TextSet<decltype(key)> set(ids.size(), key);
    for (std::uint32_t i = 0; i < ids.size(); ++i) {
        index.insert(ids[i], i);
        set.insert(ids[i], i);
    }
    EXPECT_FALSE(index.ordered());
    EXPECT_FALSE(set.ordered());
    EXPECT_EQ(index.size(), ids.size());
    EXPECT_EQ(set.size(), ids.size());
}

// ---------------------------------------------------------------------------
// Documents of 20,000 ids whose every id shares one slot, through the checks that
// index them: the outcome is the one the keyed hash gives.
// ---------------------------------------------------------------------------

std::string id_list(const std::string& stem, std::size_t count, std::size_t step = 1, std::size_t first = 0,
                    const std::string& extra = "") {
    std::string out = "[";
    for (std::size_t i = first; i < count; i += step) {
        if (out.size() > 1) out += ",";
        out += "\"" + stem + std::to_string(i) + "\"";
    }
    if (!extra.empty()) out += (out.size() > 1 ? "," : "") + extra;
    return out + "]";
}

constexpr std::size_t rows = 20000;

// Row i: observation o-i of sample s-(i/2), grouped by the sample's parity (sample
// `regrouped` joins the odd group); every fourteenth row, an odd one, is an
// augmented copy of the row before it, of the same sample.
std::string relation_table(std::size_t duplicate_row = rows, std::size_t regrouped = rows) {
    std::string out = R"({"rows":[)";
    for (std::size_t i = 0; i < rows; ++i) {
        const std::size_t sample = i / 2;
        const std::size_t observation = i == duplicate_row ? 4321 : i;
        const std::size_t group = sample == regrouped ? 1 : sample % 2;
        if (i) out += ",";
        out += R"({"observation_id":"o-)" + std::to_string(observation) + R"(","sample_id":"s-)" +
               std::to_string(sample) + R"(","group_id":"g-)" + std::to_string(group) + "\"";
        if (i % 14 == 7) out += R"(,"augmented":true,"origin_id":"o-)" + std::to_string(i - 1) + "\"";
        out += "}";
    }
    return out + "]}";
}

// Samples s-0..s-9999; fold f1 validates the even ones, f2 the odd ones.
std::string fold_set(const std::string& universe_extra = "", const std::string& f2_validation_extra = "") {
    const std::size_t samples = rows / 2;
    return R"({"id":"cv","sample_ids":)" + id_list("s-", samples, 1, 0, universe_extra) +
           R"(,"folds":[{"fold_id":"f1","train_sample_ids":)" + id_list("s-", samples, 2, 1) +
           R"(,"validation_sample_ids":)" + id_list("s-", samples, 2, 0) +
           R"(},{"fold_id":"f2","train_sample_ids":)" + id_list("s-", samples, 2, 0) +
           R"(,"validation_sample_ids":)" + id_list("s-", samples, 2, 1, f2_validation_extra) + "}]}";
}

TEST(TextIndexes, DocumentsInOneSlotKeepTheirOutcome) {
    using veltrinax::testing::outcome;
    using veltrinax::testing::read;
    const std::string schema_head = R"({"dataset_id":"d","sources":[],"sample_ids":)";
    struct Case {
        const char* name;
        std::function<std::string()> check;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"schema", [&] { return outcome(read<DatasetSchema>(schema_head + id_list("id-", rows) + "}").validate()); },
         "ok"},
        {"schema with a repeat",
         [&] {
             return outcome(read<DatasetSchema>(schema_head + id_list("id-", rows, 1, 0, R"("id-12345")") + "}").validate());
         },
         "dataset schema contains duplicate sample ids"},
        {"relation table", [] { return outcome(read<SampleRelationTable>(relation_table()).validate()); }, "ok"},
        {"relation table with a repeated observation",
         [] { return outcome(read<SampleRelationTable>(relation_table(15000)).validate()); },
         "duplicate observation id `o-4321`"},
        {"fold set", [] { return outcome(read<FoldSet>(fold_set()).validate()); }, "ok"},
        {"fold set with a repeated sample", [] { return outcome(read<FoldSet>(fold_set(R"("s-777")")).validate()); },
         "fold set sample_ids contains duplicate sample `s-777`"},
        {"fold with a repeated sample",
         [] { return outcome(read<FoldSet>(fold_set("", R"("s-9001")")).validate()); },
         "fold `f2` validation_sample_ids contains duplicate sample `s-9001`"},
        {"fold set against the table",
         [] { return outcome(read<SampleRelationTable>(relation_table()).validate_fold_set(read<FoldSet>(fold_set()))); },
         "ok"},
        {"fold set against a table that regroups a sample",
         [] {
             return outcome(
                 read<SampleRelationTable>(relation_table(rows, 10)).validate_fold_set(read<FoldSet>(fold_set())));
         },
         "group: fold `f1` leaks group `g-1` across train/validation"},
    };
    for (const Case& c : cases) {
        for (bool degenerate : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (degenerate ? " degenerate" : " keyed"));
            const HashMode mode(degenerate);
            EXPECT_EQ(c.check(), c.expected);
        }
    }
}

}  // namespace
