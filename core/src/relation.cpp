#include "veltrinax/relation.hpp"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>

#include "veltrinax/text.hpp"

namespace veltrinax {

namespace {

// Row positions, sample ranks and group numbers are held in 32 bits: a document
// with four billion rows could not be held in memory as records anyway.
constexpr std::uint32_t none = std::numeric_limits<std::uint32_t>::max();

// An open-addressing hash table from borrowed texts to 32-bit values, for the
// checks where only membership or list order matters, never byte order. One flat
// array, no allocation per entry.
class ViewTable {
public:
    explicit ViewTable(std::size_t expected) { reset(capacity_for(expected)); }

    // The value stored for `key`; when the key is new, `value` is stored first and
    // `inserted` is set. The reference lasts until the next insertion.
    std::uint32_t& try_emplace(std::string_view key, std::uint32_t value, bool& inserted) {
        if (2 * (size_ + 1) > slots_.size()) grow();
        Slot& slot = slots_[slot_of(key, hash(key))];
        inserted = !slot.used;
        if (inserted) {
            slot = {key, value, true};
            ++size_;
        }
        return slot.value;
    }
    void insert_or_assign(std::string_view key, std::uint32_t value) {
        bool inserted = false;
        try_emplace(key, value, inserted) = value;
    }
    const std::uint32_t* find(std::string_view key) const {
        const Slot& slot = slots_[slot_of(key, hash(key))];
        return slot.used ? &slot.value : nullptr;
    }

private:
    struct Slot {
        std::string_view key;
        std::uint32_t value = 0;
        bool used = false;
    };

    static std::size_t capacity_for(std::size_t expected) {
        std::size_t capacity = 16;
        while (capacity < 2 * expected) capacity *= 2;
        return capacity;
    }
    void reset(std::size_t capacity) {
        slots_.assign(capacity, Slot{});
        mask_ = capacity - 1;
        size_ = 0;
    }
    static std::size_t hash(std::string_view key) noexcept { return std::hash<std::string_view>{}(key); }
    // The slot holding `key`, or the empty slot where it would go. At most half
    // the slots are used, so the probe ends.
    std::size_t slot_of(std::string_view key, std::size_t hash) const {
        std::size_t i = hash & mask_;
        while (slots_[i].used && slots_[i].key != key) i = (i + 1) & mask_;
        return i;
    }
    void grow() {
        std::vector<Slot> old = std::move(slots_);
        reset(old.size() * 2);
        for (const Slot& s : old) {
            if (!s.used) continue;
            slots_[slot_of(s.key, hash(s.key))] = s;
            ++size_;
        }
    }

