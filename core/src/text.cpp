#include "veltrinax/text.hpp"

#include <atomic>
#include <cerrno>
#include <chrono>

#if defined(__unix__) || defined(__APPLE__)
#include <fcntl.h>
#include <unistd.h>
#endif
#if defined(__linux__)
#include <sys/mman.h>
#include <sys/random.h>
#endif

namespace veltrinax::text {

bool is_white_space(char32_t c) noexcept {
    switch (c) {
        case 0x09: case 0x0A: case 0x0B: case 0x0C: case 0x0D: case 0x20:
        case 0x85: case 0xA0: case 0x1680:
        case 0x2000: case 0x2001: case 0x2002: case 0x2003: case 0x2004: case 0x2005:
        case 0x2006: case 0x2007: case 0x2008: case 0x2009: case 0x200A:
        case 0x2028: case 0x2029: case 0x202F: case 0x205F: case 0x3000:
            return true;
        default:
            return false;
    }
}

bool is_control(char32_t c) noexcept { return c <= 0x1F || (c >= 0x7F && c <= 0x9F); }

char32_t decode_utf8(std::string_view s, std::size_t& i) noexcept {
    constexpr char32_t bad = 0xFFFFFFFFu;
    auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    unsigned char b0 = byte(i);
    if (b0 < 0x80) {
        ++i;
        return b0;
    }
    int len;
    char32_t c;
    char32_t min;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        len = 2, c = b0 & 0x1F, min = 0x80;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        len = 3, c = b0 & 0x0F, min = 0x800;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        len = 4, c = b0 & 0x07, min = 0x10000;
    } else {
        ++i;
        return bad;
    }
    if (i + len > s.size()) {
        ++i;
        return bad;
    }
    for (int k = 1; k < len; ++k) {
        unsigned char b = byte(i + k);
        if ((b & 0xC0) != 0x80) {
            ++i;
            return bad;
        }
        c = (c << 6) | (b & 0x3F);
    }
    if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
        ++i;
        return bad;
    }
    i += len;
    return c;
}

bool is_valid_utf8(std::string_view s) noexcept {
    std::size_t i = 0;
    while (i < s.size()) {
        if (static_cast<unsigned char>(s[i]) < 0x80) {
            ++i;
            continue;
        }
        if (decode_utf8(s, i) == 0xFFFFFFFFu) return false;
    }
    return true;
}

bool is_blank(std::string_view s) noexcept {
    std::size_t i = 0;
    while (i < s.size()) {
        char32_t c = decode_utf8(s, i);
        if (!is_white_space(c)) return false;
    }
    return true;
}

void append_utf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

void advise_large_buffer(const void* data, std::size_t bytes) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr std::size_t huge = std::size_t{2} << 20;
    if (bytes < 2 * huge) return;
    // Only whole huge pages inside the buffer: the advice must not reach memory
    // that belongs to anyone else.
    const auto begin = (reinterpret_cast<std::uintptr_t>(data) + huge - 1) & ~(huge - 1);
    const auto end = (reinterpret_cast<std::uintptr_t>(data) + bytes) & ~(huge - 1);
    if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
    (void)data;
    (void)bytes;
#endif
}

