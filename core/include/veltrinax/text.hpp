#pragma once
// Text helpers shared by every module: the one definition of Unicode white space
// ("blank" texts), UTF-8 decoding, byte order and keyed hash indexes over borrowed
// texts, and the small message formatter that every rule message is built with.
// Depends on nothing else in the core.

#include <algorithm>
#include <bit>
#include <charconv>
#include <concepts>
#include <cstdint>
#include <cstring>
#include <memory>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace veltrinax::text {

// The Unicode White_Space property (the set Rust's `char::is_whitespace` and
// `str::trim` use). Every "blank" rule of the contracts goes through this one set.
bool is_white_space(char32_t c) noexcept;

// True when the text is empty after removing white space from both ends, that is
// when every character of it is white space. Invalid UTF-8 counts as non-blank.
bool is_blank(std::string_view s) noexcept;

// True for the C0 and C1 control characters U+0000..U+001F and U+007F..U+009F.
bool is_control(char32_t c) noexcept;

// Decodes one UTF-8 character starting at `i`; advances `i`. Returns U+FFFD-like
// sentinel 0xFFFFFFFF for an invalid sequence (and advances by one byte).
char32_t decode_utf8(std::string_view s, std::size_t& i) noexcept;

// True when `s` is well-formed UTF-8 (no overlongs, no surrogates, <= U+10FFFF).
bool is_valid_utf8(std::string_view s) noexcept;

// Appends the UTF-8 encoding of `c` to `out`.
void append_utf8(std::string& out, char32_t c);

// ---------------------------------------------------------------------------
// Byte order and membership over many short texts (identifiers above all)
// ---------------------------------------------------------------------------

// Asks the system to back a large buffer that is about to be filled with huge
// pages where it can (Linux; elsewhere, and for buffers under a few megabytes, it
// does nothing). Filling hundreds of megabytes of records otherwise spends a
// large share of its time taking one page fault per 4 KiB. Only a hint: the
// buffer's contents and lifetime are untouched.
void advise_large_buffer(const void* data, std::size_t bytes) noexcept;

// The first 16 bytes of a text as two big-endian words, zero padded. Comparing
// the pairs orders texts as their bytes do, except for texts that agree on these
// 16 bytes (or differ only by trailing NUL bytes): those must be compared whole.
struct BytePrefix {
    std::uint64_t hi = 0;
    std::uint64_t lo = 0;
    bool operator==(const BytePrefix&) const = default;
};

namespace detail {
inline std::uint64_t big_endian(std::uint64_t v) noexcept {
    if constexpr (std::endian::native == std::endian::little) v = std::byteswap(v);
    return v;
}
// Bytes p[0..k) (k <= 8) as the top bytes of a big-endian word, the rest zero.
// Reads only those bytes, with at most two fixed-size loads.
inline std::uint64_t load_top(const char* p, std::size_t k) noexcept {
    if (k >= 8) {
        std::uint64_t v;
        std::memcpy(&v, p, 8);
        return big_endian(v);
    }
    if (k >= 4) {
        // Two overlapping 4-byte loads: bytes 0..3 and k-4..k-1.
        std::uint32_t a;
        std::uint32_t b;
        std::memcpy(&a, p, 4);
        std::memcpy(&b, p + k - 4, 4);
        if constexpr (std::endian::native == std::endian::little) {
            a = std::byteswap(a);
            b = std::byteswap(b);
        }
        return (static_cast<std::uint64_t>(a) << 32) | (static_cast<std::uint64_t>(b) << (64 - 8 * k));
    }
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < k; ++i) v |= static_cast<std::uint64_t>(static_cast<unsigned char>(p[i])) << (56 - 8 * i);
    return v;
}
}  // namespace detail

inline BytePrefix byte_prefix(std::string_view s) noexcept {
    const std::size_t n = s.size();
    const std::uint64_t hi = detail::load_top(s.data(), n < 8 ? n : 8);
    const std::uint64_t lo = n > 8 ? detail::load_top(s.data() + 8, n < 16 ? n - 8 : 8) : 0;
    return {hi, lo};
}