    std::vector<Slot> slots_;
    std::size_t mask_ = 0;
    std::size_t size_ = 0;
};

template <class Items, class Key>
std::vector<std::string_view> sorted_views(const Items& items, Key key) {
    std::vector<std::string_view> views;
    views.reserve(items.size());
    for (const auto& item : items) views.push_back(key(item));
    std::sort(views.begin(), views.end());
    return views;
}

bool is_digest_text(std::string_view s) {
    if (s.size() != 64) return false;
    return std::all_of(s.begin(), s.end(), [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    });
}

Status group_leak(std::string_view fold_id, std::string_view group) {
    return std::unexpected(DataError::relation_boundary_violation(
        "group", text::format("fold `{}` leaks group `{}` across train/validation", fold_id, group)));
}

Status origin_leak(std::string_view fold_id, std::string_view origin) {
    return std::unexpected(DataError::relation_boundary_violation(
        "origin", text::format("fold `{}` leaks augmentation origin `{}` across train/validation", fold_id, origin)));
}

// ---------------------------------------------------------------------------
// The dense form of a fold set, for checking many folds over a large universe:
// each universe sample becomes its rank in byte order (so the smallest sample is
// the smallest rank), each group a small number, and a fold becomes two lists of
// ranks. Per fold, everything after the rank lookup is integer work.
// ---------------------------------------------------------------------------

class Universe {
public:
    // `sorted` must be sorted and free of repeats.
    explicit Universe(std::vector<std::string_view> sorted) : samples_(std::move(sorted)), ranks_(samples_.size()) {
        bool inserted = false;
        for (std::size_t r = 0; r < samples_.size(); ++r) {
            ranks_.try_emplace(samples_[r], static_cast<std::uint32_t>(r), inserted);
        }
    }
    std::size_t size() const noexcept { return samples_.size(); }
    std::string_view operator[](std::uint32_t rank) const noexcept { return samples_[rank]; }
    std::uint32_t rank(std::string_view sample) const {
        const std::uint32_t* r = ranks_.find(sample);
        return r ? *r : none;
    }
    // The ranks of `ids`, in list order; on meeting a sample outside the universe
    // it stops and returns a pointer to that sample.
    const SampleId* ranks_of(const std::vector<SampleId>& ids, std::vector<std::uint32_t>& out) const {
        out.clear();
        out.reserve(ids.size());
        for (const SampleId& id : ids) {
            out.push_back(rank(id.view()));
            if (out.back() == none) return &id;
        }
        return nullptr;
    }

private:
    std::vector<std::string_view> samples_;
    ViewTable ranks_;
};

// The group of each universe rank as a number (or none), and the group texts.
class DenseGroups {
public:
    explicit DenseGroups(std::size_t universe) : of_rank_(universe, none), numbers_(16) {}

    // Later assignments to a rank replace earlier ones.
    void assign(std::uint32_t rank, std::string_view group) {
        bool inserted = false;
        std::uint32_t& number = numbers_.try_emplace(group, static_cast<std::uint32_t>(names_.size()), inserted);
        if (inserted) names_.push_back(group);
        of_rank_[rank] = number;
    }
    bool empty() const noexcept { return names_.empty(); }
    std::size_t count() const noexcept { return names_.size(); }
    std::uint32_t of(std::uint32_t rank) const noexcept { return of_rank_[rank]; }
    std::string_view name(std::uint32_t number) const noexcept { return names_[number]; }

private:
    std::vector<std::uint32_t> of_rank_;
    std::vector<std::string_view> names_;
    ViewTable numbers_;
};

// Which side of the current fold each rank is on, and which groups are on its
// train side. Entries carry the stamp of the fold that set them, so moving to the
// next fold clears nothing.
class FoldSides {
public:
    FoldSides(std::size_t universe, std::size_t groups)
        : train_(universe, 0), validation_(universe, 0), groups_(groups, 0) {}

    void next_fold() noexcept { ++stamp_; }
    // False when the rank is already on that side in this fold.
    bool put_train(std::uint32_t rank) noexcept { return std::exchange(train_[rank], stamp_) != stamp_; }
    bool put_validation(std::uint32_t rank) noexcept { return std::exchange(validation_[rank], stamp_) != stamp_; }
    bool in_train(std::uint32_t rank) const noexcept { return train_[rank] == stamp_; }
    bool in_validation(std::uint32_t rank) const noexcept { return validation_[rank] == stamp_; }

