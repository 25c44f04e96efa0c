#include "veltrinax/fingerprint.hpp"

#include <openssl/evp.h>

#include <new>

namespace veltrinax::fingerprint {

Digest sha256(std::string_view bytes) {
    Digest digest{};
    unsigned int length = 0;
    // EVP_Digest uses the CPU's accelerated SHA-256 where there is one. It fails
    // only when it cannot allocate its context.
    if (EVP_Digest(bytes.data(), bytes.size(), digest.data(), &length, EVP_sha256(), nullptr) != 1) {
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

// Each document's fingerprint follows in its own section below: validate (on a
// copy, in the caller's order, where the document is sorted), sort, canonicalise,
// digest.

// ---------------------------------------------------------------------------
// Data plan: validated in place (the plan is never sorted, so no copy is needed),
// then hashed in its record form. Step and issue order are part of the plan's
// meaning and so part of its fingerprint.
// ---------------------------------------------------------------------------

#include "veltrinax/plan.hpp"

namespace veltrinax::fingerprint {

Result<std::string> data_plan_fingerprint(const DataPlan& plan) {
    if (auto ok = plan.validate(); !ok) return std::unexpected(std::move(ok.error()));
    auto text = canonical_record_text(plan);
    if (!text) return std::unexpected(std::move(text.error()));
    return sha256_hex(*text);
}

}  // namespace veltrinax::fingerprint

// ---------------------------------------------------------------------------
// Dataset schema: validated on a copy in the caller's order (so a repeat is
// reported where it first occurs), then sample ids, sources, groups and folds are
// put in byte order of their ids, so that listing order does not change the
// fingerprint. Every other list (axes above all) keeps its order and its meaning.
// ---------------------------------------------------------------------------

#include <algorithm>

#include "veltrinax/model.hpp"

namespace veltrinax::fingerprint {

Result<std::string> schema_fingerprint(const DatasetSchema& schema) {
    DatasetSchema canonical = schema;
    if (auto ok = canonical.validate(); !ok) return std::unexpected(std::move(ok.error()));
    auto by_id = [](const auto& a, const auto& b) { return a.id < b.id; };
    std::stable_sort(canonical.sample_ids.begin(), canonical.sample_ids.end());
    std::stable_sort(canonical.sources.begin(), canonical.sources.end(), by_id);
    std::stable_sort(canonical.groups.begin(), canonical.groups.end(), by_id);
    std::stable_sort(canonical.folds.begin(), canonical.folds.end(), by_id);
    auto text = canonical_record_text(canonical);
    if (!text) return std::unexpected(std::move(text.error()));
    return sha256_hex(*text);
}

}  // namespace veltrinax::fingerprint

// ---------------------------------------------------------------------------
// Sample relation table and fold set: validated in the caller's order, then
// sorted through pointers (the caller's record is never touched, and no second
// copy of a million-row table is made) and written piece by piece straight into
// the digest. The pieces are exactly the bytes of the whole document's canonical
// text: the table's record form is its rows' record forms inside {"rows":[...]},
// and the fold set's value form is its sorted top-level object with each fold's
// own value form in the "folds" array.
// ---------------------------------------------------------------------------

#include <openssl/evp.h>

#include <algorithm>
#include <memory>
#include <new>
#include <vector>

#include "veltrinax/relation.hpp"

namespace veltrinax::fingerprint {

// Named, so that no helper here meets a helper of another document's section.
namespace relation_form {

class TextSink {
public:
    void append(std::string_view bytes) { text_.append(bytes); }
    std::string take() noexcept { return std::move(text_); }

private:
    std::string text_;
};

// SHA-256 over bytes appended in pieces; small pieces are gathered first so the
// digest sees large blocks.
class DigestSink {
public:
    DigestSink() : ctx_(EVP_MD_CTX_new(), &EVP_MD_CTX_free) {
        if (!ctx_ || EVP_DigestInit_ex(ctx_.get(), EVP_sha256(), nullptr) != 1) throw std::bad_alloc();
        pending_.reserve(buffer_size);
    }
    void append(std::string_view bytes) {
        if (pending_.size() + bytes.size() > buffer_size) flush();
        if (bytes.size() >= buffer_size) {
            update(bytes);
        } else {
            pending_.append(bytes);
        }
    }
    std::string hex() {
        flush();
        Digest digest{};
        unsigned int length = 0;
        if (EVP_DigestFinal_ex(ctx_.get(), digest.data(), &length) != 1) throw std::bad_alloc();
        return to_hex(digest);
    }

private:
    static constexpr std::size_t buffer_size = 1 << 16;
    void update(std::string_view bytes) {
        if (EVP_DigestUpdate(ctx_.get(), bytes.data(), bytes.size()) != 1) throw std::bad_alloc();
    }
    void flush() {
        update(pending_);
        pending_.clear();
    }
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx_;
    std::string pending_;
};

// Rows by (observation id, sample id, source id), an absent source first.
bool relation_row_less(const SampleRelation* a, const SampleRelation* b) {
    if (auto c = a->observation_id <=> b->observation_id; c != 0) return c < 0;
    if (auto c = a->sample_id <=> b->sample_id; c != 0) return c < 0;
    if (!a->source_id || !b->source_id) return !a->source_id && b->source_id;
    return *a->source_id < *b->source_id;
}

template <class Sink>
Status write_sample_relation_canonical(const SampleRelationTable& table, Sink& sink) {
    // Validation only reads, so running it on the caller's record sees exactly
    // what it would see on a copy taken before sorting.
    if (auto ok = table.validate(); !ok) return ok;
    std::vector<const SampleRelation*> order;
    order.reserve(table.rows.size());
    for (const SampleRelation& row : table.rows) order.push_back(&row);
    std::stable_sort(order.begin(), order.end(), relation_row_less);

    sink.append("{\"rows\":[");
    for (std::size_t i = 0; i < order.size(); ++i) {
        if (i) sink.append(",");
        auto text = canonical_record_text(*order[i]);
        if (!text) return std::unexpected(std::move(text.error()));
        sink.append(*text);
    }
    sink.append("]}");
    return {};
}

// The ids in byte order, each copied once into its sorted place.
std::vector<SampleId> sorted_ids(const std::vector<SampleId>& ids) {
    std::vector<const SampleId*> order;
    order.reserve(ids.size());
    for (const SampleId& id : ids) order.push_back(&id);
    std::stable_sort(order.begin(), order.end(), [](const SampleId* a, const SampleId* b) { return *a < *b; });
    std::vector<SampleId> sorted;
    sorted.reserve(ids.size());
    for (const SampleId* id : order) sorted.push_back(*id);
    return sorted;
}

template <class Sink>
Status write_fold_set_canonical(const FoldSet& fold_set, Sink& sink) {
    if (auto ok = fold_set.validate(); !ok) return ok;

    // Everything but the folds goes through one generic value, which orders the
    // top-level keys; the folds are written one at a time where the value holds
    // its (empty) "folds" array.
    FoldSet head;
    head.id = fold_set.id;
    head.sample_ids = sorted_ids(fold_set.sample_ids);
    head.sample_groups = fold_set.sample_groups;
    const json::Value value = json::to_value(head);

    std::vector<const FoldAssignment*> order;
    order.reserve(fold_set.folds.size());
    for (const FoldAssignment& fold : fold_set.folds) order.push_back(&fold);
    std::stable_sort(order.begin(), order.end(),
                     [](const FoldAssignment* a, const FoldAssignment* b) { return a->fold_id < b->fold_id; });

    sink.append("{");
    bool first = true;
    for (const json::Member& member : value.as_object()) {
        json::Writer w;
        if (!first) w.raw(',');
        first = false;
        w.string(member.key);
        w.raw(':');
        if (member.key != "folds") {
            w.value(member.value);
            sink.append(w.buffer());
            continue;
        }
        w.raw('[');
        sink.append(w.buffer());
        for (std::size_t i = 0; i < order.size(); ++i) {
            if (i) sink.append(",");
            FoldAssignment fold;
            fold.fold_id = order[i]->fold_id;
            fold.train_sample_ids = sorted_ids(order[i]->train_sample_ids);
            fold.validation_sample_ids = sorted_ids(order[i]->validation_sample_ids);
            fold.metadata = order[i]->metadata;
            sink.append(canonical_value_text(fold));
        }
        sink.append("]");
    }
    sink.append("}");
    return {};
}

}  // namespace relation_form

Result<std::string> sample_relation_canonical_text(const SampleRelationTable& table) {
    relation_form::TextSink sink;
    if (auto ok = relation_form::write_sample_relation_canonical(table, sink); !ok) {
        return std::unexpected(std::move(ok.error()));
    }
    return sink.take();
}

Result<std::string> sample_relation_fingerprint(const SampleRelationTable& table) {
    relation_form::DigestSink sink;
    if (auto ok = relation_form::write_sample_relation_canonical(table, sink); !ok) {
        return std::unexpected(std::move(ok.error()));
    }
    return sink.hex();
}

Result<std::string> fold_set_canonical_text(const FoldSet& fold_set) {
    relation_form::TextSink sink;
    if (auto ok = relation_form::write_fold_set_canonical(fold_set, sink); !ok) {
        return std::unexpected(std::move(ok.error()));
    }
    return sink.take();
}

Result<std::string> fold_set_fingerprint(const FoldSet& fold_set) {
    relation_form::DigestSink sink;
    if (auto ok = relation_form::write_fold_set_canonical(fold_set, sink); !ok) {
        return std::unexpected(std::move(ok.error()));
    }
    return sink.hex();
}

}  // namespace veltrinax::fingerprint