// a < b in byte order (a prefix first), settled on the packed prefixes where
// they differ or where both texts fit in them.
inline bool less_bytes(std::string_view a, std::string_view b) noexcept {
    const BytePrefix pa = byte_prefix(a);
    const BytePrefix pb = byte_prefix(b);
    if (pa.hi != pb.hi) return pa.hi < pb.hi;
    if (pa.lo != pb.lo) return pa.lo < pb.lo;
    // Equal padded prefixes of two short texts: the longer one only adds NULs.
    if (a.size() <= 16 && b.size() <= 16) return a.size() < b.size();
    return a < b;
}

// The positions 0..count-1 in the stable byte order of `key(position)` (a
// string_view). Equal keys keep their position order, as a stable sort would.
// Most comparisons are settled by the packed prefixes, without touching the texts.
template <class Key>
std::vector<std::uint32_t> byte_order(std::size_t count, Key&& key) {
    // The first 12 bytes of each text ride along with its position in 16 bytes,
    // so that the sort moves little memory; texts that agree on them (and only
    // those) are compared whole.
    struct Entry {
        std::uint64_t hi;
        std::uint32_t lo;
        std::uint32_t position;
    };
    std::vector<Entry> entries;
    entries.reserve(count);
    advise_large_buffer(entries.data(), count * sizeof(Entry));
    entries.resize(count);
    for (std::size_t i = 0; i < count; ++i) {
        const BytePrefix prefix = byte_prefix(key(i));
        entries[i] = {prefix.hi, static_cast<std::uint32_t>(prefix.lo >> 32), static_cast<std::uint32_t>(i)};
    }
    std::sort(entries.begin(), entries.end(), [&](const Entry& a, const Entry& b) {
        if (a.hi != b.hi) return a.hi < b.hi;
        if (a.lo != b.lo) return a.lo < b.lo;
        const std::string_view ka = key(a.position);
        const std::string_view kb = key(b.position);
        if (ka != kb) return ka < kb;
        return a.position < b.position;
    });
    std::vector<std::uint32_t> order(count);
    for (std::size_t i = 0; i < count; ++i) order[i] = entries[i].position;
    return order;
}

// Two texts ordered as one key: by the first's bytes, then by the second's.
using TextPair = std::pair<std::string_view, std::string_view>;

// The places of `pairs` in the byte order of their pairs, and for each place of
// that order whether its pair differs from the one before: equal pairs come
// together (in no set order), so that they can be numbered once.
struct PairOrder {
    std::vector<std::uint32_t> positions;
    std::vector<std::uint8_t> new_pair;
};

// A sort by words of 8 bytes that reads each text about once, however long the
// prefixes the texts share (identifiers alike but for their end), and compares
// cached words in a dense array rather than texts scattered over memory:
// O(n log n) word comparisons (expected) and one read of each text's bytes up
// to where it parts from the others. Its pivots are drawn under the process's
// secret key, so that no input can be laid out to unbalance its partitions; a
// range still unsorted after 2 log2 n + 8 partitions at one word is sorted
// outright there, which bounds the worst case to O(n log n) comparisons a word.
PairOrder pair_order(std::span<const TextPair> pairs);

namespace detail {
// As above, sorting a range outright after `rounds` partitions at one word (the
// tests reach the outright sort through it).
PairOrder pair_order(std::span<const TextPair> pairs, std::size_t rounds);
}  // namespace detail

