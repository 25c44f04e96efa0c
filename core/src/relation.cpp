#include "veltrinax/relation.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <span>

#include "veltrinax/text.hpp"

namespace veltrinax {

namespace {

// Row positions, sample ranks and group numbers are held in 32 bits: a document
// with four billion rows could not be held in memory as records anyway.
constexpr std::uint32_t none = std::numeric_limits<std::uint32_t>::max();

// Hash indexes over borrowed texts, for the checks where only membership or list
// order matters, never byte order. A key function gives back the text a stored
// value (a row position, a rank, a list position) stands for.
template <class Items, auto View>
struct TextAt {
    const Items* items;
    std::string_view operator()(std::uint32_t i) const { return View(items[i]); }
};

constexpr std::string_view plain_view(std::string_view s) { return s; }
inline std::string_view observation_of(const SampleRelation& r) { return r.observation_id.view(); }
inline std::string_view sample_of(const SampleRelation& r) { return r.sample_id.view(); }

using ViewIndex = text::TextIndex<TextAt<std::string_view, plain_view>>;
using ObservationIndex = text::TextIndex<TextAt<SampleRelation, observation_of>>;
using RowSampleIndex = text::TextIndex<TextAt<SampleRelation, sample_of>>;

// How many probes ahead a batch of lookups asks the cache for its slots.
constexpr std::size_t prefetch_distance = 8;

std::vector<std::string_view> sorted_views(const std::vector<SampleId>& ids) {
    const std::vector<std::uint32_t> order = text::byte_order(ids.size(), [&](std::size_t i) { return ids[i].view(); });
    std::vector<std::string_view> views;
    views.reserve(ids.size());
    for (std::uint32_t i : order) views.push_back(ids[i].view());
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
    // The distinct ids of `ids`, copied once, in byte order, into one block of
    // text: every later walk over the universe in rank order (the checks, the
    // canonical writing) then reads memory in order instead of visiting the ids
    // where the list holds them. `duplicate` is set when `ids` repeats an id (the
    // universe is then incomplete and must not be used).
    Universe(const std::vector<SampleId>& ids, bool& duplicate) : ranks_(0, {nullptr}) {
        const std::vector<std::uint32_t> order =
            text::byte_order(ids.size(), [&](std::size_t i) { return ids[i].view(); });
        std::size_t bytes = 0;
        for (const SampleId& id : ids) bytes += id.view().size();
        // Always on the heap (past the in-place capacity of a short string), so
        // that moving the storage moves the bytes the views point at.
        storage_.reserve(std::max<std::size_t>(bytes, 32));
        text::advise_large_buffer(storage_.data(), bytes);
        std::vector<std::size_t> ends;
        ends.reserve(ids.size());
        for (std::size_t k = 0; k < order.size(); ++k) {
            if (k + prefetch_distance < order.size()) __builtin_prefetch(&ids[order[k + prefetch_distance]]);
            storage_.append(ids[order[k]].view());
            ends.push_back(storage_.size());
        }
        samples_.reserve(ids.size());
        duplicate = false;
        for (std::size_t k = 0, begin = 0; k < ends.size(); begin = ends[k++]) {
            const std::string_view sample(storage_.data() + begin, ends[k] - begin);
            if (!samples_.empty() && samples_.back() == sample) {
                duplicate = true;
                return;
            }
            samples_.push_back(sample);
        }
        ranks_ = ViewIndex(samples_.size(), {samples_.data()});
        for (std::size_t r = 0; r < samples_.size(); ++r) {
            if (r + prefetch_distance < samples_.size()) ranks_.prefetch(samples_[r + prefetch_distance]);
            ranks_.insert(samples_[r], static_cast<std::uint32_t>(r));
        }
    }
    std::size_t size() const noexcept { return samples_.size(); }
    std::string_view operator[](std::uint32_t rank) const noexcept { return samples_[rank]; }
    const std::vector<std::string_view>& samples() const noexcept { return samples_; }
    std::vector<std::string_view> take_samples() noexcept { return std::move(samples_); }
    std::string take_storage() noexcept { return std::move(storage_); }
    std::uint32_t rank(std::string_view sample) const { return ranks_.find(sample); }
    // The ranks of `ids`, in list order; on meeting a sample outside the universe
    // it stops and returns a pointer to that sample.
    const SampleId* ranks_of(const std::vector<SampleId>& ids, std::vector<std::uint32_t>& out) const {
        out.clear();
        out.reserve(ids.size());
        for (std::size_t i = 0; i < ids.size(); ++i) {
            if (i + prefetch_distance < ids.size()) ranks_.prefetch(ids[i + prefetch_distance].view());
            out.push_back(rank(ids[i].view()));
            if (out.back() == none) return &ids[i];
        }
        return nullptr;
    }

private:
    // Moving a string or vector keeps its heap buffer, which the views and the
    // index read; the storage is reserved whole, so it never reallocates.
    std::string storage_;
    std::vector<std::string_view> samples_;
    ViewIndex ranks_;
};

// The group of each universe rank as a number (or none), and the group texts.
class DenseGroups {
public:
    explicit DenseGroups(std::size_t universe) : of_rank_(universe, none), numbers_(16, {&names_}) {}
    // The index reads names through this object's own `names_`.
    DenseGroups(const DenseGroups&) = delete;
    DenseGroups& operator=(const DenseGroups&) = delete;

