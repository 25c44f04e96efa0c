#include "veltrinax/fingerprint.hpp"

#include <openssl/evp.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <new>
#include <type_traits>
#include <vector>

#include "veltrinax/text.hpp"

namespace veltrinax::fingerprint {

namespace {

// The provider's SHA-256, fetched once: handing EVP_sha256() to every digest call
// makes OpenSSL look the implementation up again each time, a fixed cost that
// shows on documents of a few kilobytes. (Static initialisation is thread-safe,
// and the fetched object is never freed: it lives as long as the library.)
const EVP_MD* sha256_md() {
    static const EVP_MD* const md = [] {
        const EVP_MD* fetched = EVP_MD_fetch(nullptr, "SHA256", nullptr);
        return fetched ? fetched : EVP_sha256();
    }();
    return md;
}

}  // namespace

Digest sha256(std::string_view bytes) {
    Digest digest{};
    unsigned int length = 0;
    // EVP_Digest uses the CPU's accelerated SHA-256 where there is one. It fails
    // only when it cannot allocate its context.
    if (EVP_Digest(bytes.data(), bytes.size(), digest.data(), &length, sha256_md(), nullptr) != 1) {
        throw std::bad_alloc();
    }
    return digest;
}

std::string to_hex(const Digest& digest) {
    static constexpr char hex[] = "0123456789abcdef";
    std::string out;
    out.reserve(64);
    for (std::uint8_t b : digest) {
        out.push_back(hex[b >> 4]);
        out.push_back(hex[b & 15]);
    }
    return out;
}

std::string sha256_hex(std::string_view bytes) { return to_hex(sha256(bytes)); }

}  // namespace veltrinax::fingerprint

// Each document's fingerprint follows in its own section below: validate (in the
// caller's order), sort, canonicalise, digest.
//
// Canonical record forms are written directly, not through the literal round trip
// (record -> generic value -> record -> text). For every record that passed
// validation the round trip is the identity, so both give the same bytes:
//   - the records hold values read from JSON (or built from such values): no
//     generic value holds NaN or an infinity, and validation rejects non-finite
//     floats in the one record field of type double (a regular grid's start and
//     step), so no number turns into null on the way;
//   - integers stay integers and floats stay floats in a generic value, and are
//     read back into the same field types with the same values;
//   - an optional field written as null reads back as none, one left out when none
//     reads back as none, and every defaulted field that is left out (when empty
//     or false) has exactly that empty or false value as its default;
//   - identifiers were checked when they were read, so reading them back cannot
//     fail; maps hold one entry per key in byte order either way.
// A record assembled in C++ from unchecked parts (an identifier made with
// `trusted` that breaks the grammar) would fail the round trip but not this
// writing; nothing in the system builds such a record. The test suite compares
// both routes on varied documents.