    // The smallest validation rank whose group is also the group of a train
    // sample, or none.
    std::uint32_t first_group_leak(const std::vector<std::uint32_t>& train,
                                   const std::vector<std::uint32_t>& validation, const DenseGroups& groups) {
        for (std::uint32_t r : train) {
            if (std::uint32_t g = groups.of(r); g != none) groups_[g] = stamp_;
        }
        std::uint32_t leak = none;
        for (std::uint32_t r : validation) {
            std::uint32_t g = groups.of(r);
            if (g != none && groups_[g] == stamp_ && r < leak) leak = r;
        }
        return leak;
    }

private:
    std::vector<std::uint32_t> train_;
    std::vector<std::uint32_t> validation_;
    std::vector<std::uint32_t> groups_;
    std::uint32_t stamp_ = 0;
};

// The steps of one fold up to its unknown-sample rule, on sets of texts, for a
// fold that names a sample outside the universe (`unknown`, one such sample),
// which the dense form cannot rank: one of these steps then fails.
Status check_fold_with_unknown_samples(const FoldAssignment& fold, const Universe& universe,
                                       std::string_view unknown) {
    auto train = relation::unique_samples(text::format("fold `{}` train_sample_ids", fold.fold_id),
                                          fold.train_sample_ids);
    if (!train) return std::unexpected(std::move(train.error()));
    auto validation = relation::unique_samples(text::format("fold `{}` validation_sample_ids", fold.fold_id),
                                               fold.validation_sample_ids);
    if (!validation) return std::unexpected(std::move(validation.error()));
    if (validation->empty()) return fail(text::format("fold `{}` has no validation samples", fold.fold_id));
    // The smallest unknown sample over both lists.
    for (const relation::SampleSet* side : {&*train, &*validation}) {
        auto it = std::find_if(side->begin(), side->end(),
                               [&](std::string_view s) { return universe.rank(s) == none; });
        if (it != side->end() && *it < unknown) unknown = *it;
    }
    return fail(text::format("fold `{}` references unknown sample `{}`", fold.fold_id, unknown));
}

}  // namespace

Status AugmentationMetadata::validate() const {
    if (text::is_blank(transform_id)) return fail("augmentation metadata transform_id is empty");
    if (params_fingerprint && !is_digest_text(*params_fingerprint)) {
        return fail(
            text::format("augmentation `{}` params_fingerprint must be a 64-character hex digest", transform_id));
    }
    for (const auto& [key, value] : metadata) {
        if (text::is_blank(key)) {
            return fail(text::format("augmentation `{}` metadata contains an empty key", transform_id));
        }
    }
    return {};
}

Status SampleRelationTable::validate() const {
    if (rows.empty()) return fail("sample relation table contains no rows");

    ViewTable observations(rows.size());
    // Each sample's recording row: the first of its rows that names a group.
    ViewTable recorded(rows.size());
    std::vector<std::string_view> origins;
    bool inserted = false;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const SampleRelation& row = rows[i];
        const auto position = static_cast<std::uint32_t>(i);
        observations.try_emplace(row.observation_id.view(), position, inserted);
        if (!inserted) return fail(text::format("duplicate observation id `{}`", row.observation_id));
        if (row.group_id) {
            const std::uint32_t first = recorded.try_emplace(row.sample_id.view(), position, inserted);
            const GroupId& group = *rows[first].group_id;
            if (group != *row.group_id) {
                return fail(text::format("sample `{}` appears with conflicting groups `{}` and `{}`", row.sample_id,
                                         group, *row.group_id));
            }
        }
        if (row.augmented && !row.origin_id) {
            return fail(text::format("augmented observation `{}` has no origin_id", row.observation_id));
        }
        if (!row.augmented && row.origin_id) {
            return fail(text::format("non-augmented observation `{}` declares origin_id", row.observation_id));
        }
        if (row.augmentation) {
            if (auto ok = row.augmentation->validate(); !ok) return ok;
            if (!row.augmented) {
                return fail(
                    text::format("non-augmented observation `{}` declares augmentation metadata", row.observation_id));
            }
        }
        if (row.origin_id) {
            if (row.origin_id->view() == row.observation_id.view()) {
                return fail(text::format("observation `{}` cannot be its own origin", row.observation_id));
            }
            origins.push_back(row.origin_id->view());
        }
    }

    // Of several missing origins the smallest is reported, whatever the row order.
    const std::string_view* missing = nullptr;
    for (const std::string_view& origin : origins) {
        if (!observations.find(origin) && (!missing || origin < *missing)) missing = &origin;
    }
    if (missing) return fail(text::format("origin `{}` is not present as an observation", *missing));
    return {};
}