    // Later assignments to a rank replace earlier ones.
    void assign(std::uint32_t rank, std::string_view group) {
        const auto next = static_cast<std::uint32_t>(names_.size());
        const std::uint32_t number = numbers_.insert(group, next);
        if (number == next) names_.push_back(group);
        of_rank_[rank] = number;
    }
    bool empty() const noexcept { return names_.empty(); }
    std::size_t count() const noexcept { return names_.size(); }
    std::uint32_t of(std::uint32_t rank) const noexcept { return of_rank_[rank]; }
    std::string_view name(std::uint32_t number) const noexcept { return names_[number]; }

private:
    struct NameOf {
        const std::vector<std::string_view>* names;
        std::string_view operator()(std::uint32_t number) const { return (*names)[number]; }
    };

    std::vector<std::uint32_t> of_rank_;
    std::vector<std::string_view> names_;
    text::TextIndex<NameOf> numbers_;
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

// A row with an origin, as the ranks of its own sample and of its origin's
// sample, and the origin as the row names it.
struct Link {
    std::uint32_t sample;
    std::uint32_t origin_sample;
    std::string_view origin;
};

// For each universe rank, the positions of the links with that rank at either
// end, ascending (one list per rank, all in one block). A link whose two ends are
// one rank is listed once.
class LinksByRank {
public:
    LinksByRank(std::size_t universe, const std::vector<Link>& links) : begin_(universe + 1, 0) {
        for (const Link& link : links) {
            ++begin_[link.sample + 1];
            if (link.origin_sample != link.sample) ++begin_[link.origin_sample + 1];
        }
        for (std::size_t r = 0; r < universe; ++r) begin_[r + 1] += begin_[r];
        positions_.resize(begin_[universe]);
        std::vector<std::uint32_t> end(begin_.begin(), begin_.end() - 1);
        // Links in ascending position fill each rank's list in ascending order.
        for (std::size_t i = 0; i < links.size(); ++i) {
            const auto position = static_cast<std::uint32_t>(i);
            positions_[end[links[i].sample]++] = position;
            if (links[i].origin_sample != links[i].sample) positions_[end[links[i].origin_sample]++] = position;
        }
    }
    std::span<const std::uint32_t> of(std::uint32_t rank) const noexcept {
        return {positions_.data() + begin_[rank], positions_.data() + begin_[rank + 1]};
    }

private:
    std::vector<std::uint32_t> begin_;
    std::vector<std::uint32_t> positions_;
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

