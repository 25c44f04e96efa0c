#pragma once
// Text helpers shared by every module: the one definition of Unicode white space
// ("blank" texts), UTF-8 decoding, and the small message formatter that every rule
// message is built with. Depends on nothing else in the core.

#include <algorithm>
#include <bit>
#include <charconv>
#include <concepts>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>
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

// The hash both indexes below use: the packed first 16 bytes (`prefix`, which
// the caller has at hand) and the length mixed at once, any further bytes one by one.
inline std::uint64_t hash_text(std::string_view text, const BytePrefix& prefix) noexcept {
    std::uint64_t h = prefix.hi * 0x9E3779B97F4A7C15ull;
    h ^= (prefix.lo + text.size()) * 0xC2B2AE3D27D4EB4Full;
    for (std::size_t i = 16; i < text.size(); ++i) h = (h ^ static_cast<unsigned char>(text[i])) * 0x100000001B3ull;
    h ^= h >> 29;
    h *= 0xBF58476D1CE4E5B9ull;
    h ^= h >> 32;
    return h;
}

// Slots for `expected` texts in the indexes below: a power of two, at most half full.
inline std::size_t slot_count(std::size_t expected) noexcept {
    std::size_t capacity = 16;
    while (capacity < 2 * expected) capacity *= 2;
    return capacity;
}

// An open-addressing hash index from texts to 32-bit values (positions, ranks),
// for checks where only membership or first occurrence matters. The texts are
// borrowed: `key(value)` must give back the text a value was stored under, for as
// long as the index is used. Each slot keeps the text's first 16 bytes and its
// length, so a probe settles on the slot alone for texts of up to 16 bytes and
// reads the borrowed text only to confirm a longer one.
template <class Key>
class TextIndex {
public:
    static constexpr std::uint32_t absent = 0xFFFFFFFFu;

    TextIndex(std::size_t expected, Key key) : key_(std::move(key)) { allocate(slot_count(expected)); }

    // Stores `value` for `text` unless the text is there already; returns the
    // value stored for it (the new one, or the earlier one).
    std::uint32_t insert(std::string_view text, std::uint32_t value) {
        if (2 * (size_ + 1) > slots_.size()) grow();
        const Probe p = probe_of(text);
        Slot& slot = slots_[find_slot(p, text)];
        if (slot.value == absent) {
            slot = {p.prefix, value, p.length, p.tag};
            ++size_;
        }
        return slot.value;
    }
    // Stores `value` for `text`, replacing an earlier value.
    void assign(std::string_view text, std::uint32_t value) {
        if (2 * (size_ + 1) > slots_.size()) grow();
        const Probe p = probe_of(text);
        Slot& slot = slots_[find_slot(p, text)];
        if (slot.value == absent) ++size_;
        slot = {p.prefix, value, p.length, p.tag};
    }
    // The value stored for `text`, or `absent`.
    std::uint32_t find(std::string_view text) const {
        const Probe p = probe_of(text);
        return slots_[find_slot(p, text)].value;
    }
    // Hints the cache about the slot `text` starts its probe at.
    void prefetch(std::string_view text) const {
        __builtin_prefetch(&slots_[probe_of(text).hash & mask_]);
    }
    std::size_t size() const noexcept { return size_; }

private:
    struct Slot {
        BytePrefix prefix;
        std::uint32_t value = absent;
        std::uint16_t length = 0;  // capped; longer texts are confirmed whole
        std::uint16_t tag = 0;
    };
    struct Probe {
        BytePrefix prefix;
        std::uint64_t hash;
        std::uint16_t length;
        std::uint16_t tag;
    };

    static Probe probe_of(std::string_view text) noexcept {
        const BytePrefix prefix = byte_prefix(text);
        const std::uint64_t h = hash_text(text, prefix);
        const auto length = static_cast<std::uint16_t>(text.size() < 0xFFFF ? text.size() : 0xFFFF);
        return {prefix, h, length, static_cast<std::uint16_t>(h >> 48)};
    }
    std::size_t find_slot(const Probe& p, std::string_view text) const {
        std::size_t i = p.hash & mask_;
        for (;;) {
            const Slot& s = slots_[i];
            if (s.value == absent) return i;
            if (s.tag == p.tag && s.length == p.length && s.prefix == p.prefix &&
                (text.size() <= 16 || key_(s.value) == text)) {
                return i;
            }
            i = (i + 1) & mask_;
        }
    }
    void allocate(std::size_t capacity) {
        slots_.clear();
        slots_.reserve(capacity);
        advise_large_buffer(slots_.data(), capacity * sizeof(Slot));
        slots_.assign(capacity, Slot{});
        mask_ = capacity - 1;
    }
    void grow() {
        std::vector<Slot> old = std::move(slots_);
        allocate(old.size() * 2);
        for (const Slot& s : old) {
            if (s.value == absent) continue;
            const std::string_view text = key_(s.value);
            slots_[find_slot(probe_of(text), text)] = s;
        }
    }

    Key key_;
    std::vector<Slot> slots_;
    std::size_t mask_ = 0;
    std::size_t size_ = 0;
};

// The distinct texts among many, for a check that only asks whether a text came
// before: 8 bytes a slot (a stored value and 32 bits of the text's hash), a
// third of a TextIndex's, so that the index of a million texts stays within the
// caches. A probe whose hash bits match reads the borrowed text to confirm.
template <class Key>
class TextSet {
public:
    static constexpr std::uint32_t absent = 0xFFFFFFFFu;

    TextSet(std::size_t expected, Key key) : key_(std::move(key)) {
        const std::size_t capacity = slot_count(expected);
        slots_.reserve(capacity);
        advise_large_buffer(slots_.data(), capacity * sizeof(Slot));
        slots_.assign(capacity, Slot{});
        mask_ = capacity - 1;
    }

    // Adds `text` under `value` unless an equal text is there already; returns
    // the value stored for it (the new one, or the earlier one).
    std::uint32_t insert(std::string_view text, std::uint32_t value) {
        if (2 * (size_ + 1) > slots_.size()) grow();
        const std::uint64_t h = hash(text);
        const auto tag = static_cast<std::uint32_t>(h >> 32);
        for (std::size_t i = h & mask_;; i = (i + 1) & mask_) {
            Slot& slot = slots_[i];
            if (slot.value == absent) {
                slot = {value, tag};
                ++size_;
                return value;
            }
            if (slot.tag == tag && key_(slot.value) == text) return slot.value;
        }
    }
    void prefetch(std::string_view text) const { __builtin_prefetch(&slots_[hash(text) & mask_]); }

private:
    struct Slot {
        std::uint32_t value = absent;
        std::uint32_t tag = 0;
    };
    static std::uint64_t hash(std::string_view text) noexcept { return hash_text(text, byte_prefix(text)); }
    void grow() {
        std::vector<Slot> old(slots_.size() * 2);
        old.swap(slots_);
        mask_ = slots_.size() - 1;
        for (const Slot& s : old) {
            if (s.value == absent) continue;
            std::size_t i = hash(key_(s.value)) & mask_;
            while (slots_[i].value != absent) i = (i + 1) & mask_;
            slots_[i] = s;
        }
    }

    Key key_;
    std::vector<Slot> slots_;
    std::size_t mask_ = 0;
    std::size_t size_ = 0;
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