relation::GroupMap SampleRelationTable::sample_groups() const& {
    std::vector<relation::GroupMap::Entry> entries;
    for (const SampleRelation& row : rows) {
        if (row.group_id) entries.push_back({row.sample_id.view(), row.group_id->view()});
    }
    return relation::GroupMap::from_entries(std::move(entries));
}

namespace {

// A fold set in dense form, as its validation leaves it: the universe and each
// fold's two lists as ranks, in list order.
struct DenseFoldSet {
    std::optional<Universe> universe;
    std::vector<std::vector<std::uint32_t>> train;
    std::vector<std::vector<std::uint32_t>> validation;
};

// The fold set's own validation; when it passes and `keep` is given, the dense
// form is left there so that checks against a table need not rank again.
Status check_fold_set(const FoldSet& fold_set, DenseFoldSet* keep) {
    const auto& [id, sample_ids, folds, sample_groups] = fold_set;
    if (text::is_blank(id)) return fail("fold set id is empty");
    if (sample_ids.empty()) return fail("fold set contains no samples");
    if (folds.empty()) return fail("fold set contains no folds");
    auto universe_set = relation::unique_samples("fold set sample_ids", sample_ids);
    if (!universe_set) return std::unexpected(std::move(universe_set.error()));
    // The map and the universe are both in ascending order: one walk over both
    // checks every key and gives its rank.
    DenseGroups groups(universe_set->size());
    std::uint32_t rank = 0;
    for (const auto& [sample, group] : sample_groups) {
        while (rank < universe_set->size() && (*universe_set)[rank] < sample.view()) ++rank;
        if (rank == universe_set->size() || (*universe_set)[rank] != sample.view()) {
            return fail(text::format("sample group map references unknown sample `{}`", sample));
        }
        groups.assign(rank, group.view());
    }

    Universe universe(std::vector<std::string_view>(universe_set->begin(), universe_set->end()));
    FoldSides sides(universe.size(), groups.count());
    std::vector<std::uint32_t> validation_counts(universe.size(), 0);
    ViewTable fold_ids(folds.size());
    std::vector<std::uint32_t> train;
    std::vector<std::uint32_t> validation;
    bool inserted = false;
    for (const FoldAssignment& fold : folds) {
        if (text::is_blank(fold.fold_id)) return fail("fold assignment id is empty");
        // Free text compared byte for byte: " f" and "f" are two folds.
        fold_ids.try_emplace(fold.fold_id, 0, inserted);
        if (!inserted) return fail(text::format("duplicate fold id `{}`", fold.fold_id));
        const SampleId* unknown = universe.ranks_of(fold.train_sample_ids, train);
        if (!unknown) unknown = universe.ranks_of(fold.validation_sample_ids, validation);
        if (unknown) return check_fold_with_unknown_samples(fold, universe, unknown->view());

        sides.next_fold();
        for (std::size_t i = 0; i < train.size(); ++i) {
            if (!sides.put_train(train[i])) {
                return fail(text::format("fold `{}` train_sample_ids contains duplicate sample `{}`", fold.fold_id,
                                         fold.train_sample_ids[i]));
            }
        }
        for (std::size_t i = 0; i < validation.size(); ++i) {
            if (!sides.put_validation(validation[i])) {
                return fail(text::format("fold `{}` validation_sample_ids contains duplicate sample `{}`",
                                         fold.fold_id, fold.validation_sample_ids[i]));
            }
        }
        if (validation.empty()) return fail(text::format("fold `{}` has no validation samples", fold.fold_id));
        std::uint32_t overlap = none;
        for (std::uint32_t r : validation) {
            if (sides.in_train(r) && r < overlap) overlap = r;
        }
        if (overlap != none) {
            return fail(text::format("fold `{}` has train/validation overlap at sample `{}`", fold.fold_id,
                                     universe[overlap]));
        }
        for (std::uint32_t r : validation) ++validation_counts[r];
        if (!groups.empty()) {
            if (std::uint32_t leak = sides.first_group_leak(train, validation, groups); leak != none) {
                return group_leak(fold.fold_id, groups.name(groups.of(leak)));
            }
        }
        if (keep) {
            keep->train.push_back(train);
            keep->validation.push_back(validation);
        }
    }

    for (std::uint32_t r = 0; r < universe.size(); ++r) {
        if (validation_counts[r] != 1) {
            return fail(text::format("sample `{}` appears in validation {} time(s), expected exactly once",
                                     universe[r], validation_counts[r]));
        }
    }
    if (keep) keep->universe.emplace(std::move(universe));
    return {};
}

}  // namespace