    ObservationIndex observations(rows.size(), {rows.data()});
    // Each sample's recording row: the first of its rows that names a group.
    RowSampleIndex recorded(rows.size(), {rows.data()});
    std::vector<std::string_view> origins;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const SampleRelation& row = rows[i];
        const auto position = static_cast<std::uint32_t>(i);
        if (i + prefetch_distance < rows.size()) {
            observations.prefetch(rows[i + prefetch_distance].observation_id.view());
            recorded.prefetch(rows[i + prefetch_distance].sample_id.view());
        }
        if (observations.insert(row.observation_id.view(), position) != position) {
            return fail(text::format("duplicate observation id `{}`", row.observation_id));
        }
        if (row.group_id) {
            const std::uint32_t first = recorded.insert(row.sample_id.view(), position);
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
    for (std::size_t i = 0; i < origins.size(); ++i) {
        if (i + prefetch_distance < origins.size()) observations.prefetch(origins[i + prefetch_distance]);
        const std::string_view& origin = origins[i];
        if (observations.find(origin) == none && (!missing || origin < *missing)) missing = &origin;
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
    bool duplicate = false;
    Universe universe(sample_ids, duplicate);
    if (duplicate) {
        // The first repeat in list order is reported.
        auto repeated = relation::unique_samples("fold set sample_ids", sample_ids);
        if (!repeated) return std::unexpected(std::move(repeated.error()));
    }
    // The map and the universe are both in ascending order: one walk over both
    // checks every key and gives its rank.
    DenseGroups groups(universe.size());
    std::uint32_t rank = 0;
    for (const auto& [sample, group] : sample_groups) {
        while (rank < universe.size() && text::less_bytes(universe[rank], sample.view())) ++rank;
        if (rank == universe.size() || universe[rank] != sample.view()) {
            return fail(text::format("sample group map references unknown sample `{}`", sample));
        }
        groups.assign(rank, group.view());
    }

    FoldSides sides(universe.size(), groups.count());
    std::vector<std::uint32_t> validation_counts(universe.size(), 0);
    constexpr auto fold_id_of = [](const FoldAssignment& f) { return std::string_view(f.fold_id); };
    text::TextIndex<TextAt<FoldAssignment, fold_id_of>> fold_ids(folds.size(), {folds.data()});
    std::vector<std::uint32_t> train;
    std::vector<std::uint32_t> validation;
    for (std::size_t f = 0; f < folds.size(); ++f) {
        const FoldAssignment& fold = folds[f];
        if (text::is_blank(fold.fold_id)) return fail("fold assignment id is empty");
        // Free text compared byte for byte: " f" and "f" are two folds.
        if (fold_ids.insert(fold.fold_id, static_cast<std::uint32_t>(f)) != f) {
            return fail(text::format("duplicate fold id `{}`", fold.fold_id));
        }
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
            keep->train.push_back(std::move(train));
            keep->validation.push_back(std::move(validation));
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

namespace relation {

namespace {

// Puts distinct ranks below `universe` in ascending order: through a bitmap when
// they cover a good part of the universe (linear), else by sorting.
void sort_distinct_ranks(std::vector<std::uint32_t>& ranks, std::size_t universe, std::vector<std::uint64_t>& bits) {
    if (ranks.size() < universe / 32) {
        std::sort(ranks.begin(), ranks.end());
        return;
    }
    bits.assign((universe + 63) / 64, 0);
    for (std::uint32_t r : ranks) bits[r >> 6] |= std::uint64_t{1} << (r & 63);
    std::size_t at = 0;
    for (std::size_t word = 0; word < bits.size(); ++word) {
        for (std::uint64_t b = bits[word]; b; b &= b - 1) {
            ranks[at++] = static_cast<std::uint32_t>(word * 64 + static_cast<std::size_t>(std::countr_zero(b)));
        }
    }
}

}  // namespace

Result<CanonicalFoldSet> canonical_fold_set(const FoldSet& fold_set) {
    DenseFoldSet dense;
    if (auto ok = check_fold_set(fold_set, &dense); !ok) return std::unexpected(std::move(ok.error()));
    CanonicalFoldSet out;
    const std::size_t universe = dense.universe->size();
    out.universe = dense.universe->take_samples();
    out.storage = dense.universe->take_storage();  // the views above point into it
    const auto& folds = fold_set.folds;
    out.fold_order = text::byte_order(folds.size(), [&](std::size_t i) { return std::string_view(folds[i].fold_id); });
    // Validation has made every list duplicate-free and inside the universe, so
    // ascending ranks are the lists in byte order.
    std::vector<std::uint64_t> bits;
    for (auto* lists : {&dense.train, &dense.validation}) {
        for (auto& ranks : *lists) sort_distinct_ranks(ranks, universe, bits);
    }
    out.train = std::move(dense.train);
    out.validation = std::move(dense.validation);
    return out;
}

}  // namespace relation

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
    ObservationIndex observations(rows.size(), {rows.data()});
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (i + prefetch_distance < rows.size()) observations.prefetch(rows[i + prefetch_distance].observation_id.view());
        observations.insert(rows[i].observation_id.view(), static_cast<std::uint32_t>(i));
    }
    std::vector<Link> links;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (!rows[i].origin_id) continue;
        if (const std::uint32_t origin_row = observations.find(rows[i].origin_id->view()); origin_row != none) {
            links.push_back({row_ranks[i], row_ranks[origin_row], rows[i].origin_id->view()});
        }
    }
    // A leaking link has one end on the validation side of its fold, and every
    // universe sample is validated in exactly one fold (the fold set's own check).
    // So each fold looks only at the links that touch its validation samples, found
    // through this index of the links by the rank at either end (ascending link
    // positions per rank), and all folds together visit each link at most twice
    // instead of every fold visiting every link.
    const LinksByRank touching(universe.size(), links);

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
        // The first leaking row in row order: the smallest leaking link position.
        std::uint32_t first = none;
        for (std::uint32_t r : validation) {
            for (std::uint32_t position : touching.of(r)) {
                if (position >= first) break;  // ascending: nothing smaller follows
                const Link& link = links[position];
                if ((sides.in_train(link.sample) && sides.in_validation(link.origin_sample)) ||
                    (sides.in_validation(link.sample) && sides.in_train(link.origin_sample))) {
                    first = position;
                    break;
                }
            }
        }
        if (first != none) return origin_leak(fold.fold_id, links[first].origin);
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
    std::vector<std::string_view> items = sorted_views(samples);
    if (std::adjacent_find(items.begin(), items.end(), [](std::string_view a, std::string_view b) {
            return text::byte_prefix(a) == text::byte_prefix(b) && a == b;
        }) != items.end()) {
        // A repeat exists; find the first one in list order.
        constexpr auto id_view = [](const SampleId& s) { return s.view(); };
        text::TextIndex<TextAt<SampleId, id_view>> seen(samples.size(), {samples.data()});
        for (std::size_t i = 0; i < samples.size(); ++i) {
            if (seen.insert(samples[i].view(), static_cast<std::uint32_t>(i)) != i) {
                return fail(text::format("{} contains duplicate sample `{}`", label, samples[i]));
            }
        }
    }
    return SampleSet::from_sorted(std::move(items));
}

Status validate_group_boundary(std::string_view fold_id, const SampleSet& train, const SampleSet& validation,
                               const GroupMap& groups) {
    if (groups.empty()) return {};
    std::vector<std::string_view> names;
    for (std::string_view s : train) {
        if (const std::string_view* g = groups.find(s)) names.push_back(*g);
    }
    const ViewIndex train_groups =
        text::index_positions(names.size(), TextAt<std::string_view, plain_view>{names.data()});
    for (std::string_view s : validation) {
        const std::string_view* g = groups.find(s);
        if (g && train_groups.contains(*g)) return group_leak(fold_id, *g);
    }
    return {};
}

Status validate_origin_boundary(std::string_view fold_id, const SampleSet& train, const SampleSet& validation,
                                const std::vector<SampleRelation>& rows) {
    // Observation to row; a repeated observation maps to its last row, as a map
    // filled in row order would.
    ObservationIndex observations(rows.size(), {rows.data()});
    for (std::size_t i = 0; i < rows.size(); ++i) {
        observations.assign(rows[i].observation_id.view(), static_cast<std::uint32_t>(i));
    }
    for (const SampleRelation& row : rows) {
        if (!row.origin_id) continue;
        const std::uint32_t origin_row = observations.find(row.origin_id->view());
        if (origin_row == none) continue;
        const std::string_view sample = row.sample_id.view();
        const std::string_view origin_sample = rows[origin_row].sample_id.view();
        if ((train.contains(sample) && validation.contains(origin_sample)) ||
            (validation.contains(sample) && train.contains(origin_sample))) {
            return origin_leak(fold_id, row.origin_id->view());
        }
    }
    return {};
}

}  // namespace relation

}  // namespace veltrinax
