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

}  // namespace veltrinax::text