namespace {

constexpr std::size_t key_words = sizeof(HashKey::words) / sizeof(std::uint64_t);

// Fills `out` from the system's random source; false when it cannot. Never
// blocks: a pool not yet seeded at boot is read through /dev/urandom.
bool system_random(std::uint64_t (&out)[key_words]) noexcept {
    [[maybe_unused]] auto* bytes = reinterpret_cast<unsigned char*>(out);
#if defined(__linux__)
    for (std::size_t got = 0;;) {
        const ssize_t n = getrandom(bytes + got, sizeof out - got, GRND_NONBLOCK);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
        if (got == sizeof out) return true;
    }
#endif
#if defined(__unix__) || defined(__APPLE__)
    const int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    std::size_t got = 0;
    while (got < sizeof out) {
        const ssize_t n = read(fd, bytes + got, sizeof out - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    close(fd);
    return got == sizeof out;
#else
    return false;
#endif
}

std::uint64_t splitmix(std::uint64_t& state) noexcept {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// Without a random source the key is only as unpredictable as the clocks and
// addresses of this process; the probe limit keeps the indexes in O(n log n)
// time anyway.
void weak_entropy(std::uint64_t (&out)[key_words]) noexcept {
    int local = 0;
    std::uint64_t state = static_cast<std::uint64_t>(
        std::chrono::high_resolution_clock::now().time_since_epoch().count());
    state ^= static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) << 17;
    state ^= reinterpret_cast<std::uintptr_t>(&local);
    state ^= reinterpret_cast<std::uintptr_t>(&weak_entropy) << 7;
#if defined(__unix__) || defined(__APPLE__)
    state ^= static_cast<std::uint64_t>(getpid()) << 40;
#endif
    for (std::uint64_t& word : out) word ^= splitmix(state);
}

struct ProcessKey {
    std::uint64_t words[key_words] = {};
    ProcessKey() noexcept {
        if (!system_random(words)) weak_entropy(words);
    }
};

std::atomic<bool> degenerate_hash{false};

}  // namespace

HashKey index_hash_key() noexcept {
    static const ProcessKey key;  // drawn once, on first use, by whichever thread comes first
    HashKey out{};
    for (std::size_t i = 0; i < key_words; ++i) out.words[i] = key.words[i];
    const bool degenerate = degenerate_hash.load(std::memory_order_relaxed);
    out.mask = degenerate ? 0 : ~std::uint64_t{0};
    out.probe_limit = degenerate ? 1 : probe_limit;
    return out;
}

namespace testing {
bool set_degenerate_hash(bool on) noexcept { return degenerate_hash.exchange(on); }
}  // namespace testing

namespace {

// One pair at one depth of the pair order: its word there (big-endian, zero
// padded), how many of the word's 8 bytes its text holds (fewer once the text
// has ended) or 9 when more bytes follow, and the pair's position. A text that
// ends with the word then orders before one that goes on, as a prefix does, and
// a run of entries tied on a word knows whether their texts end there without
// reading them again.
struct WordEntry {
    std::uint64_t word;
    std::uint32_t bytes;
    std::uint32_t position;
};

bool word_less(const WordEntry& a, const WordEntry& b) noexcept {
    return a.word != b.word ? a.word < b.word : a.bytes < b.bytes;
}
bool word_equal(const WordEntry& a, const WordEntry& b) noexcept { return a.word == b.word && a.bytes == b.bytes; }

// The bytes `a` and `b` share from their start, within `n`, in whole words.
std::size_t common_words(const char* a, const char* b, std::size_t n) noexcept {
    std::size_t i = 0;
    while (i + 8 <= n && detail::load_word(a + i) == detail::load_word(b + i)) i += 8;
    return i;
}

// A range of the order whose pairs agree on every word of text `part` before
// `depth` (and on their whole first text when `part` is 1). When `cached`, its
// entries hold their words at `depth`, and it may be partitioned `rounds` more
// times at that depth before it is sorted outright.
struct Range {
    std::uint32_t lo;
    std::uint32_t hi;
    std::uint32_t depth;
    std::uint8_t part;
    std::uint8_t cached;
    std::size_t rounds;
};

// The sort behind `pair_order`. A range whose words are not known yet is split
// around one of its texts drawn at random (the pivot): each text is read from
// the range's depth up to the word where it parts from the pivot, which sorts it
// into a class by that word's place and by which side of the pivot it falls on.
// The texts of a class share every word before that place, and their words there
// are partitioned three ways; those tied on it are split again one word deeper.
// So each word of a text is read once, in one sweep whatever prefix it shares
// with the others, and an entry's work between two sweeps is a few comparisons
// of cached words, O(log n) in all, expected. A range of a few pairs is sorted by
// comparing what is left of them whole.
class PairSorter {
public:
    static constexpr std::uint32_t small_range = 16;

    PairSorter(std::span<const TextPair> pairs, std::size_t rounds)
        : pairs_(pairs), rounds_(rounds), state_(index_hash_key().words[3]) {}

    PairOrder run() {
        const auto count = static_cast<std::uint32_t>(pairs_.size());
        out_.new_pair.assign(count, 0);
        entries_.resize(count);
        for (std::uint32_t i = 0; i < count; ++i) entries_[i] = {0, 0, i};
        spare_.resize(count);
        codes_.resize(count);
        if (count > 0) ranges_.push_back({0, count, 0, 0, 0, rounds_});
        while (!ranges_.empty()) {
            const Range r = ranges_.back();
            ranges_.pop_back();
            if (r.hi - r.lo == 1) {
                out_.new_pair[r.lo] = 1;
            } else if (r.cached) {
                partition(r);
            } else {
                split(r);
            }
        }
        out_.positions.resize(count);
        for (std::uint32_t i = 0; i < count; ++i) out_.positions[i] = entries_[i].position;
        return std::move(out_);
    }

private:
    std::string_view text_of(std::uint32_t position, unsigned part) const {
        return part == 0 ? pairs_[position].first : pairs_[position].second;
    }
    static WordEntry word_at(std::string_view text, std::size_t depth, std::uint32_t position) noexcept {
        const std::size_t at = 8 * depth;
        const std::size_t left = text.size() > at ? text.size() - at : 0;
        return {left > 0 ? detail::load_top(text.data() + at, std::min<std::size_t>(left, 8)) : 0,
                static_cast<std::uint32_t>(std::min<std::size_t>(left, 9)), position};
    }
    // A place in [0, size) drawn under the secret key.
    std::uint32_t draw(std::uint32_t size) noexcept {
        return static_cast<std::uint32_t>((static_cast<detail::uint128>(splitmix(state_)) * size) >> 64);
    }

    // [lo, hi) agrees on text `part` whole: on to the second text, or equal pairs.
    void text_done(std::uint32_t lo, std::uint32_t hi, unsigned part) {
        if (hi - lo == 1 || part == 1) {
            out_.new_pair[lo] = 1;
        } else {
            ranges_.push_back({lo, hi, 0, 1, 0, rounds_});
        }
    }
    // [lo, hi) of `r` also agrees on its word at r.depth, whose `bytes` are 9
    // when the texts go on.
    void word_done(std::uint32_t lo, std::uint32_t hi, std::uint32_t bytes, const Range& r) {
        if (hi - lo == 1) {
            out_.new_pair[lo] = 1;
        } else if (bytes == 9) {
            ranges_.push_back({lo, hi, r.depth + 1, r.part, 0, rounds_});
        } else {
            text_done(lo, hi, r.part);
        }
    }

    // A small range is sorted by comparing what is left of its pairs whole: a
    // split would read as much and cost more.
    void sort_small(const Range& r) {
        const std::size_t at = 8 * std::size_t{r.depth};
        auto rest = [&](const WordEntry& e) {
            const TextPair& p = pairs_[e.position];
            return r.part == 0 ? TextPair(p.first.substr(at), p.second) : TextPair(p.second.substr(at), {});
        };
        const auto begin = entries_.begin() + r.lo;
        const auto end = entries_.begin() + r.hi;
        for (auto it = begin + 1; it != end; ++it) {
            const WordEntry e = *it;
            const TextPair key = rest(e);
            auto to = it;
            for (; to != begin && key < rest(*(to - 1)); --to) *to = *(to - 1);
            *to = e;
        }
        out_.new_pair[r.lo] = 1;
        for (std::uint32_t i = r.lo + 1; i < r.hi; ++i) out_.new_pair[i] = rest(entries_[i - 1]) != rest(entries_[i]);
    }

    void split(const Range& r) {
        if (r.hi - r.lo <= small_range) {
            sort_small(r);
            return;
        }
        const std::string_view pivot = text_of(entries_[r.lo + draw(r.hi - r.lo)].position, r.part);
        const std::size_t at = 8 * std::size_t{r.depth};
        // Each entry's code: the words it shares with the pivot beyond the
        // range's, times three, plus 0, 1 or 2 as it falls below, on or above it.
        std::uint32_t widest = 0;
        for (std::uint32_t i = r.lo; i < r.hi; ++i) {
            // The entries' texts lie scattered over memory: their pairs are asked
            // for 16 entries ahead and their texts 8 ahead.
            if (i + 16 < r.hi) detail::prefetch(&pairs_[entries_[i + 16].position]);
            if (i + 8 < r.hi) detail::prefetch(text_of(entries_[i + 8].position, r.part).data() + at);
            WordEntry& e = entries_[i];
            const std::string_view text = text_of(e.position, r.part);
            const auto shared =
                static_cast<std::uint32_t>(common_words(pivot.data() + at, text.data() + at,
                                                        std::min(pivot.size(), text.size()) - at) / 8);
            const std::size_t depth = std::size_t{r.depth} + shared;
            e = word_at(text, depth, e.position);
            const WordEntry mark = word_at(pivot, depth, 0);
            const std::uint32_t side = word_less(e, mark) ? 0 : (word_less(mark, e) ? 2 : 1);
            codes_[i] = 3 * shared + side;
            widest = std::max(widest, shared);
        }
        // The classes in order: below the pivot by ascending shared words (the
        // fewer, the further below), the pivot's own text, then above it by
        // descending shared words.
        auto class_of = [widest](std::uint32_t code) {
            const std::uint32_t shared = code / 3;
            switch (code % 3) {
                case 0: return shared;
                case 1: return widest + 1;
                default: return 2 * widest + 2 - shared;
            }
        };
        place_.assign(2 * std::size_t{widest} + 4, 0);
        for (std::uint32_t i = r.lo; i < r.hi; ++i) ++place_[class_of(codes_[i]) + 1];
        // Moved into their classes unless they fall in one (a text shared by all).
        const bool one_class = std::find(place_.begin(), place_.end(), r.hi - r.lo) != place_.end();
        for (std::size_t k = 1; k < place_.size(); ++k) place_[k] += place_[k - 1];
        if (one_class) {
            std::copy(place_.begin() + 1, place_.end(), place_.begin());
        } else {
            for (std::uint32_t i = r.lo; i < r.hi; ++i) spare_[r.lo + place_[class_of(codes_[i])]++] = entries_[i];
            std::copy(spare_.begin() + r.lo, spare_.begin() + r.hi, entries_.begin() + r.lo);
        }
        // `place_[k]` now ends class k.
        std::uint32_t from = r.lo;
        for (std::uint32_t k = 0; k + 1 < place_.size(); ++k) {
            const std::uint32_t to = r.lo + place_[k];
            if (to == from) continue;
            if (k == widest + 1) {
                text_done(from, to, r.part);
            } else if (to - from == 1) {
                out_.new_pair[from] = 1;
            } else {
                const std::uint32_t shared = k <= widest ? k : 2 * widest + 2 - k;
                ranges_.push_back({from, to, r.depth + shared, r.part, 1, rounds_});
            }
            from = to;
        }
    }

    void partition(const Range& r) {
        const auto begin = entries_.begin() + r.lo;
        const auto end = entries_.begin() + r.hi;
        if (r.rounds == 0 || r.hi - r.lo <= small_range) {
            if (r.hi - r.lo <= small_range) {
                for (auto it = begin + 1; it != end; ++it) {
                    const WordEntry e = *it;
                    auto to = it;
                    for (; to != begin && word_less(e, *(to - 1)); --to) *to = *(to - 1);
                    *to = e;
                }
            } else {
                std::sort(begin, end, word_less);
            }
            for (auto run = begin; run != end;) {
                auto next = run + 1;
                while (next != end && word_equal(*next, *run)) ++next;
                word_done(static_cast<std::uint32_t>(run - entries_.begin()),
                          static_cast<std::uint32_t>(next - entries_.begin()), run->bytes, r);
                run = next;
            }
            return;
        }
        // Three ways around the median of three words drawn at random.
        const std::uint32_t size = r.hi - r.lo;
        const WordEntry a = *(begin + draw(size));
        const WordEntry b = *(begin + draw(size));
        const WordEntry c = *(begin + draw(size));
        const WordEntry pivot = word_less(a, b) ? (word_less(b, c) ? b : (word_less(a, c) ? c : a))
                                                : (word_less(a, c) ? a : (word_less(b, c) ? c : b));
        auto less = begin;
        auto at = begin;
        auto greater = end;
        while (at != greater) {
            if (word_less(*at, pivot)) {
                std::iter_swap(less++, at++);
            } else if (word_less(pivot, *at)) {
                std::iter_swap(at, --greater);
            } else {
                ++at;
            }
        }
        const auto lo = static_cast<std::uint32_t>(less - entries_.begin());
        const auto hi = static_cast<std::uint32_t>(greater - entries_.begin());
        if (lo > r.lo) ranges_.push_back({r.lo, lo, r.depth, r.part, 1, r.rounds - 1});
        if (hi < r.hi) ranges_.push_back({hi, r.hi, r.depth, r.part, 1, r.rounds - 1});
        word_done(lo, hi, pivot.bytes, r);
    }

    std::span<const TextPair> pairs_;
    std::size_t rounds_;
    std::uint64_t state_;
    PairOrder out_;
    std::vector<WordEntry> entries_;
    std::vector<WordEntry> spare_;
    std::vector<std::uint32_t> codes_;  // per place of a range being split
    std::vector<std::uint32_t> place_;  // per class of a range being split
    std::vector<Range> ranges_;
};

}  // namespace

namespace detail {
PairOrder pair_order(std::span<const TextPair> pairs, std::size_t rounds) { return PairSorter(pairs, rounds).run(); }
}  // namespace detail

PairOrder pair_order(std::span<const TextPair> pairs) {
    return detail::pair_order(pairs, 2 * static_cast<std::size_t>(std::bit_width(pairs.size())) + 8);
}

}  // namespace veltrinax::text