Status FoldSet::validate() const { return check_fold_set(*this, nullptr); }

Status SampleRelationTable::validate_fold_set(const FoldSet& fold_set) const {
    if (auto ok = validate(); !ok) return ok;
    DenseFoldSet dense;
    if (auto ok = check_fold_set(fold_set, &dense); !ok) return ok;
    const Universe& universe = *dense.universe;
    std::vector<std::uint32_t> row_ranks(rows.size());
    std::vector<std::uint8_t> covered(universe.size(), 0);
    const SampleId* missing = nullptr;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const SampleId& sample = rows[i].sample_id;
        row_ranks[i] = universe.rank(sample.view());
        if (row_ranks[i] != none) {
            covered[row_ranks[i]] = 1;
        } else if (!missing || sample < *missing) {
            missing = &sample;
        }
    }
    if (missing) return fail(text::format("fold set `{}` is missing relation sample `{}`", fold_set.id, *missing));
    for (std::uint32_t r = 0; r < universe.size(); ++r) {
        if (!covered[r]) {
            return fail(text::format("fold set `{}` references sample `{}` absent from sample relations", fold_set.id,
                                     universe[r]));
        }
    }

    // The relation groups: of several grouped rows of one sample the last wins.
    DenseGroups relation_groups(universe.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (rows[i].group_id) relation_groups.assign(row_ranks[i], rows[i].group_id->view());
    }
    for (const auto& [sample, group] : fold_set.sample_groups) {
        const std::uint32_t g = relation_groups.of(universe.rank(sample.view()));
        if (g != none && relation_groups.name(g) != group.view()) {
            return fail(text::format("fold set `{}` group `{}` for sample `{}` conflicts with relation group `{}`",
                                     fold_set.id, group, sample, relation_groups.name(g)));
        }
    }

    // Each row with an origin, in row order, as the ranks of its own sample and of
    // its origin's sample. The table has passed its checks, so every origin is an
    // observation and observation ids are distinct.
    struct Link {
        std::uint32_t sample;
        std::uint32_t origin_sample;
        std::string_view origin;
    };
    ViewTable observations(rows.size());
    bool inserted = false;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        observations.try_emplace(rows[i].observation_id.view(), static_cast<std::uint32_t>(i), inserted);
    }
    std::vector<Link> links;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (!rows[i].origin_id) continue;
        if (const std::uint32_t* origin_row = observations.find(rows[i].origin_id->view())) {
            links.push_back({row_ranks[i], row_ranks[*origin_row], rows[i].origin_id->view()});
        }
    }

    FoldSides sides(universe.size(), relation_groups.count());
    for (std::size_t f = 0; f < fold_set.folds.size(); ++f) {
        const FoldAssignment& fold = fold_set.folds[f];
        const std::vector<std::uint32_t>& train = dense.train[f];
        const std::vector<std::uint32_t>& validation = dense.validation[f];
        sides.next_fold();
        for (std::uint32_t r : train) sides.put_train(r);
        for (std::uint32_t r : validation) sides.put_validation(r);
        if (!relation_groups.empty()) {
            if (std::uint32_t leak = sides.first_group_leak(train, validation, relation_groups); leak != none) {
                return group_leak(fold.fold_id, relation_groups.name(relation_groups.of(leak)));
            }
        }
        for (const Link& link : links) {
            if ((sides.in_train(link.sample) && sides.in_validation(link.origin_sample)) ||
                (sides.in_validation(link.sample) && sides.in_train(link.origin_sample))) {
                return origin_leak(fold.fold_id, link.origin);
            }
        }
    }
    return {};
}