namespace veltrinax::fingerprint {

namespace {

// The canonical bytes go either into one text (the canonical-text helpers) or,
// in blocks, straight into the digest: nothing as large as the document is held.
class TextSink {
public:
    json::Writer& writer() noexcept { return writer_; }
    void flush_if_full() noexcept {}
    std::string take() noexcept { return writer_.take(); }

private:
    json::Writer writer_;
};

class DigestSink {
public:
    json::Writer& writer() noexcept { return writer_; }
    // Called between pieces; the digest sees blocks of at least `block_size` bytes.
    void flush_if_full() {
        if (writer_.buffer().size() >= block_size) flush();
    }
    std::string hex() {
        // A small document never filled a block: one digest call over its text.
        if (!ctx_) return sha256_hex(writer_.buffer());
        flush();
        Digest digest{};
        unsigned int length = 0;
        if (EVP_DigestFinal_ex(ctx_.get(), digest.data(), &length) != 1) throw std::bad_alloc();
        return to_hex(digest);
    }

private:
    static constexpr std::size_t block_size = 1 << 16;
    // A block and the piece that overflows it, reserved once: a small document's
    // whole text then never moves while it is written.
    static constexpr std::size_t reserved = block_size + (1 << 13);
    void flush() {
        if (!ctx_) {
            ctx_.reset(EVP_MD_CTX_new());
            if (!ctx_ || EVP_DigestInit_ex(ctx_.get(), sha256_md(), nullptr) != 1) throw std::bad_alloc();
        }
        std::string& buffer = writer_.buffer();
        if (EVP_DigestUpdate(ctx_.get(), buffer.data(), buffer.size()) != 1) throw std::bad_alloc();
        buffer.clear();
    }
    json::Writer writer_{reserved};
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx_{nullptr, &EVP_MD_CTX_free};
};

// `[item, item, ...]` of the items at `order`, written by `write_item`.
template <class Sink, class Items, class WriteItem>
void write_in_order(Sink& sink, const Items& items, const std::vector<std::uint32_t>& order, WriteItem write_item) {
    json::Writer& w = sink.writer();
    w.raw('[');
    using Item = std::remove_cvref_t<decltype(items[0])>;
    constexpr std::size_t ahead = 8;
    for (std::size_t i = 0; i < order.size(); ++i) {
        // Sorted order visits the records at random: ask for the whole record a
        // few items ahead, so that writing does not wait on memory line by line.
        if (i + ahead < order.size()) {
            const char* next = reinterpret_cast<const char*>(&items[order[i + ahead]]);
            for (std::size_t line = 0; line < sizeof(Item); line += 64) __builtin_prefetch(next + line);
        }
        if (i) w.raw(',');
        write_item(w, items[order[i]]);
        sink.flush_if_full();
    }
    w.raw(']');
}

template <class T>
void write_record(json::Writer& w, const T& item) {
    json::write(w, item);
}

// A sorted map as its own writer writes it, handed on an entry at a time.
template <class Sink, class K, class V>
void write_map_in_blocks(Sink& sink, const json::SortedMap<K, V>& map) {
    json::Writer& w = sink.writer();
    w.raw('{');
    bool first = true;
    for (const auto& [key, value] : map) {
        if (!first) w.raw(',');
        first = false;
        w.string(json::KeyCodec<K>::to_text(key));
        w.raw(':');
        json::write(w, value);
        sink.flush_if_full();
    }
    w.raw('}');
}

}  // namespace

}  // namespace veltrinax::fingerprint

// ---------------------------------------------------------------------------
// Data plan: validated in place, then hashed in its record form. Step and issue
// order are part of the plan's meaning and so part of its fingerprint.
// ---------------------------------------------------------------------------

#include "veltrinax/plan.hpp"

namespace veltrinax::fingerprint {

Result<std::string> data_plan_fingerprint(const DataPlan& plan) {
    if (auto ok = plan.validate(); !ok) return std::unexpected(std::move(ok.error()));
    DigestSink sink;
    // The record form, with the steps handed to the digest a block at a time
    // rather than the whole plan's text held at once.
    json::write_record_with(sink.writer(), plan, [&](json::Writer& w, auto member) {
        if constexpr (std::is_same_v<decltype(member), decltype(&DataPlan::steps)>) {
            w.raw('[');
            for (std::size_t i = 0; i < plan.steps.size(); ++i) {
                if (i) w.raw(',');
                json::write(w, plan.steps[i]);
                sink.flush_if_full();
            }
            w.raw(']');
            return true;
        } else {
            return false;
        }
    });
    return sink.hex();
}

}  // namespace veltrinax::fingerprint

// ---------------------------------------------------------------------------
// Dataset schema: validated in the caller's order (so a repeat is reported where
// it first occurs), then sample ids, sources, groups and folds are written in
// byte order of their ids (stable), so that listing order does not change the
// fingerprint. Every other list (axes above all) keeps its order and its meaning.
// Validation only reads, so running it on the caller's record sees what it would
// see on a copy, and the sorted lists are written through orders of positions
// rather than through a sorted copy of a schema with a million sample ids.
// ---------------------------------------------------------------------------

#include "veltrinax/model.hpp"