// ---------------------------------------------------------------------------
// Hash indexes over borrowed texts
// ---------------------------------------------------------------------------
//
// The texts are input: whoever writes a document chooses them. A fixed hash lets
// them be chosen offline so that they share a few slots, and each insertion then
// walks all the earlier ones. Two defences, each enough on its own against one
// kind of writer:
//  - the hash is keyed by secret words drawn once per process, so colliding texts
//    cannot be found without the key;
//  - no probe goes past `probe_limit` slots: an insertion that would, turns the
//    index into a tree ordered by bytes, whose operations cost O(log n) whatever
//    the texts. At the indexes' load (at most half full) about one honest text in
//    1.5 million needs 40 slots, and each slot further is a fifth less likely: a
//    table of a million texts reaches 128 less than once in 10^7, so the tree is
//    for crafted input (or a broken random source) only.
// Results never depend on the hash: the indexes answer membership and "value
// stored first", and nothing iterates them.

// How many slots one probe may visit before the index gives up hashing.
inline constexpr std::size_t probe_limit = 128;

// How the indexes hash and probe: the secret words of the keyed hash, a mask
// applied to every hash and the probe limit (all ones and `probe_limit`, except
// under the degenerate test hash below).
struct HashKey {
    std::uint64_t words[4];
    std::uint64_t mask;
    std::size_t probe_limit;
};

// The process's key (drawn on first use, thread-safe) with the current mask and
// limit. Indexes read it once, when they are made.
HashKey index_hash_key() noexcept;

namespace testing {
// Test support only: while on, every index made afterwards hashes every text to
// slot 0 and probes that slot alone, so that it turns into its ordered form as
// soon as it holds two texts. Returns the previous setting. Off by default;
// nothing but tests turns it on.
bool set_degenerate_hash(bool on) noexcept;
}  // namespace testing

namespace detail {

__extension__ typedef unsigned __int128 uint128;

// The 128-bit product of two words folded to 64 bits: every bit of either word
// reaches about every bit of the result.
inline std::uint64_t fold_multiply(std::uint64_t a, std::uint64_t b) noexcept {
    const uint128 product = static_cast<uint128>(a) * b;
    return static_cast<std::uint64_t>(product) ^ static_cast<std::uint64_t>(product >> 64);
}

// Asks the cache for the memory at `p`. g++ takes a function that does nothing
// but prefetch for one without effects and drops the calls to it; the empty
// volatile asm is an effect it must keep (and costs no instruction).
inline void prefetch(const void* p) noexcept {
    __builtin_prefetch(p);
    __asm__ __volatile__("" : : "r"(p));
}

inline std::uint64_t load_word(const char* p) noexcept {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

}  // namespace detail

// The keyed hash of the indexes: the packed first 16 bytes (`prefix`, which the
// caller has at hand), any further bytes 16 at a time (the last 16 overlapping
// the ones before when the length is not a multiple), and the length.
inline std::uint64_t hash_text(std::string_view text, const BytePrefix& prefix, const HashKey& key) noexcept {
    std::uint64_t h = detail::fold_multiply(prefix.hi ^ key.words[0], prefix.lo ^ key.words[1]);
    const std::size_t n = text.size();
    if (n > 16) [[unlikely]] {
        const char* p = text.data() + 16;
        const char* const end = text.data() + n;
        for (; end - p > 16; p += 16) {
            h = detail::fold_multiply(detail::load_word(p) ^ key.words[2], detail::load_word(p + 8) ^ h);
        }
        h = detail::fold_multiply(detail::load_word(end - 16) ^ key.words[2], detail::load_word(end - 8) ^ h);
    }
    return detail::fold_multiply(h ^ key.words[3], n ^ key.words[0]) & key.mask;
}

// Slots for `expected` texts in the indexes below: a power of two, at most half full.
inline std::size_t slot_count(std::size_t expected) noexcept {
    std::size_t capacity = 16;
    while (capacity < 2 * expected) capacity *= 2;
    return capacity;
}

namespace detail {

// Empties `slots` into `capacity` fresh slots (a power of two); returns the mask
// of a slot index.
template <class Slot>
std::size_t allocate_slots(std::vector<Slot>& slots, std::size_t capacity) {
    slots.clear();
    slots.reserve(capacity);
    advise_large_buffer(slots.data(), capacity * sizeof(Slot));
    slots.assign(capacity, Slot{});
    return capacity - 1;
}

// The ordered form both indexes fall back to: a red-black tree of values keyed by
// their texts in byte order, settled on the packed prefixes where they differ.
// About 64 bytes a text, what a TextIndex spends on a text at a load between a
// quarter and a half. Like the hash
// table it reads `key(value)` only for values already stored: callers may make a
// value's text readable only once `insert` has returned it. A text on its way in
// is read from `pending_`, the tree's comparator reaching it through the owner,
// which stays put (it lives on the heap and is never copied or moved).
template <class Key>
class OrderedTexts {
public:
    static constexpr std::uint32_t absent = 0xFFFFFFFFu;