namespace relation {

bool SampleSet::contains(std::string_view sample) const noexcept {
    return std::binary_search(items_.begin(), items_.end(), sample);
}

GroupMap GroupMap::of(const json::SortedMap<SampleId, GroupId>& map) {
    GroupMap m;
    m.entries_.reserve(map.size());
    for (const auto& [sample, group] : map) m.entries_.push_back({sample.view(), group.view()});
    return m;
}

GroupMap GroupMap::from_entries(std::vector<Entry> entries) {
    std::stable_sort(entries.begin(), entries.end(),
                     [](const Entry& a, const Entry& b) { return a.sample < b.sample; });
    GroupMap m;
    m.entries_.reserve(entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
        // Of a run of equal samples keep the last, which is the last in input order.
        if (i + 1 < entries.size() && entries[i + 1].sample == entries[i].sample) continue;
        m.entries_.push_back(entries[i]);
    }
    return m;
}

const std::string_view* GroupMap::find(std::string_view sample) const noexcept {
    auto it = std::lower_bound(entries_.begin(), entries_.end(), sample,
                               [](const Entry& e, std::string_view s) { return e.sample < s; });
    if (it == entries_.end() || it->sample != sample) return nullptr;
    return &it->group;
}

Result<SampleSet> unique_samples(std::string_view label, const std::vector<SampleId>& samples) {
    std::vector<std::string_view> items = sorted_views(samples, [](const SampleId& s) { return s.view(); });
    if (std::adjacent_find(items.begin(), items.end()) != items.end()) {
        // A repeat exists; find the first one in list order.
        ViewTable seen(samples.size());
        bool inserted = true;
        for (const SampleId& s : samples) {
            seen.try_emplace(s.view(), 0, inserted);
            if (!inserted) return fail(text::format("{} contains duplicate sample `{}`", label, s));
        }
    }
    return SampleSet::from_sorted(std::move(items));
}

Status validate_group_boundary(std::string_view fold_id, const SampleSet& train, const SampleSet& validation,
                               const GroupMap& groups) {
    if (groups.empty()) return {};
    ViewTable train_groups(train.size());
    bool inserted = false;
    for (std::string_view s : train) {
        if (const std::string_view* g = groups.find(s)) train_groups.try_emplace(*g, 0, inserted);
    }
    for (std::string_view s : validation) {
        const std::string_view* g = groups.find(s);
        if (g && train_groups.find(*g)) return group_leak(fold_id, *g);
    }
    return {};
}

Status validate_origin_boundary(std::string_view fold_id, const SampleSet& train, const SampleSet& validation,
                                const std::vector<SampleRelation>& rows) {
    // Observation to row; a repeated observation maps to its last row, as a map
    // filled in row order would.
    ViewTable observations(rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        observations.insert_or_assign(rows[i].observation_id.view(), static_cast<std::uint32_t>(i));
    }
    for (const SampleRelation& row : rows) {
        if (!row.origin_id) continue;
        const std::uint32_t* origin_row = observations.find(row.origin_id->view());
        if (!origin_row) continue;
        const std::string_view sample = row.sample_id.view();
        const std::string_view origin_sample = rows[*origin_row].sample_id.view();
        if ((train.contains(sample) && validation.contains(origin_sample)) ||
            (validation.contains(sample) && train.contains(origin_sample))) {
            return origin_leak(fold_id, row.origin_id->view());
        }
    }
    return {};
}

}  // namespace relation

}  // namespace veltrinax