namespace veltrinax::fingerprint {

namespace {

std::string_view id_text(const std::string& id) { return id; }
template <class Tag>
std::string_view id_text(const Identifier<Tag>& id) {
    return id.view();
}

template <class Items>
std::vector<std::uint32_t> order_by_id(const Items& items) {
    return text::byte_order(items.size(), [&](std::size_t i) { return id_text(items[i].id); });
}

template <class Sink>
void write_schema_canonical(const DatasetSchema& schema, Sink& sink) {
    const auto& ids = schema.sample_ids;
    const std::vector<std::uint32_t> sample_order =
        text::byte_order(ids.size(), [&](std::size_t i) { return ids[i].view(); });
    json::write_record_with(sink.writer(), schema, [&](json::Writer& w, auto member) {
        using Member = decltype(member);
        if constexpr (std::is_same_v<Member, decltype(&DatasetSchema::sample_ids)>) {
            write_in_order(sink, ids, sample_order,
                           [](json::Writer& out, const SampleId& id) { out.plain_string(id.view(), true); });
            return true;
        } else if constexpr (std::is_same_v<Member, decltype(&DatasetSchema::sources)>) {
            write_in_order(sink, schema.sources, order_by_id(schema.sources), write_record<SourceDescriptor>);
            return true;
        } else if constexpr (std::is_same_v<Member, decltype(&DatasetSchema::targets)> ||
                             std::is_same_v<Member, decltype(&DatasetSchema::metadata)>) {
            write_map_in_blocks(sink, schema.*member);
            return true;
        } else if constexpr (std::is_same_v<Member, decltype(&DatasetSchema::groups)>) {
            write_in_order(sink, schema.groups, order_by_id(schema.groups), write_record<GroupSpec>);
            return true;
        } else if constexpr (std::is_same_v<Member, decltype(&DatasetSchema::folds)>) {
            write_in_order(sink, schema.folds, order_by_id(schema.folds), write_record<FoldSpec>);
            return true;
        } else {
            (void)w;
            return false;
        }
    });
}

}  // namespace

Result<std::string> schema_fingerprint(const DatasetSchema& schema) {
    if (auto ok = schema.validate(); !ok) return std::unexpected(std::move(ok.error()));
    return schema_fingerprint_of_valid(schema);
}

std::string schema_fingerprint_of_valid(const DatasetSchema& schema) {
    DigestSink sink;
    write_schema_canonical(schema, sink);
    return sink.hex();
}

}  // namespace veltrinax::fingerprint

// ---------------------------------------------------------------------------
// Sample relation table and fold set: validated in the caller's order, then
// written in sorted order straight into the digest. The table's record form is
// its rows' record forms inside {"rows":[...]}; the fold set's value form is its
// top-level object with every key in byte order ("folds" < "id" <
// "sample_groups" < "sample_ids", and in a fold "fold_id" < "metadata" <
// "train_sample_ids" < "validation_sample_ids"), empty maps left out.
// ---------------------------------------------------------------------------

#include "veltrinax/relation.hpp"