    explicit OrderedTexts(Key key) : key_(std::move(key)), entries_(Less{this}) {}
    OrderedTexts(const OrderedTexts&) = delete;
    OrderedTexts& operator=(const OrderedTexts&) = delete;

    // Out of line, so that the hashed path that calls these stays small enough to inline.
    [[gnu::noinline]] std::uint32_t insert(std::string_view text, const BytePrefix& prefix, std::uint32_t value) {
        auto at = entries_.lower_bound(Lookup{prefix, text});
        if (at != entries_.end() && equal(*at, prefix, text)) return at->value;
        add(at, text, prefix, value);
        return value;
    }
    [[gnu::noinline]] void assign(std::string_view text, const BytePrefix& prefix, std::uint32_t value) {
        auto at = entries_.lower_bound(Lookup{prefix, text});
        if (at != entries_.end() && equal(*at, prefix, text)) {
            at->value = value;  // the same text: the order is unchanged
        } else {
            add(at, text, prefix, value);
        }
    }
    [[gnu::noinline]] std::uint32_t find(std::string_view text, const BytePrefix& prefix) const {
        auto at = entries_.lower_bound(Lookup{prefix, text});
        if (at != entries_.end() && equal(*at, prefix, text)) return at->value;
        return absent;
    }
    std::size_t size() const noexcept { return entries_.size(); }

private:
    // `value` is `absent` while its entry is being linked in: the text is then `pending_`.
    struct Entry {
        BytePrefix prefix;
        mutable std::uint32_t value;
    };
    struct Lookup {
        BytePrefix prefix;
        std::string_view text;
    };
    struct Less {
        using is_transparent = void;
        const OrderedTexts* owner;

        static bool less(const BytePrefix& pa, std::string_view a, const BytePrefix& pb, std::string_view b) noexcept {
            if (pa.hi != pb.hi) return pa.hi < pb.hi;
            if (pa.lo != pb.lo) return pa.lo < pb.lo;
            return a < b;
        }
        bool operator()(const Entry& a, const Entry& b) const {
            return less(a.prefix, owner->text_of(a), b.prefix, owner->text_of(b));
        }
        bool operator()(const Entry& a, const Lookup& b) const {
            return less(a.prefix, owner->text_of(a), b.prefix, b.text);
        }
        bool operator()(const Lookup& a, const Entry& b) const {
            return less(a.prefix, a.text, b.prefix, owner->text_of(b));
        }
    };

    std::string_view text_of(const Entry& e) const { return e.value == absent ? pending_ : key_(e.value); }
    bool equal(const Entry& e, const BytePrefix& prefix, std::string_view text) const {
        return e.prefix == prefix && text_of(e) == text;
    }
    void add(typename std::set<Entry, Less>::iterator at, std::string_view text, const BytePrefix& prefix,
             std::uint32_t value) {
        pending_ = text;
        entries_.emplace_hint(at, Entry{prefix, absent})->value = value;
    }

    Key key_;
    std::string_view pending_;
    std::set<Entry, Less> entries_;
};

inline constexpr std::uint32_t absent_value = 0xFFFFFFFFu;

// A slot of a TextIndex: the text's first 16 bytes and its length beside the value.
struct PrefixSlot {
    BytePrefix prefix;
    std::uint32_t value = absent_value;
    std::uint16_t length = 0;  // capped; longer texts are confirmed whole
    std::uint16_t tag = 0;
};

// A slot of a TextSet: the value and 32 bits of the text's hash.
struct TagSlot {
    std::uint32_t value = absent_value;
    std::uint32_t tag = 0;
};

// What both indexes keep: the key function giving back a stored value's text,
// the hash key, the slots and, once a probe has run past the limit, the ordered
// form that replaces them.
template <class Key, class Slot>
class SlotTable {
public:
    static constexpr std::uint32_t absent = absent_value;

    std::size_t size() const noexcept { return ordered_ ? ordered_->size() : size_; }
    // Whether a probe went past the limit and the index now orders its texts.
    bool ordered() const noexcept { return ordered_ != nullptr; }

protected:
    SlotTable(std::size_t expected, Key key) : key_(std::move(key)), hash_key_(index_hash_key()) {
        allocate(slot_count(expected));
    }

    void allocate(std::size_t capacity) { mask_ = allocate_slots(slots_, capacity); }
    // Moves the values stored in `from` into the ordered form and gives up the
    // table; `prefix_of(slot, text)` is the packed prefix of a stored text.
    template <class PrefixOf>
    [[gnu::noinline, gnu::cold]] void fall_back(const std::vector<Slot>& from, PrefixOf prefix_of) {
        auto ordered = std::make_unique<OrderedTexts<Key>>(key_);
        for (const Slot& s : from) {
            if (s.value == absent) continue;
            const std::string_view text = key_(s.value);
            ordered->assign(text, prefix_of(s, text), s.value);
        }
        ordered_ = std::move(ordered);
        std::vector<Slot>().swap(slots_);
        mask_ = 0;
        size_ = 0;
    }

    Key key_;
    HashKey hash_key_;
    std::vector<Slot> slots_;
    std::size_t mask_ = 0;
    std::size_t size_ = 0;
    std::unique_ptr<OrderedTexts<Key>> ordered_;
};

}  // namespace detail

// An open-addressing hash index from texts to 32-bit values (positions, ranks),
// for checks where only membership or first occurrence matters. The texts are
// borrowed: `key(value)` must give back the text a value was stored under, for as
// long as the index is used. Each slot keeps the text's first 16 bytes and its
// length, so a probe settles on the slot alone for texts of up to 16 bytes and
// reads the borrowed text only to confirm a longer one.
template <class Key>
class TextIndex : public detail::SlotTable<Key, detail::PrefixSlot> {
    using Table = detail::SlotTable<Key, detail::PrefixSlot>;
    using Slot = detail::PrefixSlot;
    using Table::allocate, Table::hash_key_, Table::key_, Table::mask_, Table::ordered_, Table::size_, Table::slots_;

public:
    using Table::absent;

    TextIndex(std::size_t expected, Key key) : Table(expected, std::move(key)) {}