namespace veltrinax::fingerprint {

namespace {

// Rows by (observation id, sample id, source id), an absent source first.
bool relation_row_less(const SampleRelation& a, const SampleRelation& b) {
    if (auto c = a.observation_id <=> b.observation_id; c != 0) return c < 0;
    if (auto c = a.sample_id <=> b.sample_id; c != 0) return c < 0;
    if (!a.source_id || !b.source_id) return !a.source_id && b.source_id;
    return *a.source_id < *b.source_id;
}

// The rows in canonical order, written; `table` has passed its validation.
template <class Sink>
void write_valid_sample_relation_canonical(const SampleRelationTable& table, Sink& sink) {
    const auto& rows = table.rows;
    std::vector<std::uint32_t> order =
        text::byte_order(rows.size(), [&](std::size_t i) { return rows[i].observation_id.view(); });
    // Validation leaves observation ids distinct, so the first key decides; the
    // rest of the key still orders any run of equal ids, stably.
    for (std::size_t begin = 0; begin < order.size();) {
        std::size_t end = begin + 1;
        while (end < order.size() && rows[order[end]].observation_id == rows[order[begin]].observation_id) ++end;
        if (end - begin > 1) {
            std::stable_sort(order.begin() + static_cast<std::ptrdiff_t>(begin),
                             order.begin() + static_cast<std::ptrdiff_t>(end),
                             [&](std::uint32_t a, std::uint32_t b) { return relation_row_less(rows[a], rows[b]); });
        }
        begin = end;
    }
    sink.writer().raw("{\"rows\":");
    write_in_order(sink, rows, order, write_record<SampleRelation>);
    sink.writer().raw('}');
}

template <class Sink>
Status write_sample_relation_canonical(const SampleRelationTable& table, Sink& sink) {
    if (auto ok = table.validate(); !ok) return ok;
    write_valid_sample_relation_canonical(table, sink);
    return {};
}

template <class Sink>
void write_ranks(Sink& sink, const std::vector<std::string_view>& universe, const std::vector<std::uint32_t>& ranks) {
    json::Writer& w = sink.writer();
    w.raw('[');
    // The universe holds sample identifiers, which never need escaping.
    for (std::size_t i = 0; i < ranks.size(); ++i) {
        w.plain_string(universe[ranks[i]], i == 0);
        if ((i & 1023) == 1023) sink.flush_if_full();
    }
    w.raw(']');
    sink.flush_if_full();
}

template <class Sink>
Status write_fold_set_canonical(const FoldSet& fold_set, Sink& sink) {
    auto canonical = relation::canonical_fold_set(fold_set);
    if (!canonical) return std::unexpected(std::move(canonical.error()));
    const auto& universe = canonical->universe;
    json::Writer& w = sink.writer();

    w.raw("{\"folds\":[");
    for (std::size_t i = 0; i < canonical->fold_order.size(); ++i) {
        const std::uint32_t f = canonical->fold_order[i];
        const FoldAssignment& fold = fold_set.folds[f];
        if (i) w.raw(',');
        w.raw("{\"fold_id\":");
        w.string(fold.fold_id);
        if (!fold.metadata.empty()) {
            // A map of generic values writes as its generic value does: keys in
            // byte order at every depth.
            w.raw(",\"metadata\":");
            json::write(w, fold.metadata);
        }
        w.raw(",\"train_sample_ids\":");
        write_ranks(sink, universe, canonical->train[f]);
        w.raw(",\"validation_sample_ids\":");
        write_ranks(sink, universe, canonical->validation[f]);
        w.raw('}');
    }
    w.raw("],\"id\":");
    w.string(fold_set.id);
    if (!fold_set.sample_groups.empty()) {
        // Identifiers on both sides, in key order: written as the map's own
        // writer would, without looking for characters to escape.
        w.raw(",\"sample_groups\":{");
        std::size_t written = 0;
        for (const auto& [sample, group] : fold_set.sample_groups) {
            w.plain_string(sample.view(), written == 0);
            w.raw(':');
            w.plain_string(group.view(), true);
            if ((++written & 1023) == 0) sink.flush_if_full();
        }
        w.raw('}');
        sink.flush_if_full();
    }
    w.raw(",\"sample_ids\":");
    std::vector<std::uint32_t> all(universe.size());
    for (std::size_t r = 0; r < all.size(); ++r) all[r] = static_cast<std::uint32_t>(r);
    write_ranks(sink, universe, all);
    w.raw('}');
    return {};
}

}  // namespace

Result<std::string> sample_relation_canonical_text(const SampleRelationTable& table) {
    TextSink sink;
    if (auto ok = write_sample_relation_canonical(table, sink); !ok) return std::unexpected(std::move(ok.error()));
    return sink.take();
}

Result<std::string> sample_relation_fingerprint(const SampleRelationTable& table) {
    DigestSink sink;
    if (auto ok = write_sample_relation_canonical(table, sink); !ok) return std::unexpected(std::move(ok.error()));
    return sink.hex();
}

std::string sample_relation_fingerprint_of_valid(const SampleRelationTable& table) {
    DigestSink sink;
    write_valid_sample_relation_canonical(table, sink);
    return sink.hex();
}

Result<std::string> fold_set_canonical_text(const FoldSet& fold_set) {
    TextSink sink;
    if (auto ok = write_fold_set_canonical(fold_set, sink); !ok) return std::unexpected(std::move(ok.error()));
    return sink.take();
}

Result<std::string> fold_set_fingerprint(const FoldSet& fold_set) {
    DigestSink sink;
    if (auto ok = write_fold_set_canonical(fold_set, sink); !ok) return std::unexpected(std::move(ok.error()));
    return sink.hex();
}

}  // namespace veltrinax::fingerprint