    // Stores `value` for `text` unless the text is there already; returns the
    // value stored for it (the new one, or the earlier one).
    std::uint32_t insert(std::string_view text, std::uint32_t value) {
        if (!ordered_) [[likely]] {
            const Probe p = probe_of(text);
            if (Slot* slot = slot_to_store(p, text)) [[likely]] {
                if (slot->value == absent) {
                    *slot = {p.prefix, value, p.length, p.tag};
                    ++size_;
                }
                return slot->value;
            }
        }
        return ordered_->insert(text, byte_prefix(text), value);
    }
    // Stores `value` for `text`, replacing an earlier value.
    void assign(std::string_view text, std::uint32_t value) {
        if (!ordered_) [[likely]] {
            const Probe p = probe_of(text);
            if (Slot* slot = slot_to_store(p, text)) [[likely]] {
                if (slot->value == absent) ++size_;
                *slot = {p.prefix, value, p.length, p.tag};
                return;
            }
        }
        ordered_->assign(text, byte_prefix(text), value);
    }
    // The value stored for `text`, or `absent`.
    std::uint32_t find(std::string_view text) const {
        if (ordered_) [[unlikely]] return ordered_->find(text, byte_prefix(text));
        const Probe p = probe_of(text);
        const std::size_t i = find_slot(p, text);
        // Every stored text sits within the probe limit of its first slot.
        return i == overflow ? absent : slots_[i].value;
    }
    bool contains(std::string_view text) const { return find(text) != absent; }
    // Hints the cache about the slot `text` starts its probe at (in the ordered
    // form the table is empty and the hint goes nowhere).
    void prefetch(std::string_view text) const { detail::prefetch(slots_.data() + (probe_of(text).hash & mask_)); }

private:
    struct Probe {
        BytePrefix prefix;
        std::uint64_t hash;
        std::uint16_t length;
        std::uint16_t tag;
    };
    static constexpr std::size_t overflow = ~std::size_t{0};

    Probe probe_of(std::string_view text) const noexcept {
        const BytePrefix prefix = byte_prefix(text);
        const std::uint64_t h = hash_text(text, prefix, hash_key_);
        const auto length = static_cast<std::uint16_t>(text.size() < 0xFFFF ? text.size() : 0xFFFF);
        return {prefix, h, length, static_cast<std::uint16_t>(h >> 48)};
    }
    // The slot holding `text`, else the free slot where it would go; `overflow`
    // when neither lies within the probe limit.
    std::size_t find_slot(const Probe& p, std::string_view text) const {
        std::size_t i = p.hash & mask_;
        for (std::size_t step = 0; step < hash_key_.probe_limit; ++step, i = (i + 1) & mask_) {
            const Slot& s = slots_[i];
            if (s.value == absent) return i;
            if (s.tag == p.tag && s.length == p.length && s.prefix == p.prefix &&
                (text.size() <= 16 || key_(s.value) == text)) {
                return i;
            }
        }
        return overflow;
    }
    // The slot to store `text` in, after growing if due; null when the index has
    // just turned into its ordered form instead.
    Slot* slot_to_store(const Probe& p, std::string_view text) {
        if (2 * (size_ + 1) > slots_.size()) {
            if (!grow()) return nullptr;
            return slot_to_store(p, text);
        }
        const std::size_t i = find_slot(p, text);
        if (i != overflow) [[likely]] return &slots_[i];
        fall_back(slots_);
        return nullptr;
    }
    // False when a text would land past the probe limit in the larger table: the
    // index is then ordered instead.
    [[gnu::noinline]] bool grow() {
        std::vector<Slot> old = std::move(slots_);
        allocate(old.size() * 2);
        for (const Slot& s : old) {
            if (s.value == absent) continue;
            const std::string_view text = key_(s.value);
            const std::size_t i = find_slot(probe_of(text), text);
            if (i == overflow) [[unlikely]] {
                fall_back(old);
                return false;
            }
            slots_[i] = s;
        }
        return true;
    }
    void fall_back(const std::vector<Slot>& from) {
        Table::fall_back(from, [](const Slot& s, std::string_view) { return s.prefix; });
    }
};

// An index of `count` texts, `key(i)` for each position i, each under its first
// position.
template <class Key>
TextIndex<Key> index_positions(std::size_t count, Key key) {
    TextIndex<Key> index(count, key);
    for (std::uint32_t i = 0; i < count; ++i) index.insert(key(i), i);
    return index;
}

// The distinct texts among many, for a check that only asks whether a text came
// before: 8 bytes a slot (a stored value and 32 bits of the text's hash), a
// third of a TextIndex's, so that the index of a million texts stays within the
// caches. A probe whose hash bits match reads the borrowed text to confirm.
template <class Key>
class TextSet : public detail::SlotTable<Key, detail::TagSlot> {
    using Table = detail::SlotTable<Key, detail::TagSlot>;
    using Slot = detail::TagSlot;
    using Table::allocate, Table::hash_key_, Table::key_, Table::mask_, Table::ordered_, Table::size_, Table::slots_;

public:
    using Table::absent;

    TextSet(std::size_t expected, Key key) : Table(expected, std::move(key)) {}

    // Adds `text` under `value` unless an equal text is there already; returns
    // the value stored for it (the new one, or the earlier one).
    std::uint32_t insert(std::string_view text, std::uint32_t value) {
        if (!ordered_ && 2 * (size_ + 1) > slots_.size()) grow();
        if (ordered_) [[unlikely]] return ordered_->insert(text, byte_prefix(text), value);
        const std::uint64_t h = hash(text);
        const auto tag = static_cast<std::uint32_t>(h >> 32);
        std::size_t i = h & mask_;
        for (std::size_t step = 0; step < hash_key_.probe_limit; ++step, i = (i + 1) & mask_) {
            Slot& slot = slots_[i];
            if (slot.value == absent) {
                slot = {value, tag};
                ++size_;
                return value;
            }
            if (slot.tag == tag && key_(slot.value) == text) return slot.value;
        }
        // Past the limit: the text is not stored (every stored text sits within
        // the limit of its first slot), and the table is given up.
        fall_back(slots_);
        return ordered_->insert(text, byte_prefix(text), value);
    }
    // As TextIndex::prefetch.
    void prefetch(std::string_view text) const { detail::prefetch(slots_.data() + (hash(text) & mask_)); }

private:
    std::uint64_t hash(std::string_view text) const noexcept {
        return hash_text(text, byte_prefix(text), hash_key_);
    }
    [[gnu::noinline]] void grow() {
        std::vector<Slot> old = std::move(slots_);
        allocate(old.size() * 2);
        for (const Slot& s : old) {
            if (s.value == absent) continue;
            std::size_t i = hash(key_(s.value)) & mask_;
            std::size_t step = 0;
            for (; step < hash_key_.probe_limit && slots_[i].value != absent; ++step) i = (i + 1) & mask_;
            if (step == hash_key_.probe_limit) [[unlikely]] {
                fall_back(old);
                return;
            }
            slots_[i] = s;
        }
    }
    void fall_back(const std::vector<Slot>& from) {
        Table::fall_back(from, [](const Slot&, std::string_view text) { return byte_prefix(text); });
    }
};

namespace detail {
inline void append_piece(std::string& out, std::string_view piece) { out.append(piece); }
inline void append_piece(std::string& out, const std::string& piece) { out.append(piece); }
inline void append_piece(std::string& out, const char* piece) { out.append(piece); }
template <std::integral T>
  requires(!std::same_as<T, bool> && !std::same_as<T, char>)
void append_piece(std::string& out, T value) {
    char buffer[24];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
    (void)ec;
    out.append(buffer, end);
}
template <class T>
    requires requires(const T& t) { t.view(); }
void append_piece(std::string& out, const T& value) { out.append(value.view()); }
}  // namespace detail

// Fills each "{}" of `pattern` with the next argument (texts as they are, integers
// in decimal, identifiers by their text). A pattern with too few "{}" drops the
// extra arguments; one with too many leaves the rest empty.
template <class... Args>
std::string format(std::string_view pattern, const Args&... args) {
    std::string out;
    out.reserve(pattern.size() + 16 * sizeof...(Args));
    std::size_t pos = 0;
    auto next = [&](const auto& arg) {
        std::size_t hole = pattern.find("{}", pos);
        if (hole == std::string_view::npos) return;
        out.append(pattern.substr(pos, hole - pos));
        detail::append_piece(out, arg);
        pos = hole + 2;
    };
    (next(args), ...);
    out.append(pattern.substr(pos));
    return out;
}

}  // namespace veltrinax::text
