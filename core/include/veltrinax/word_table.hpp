#pragma once
// Hash tables keyed by unsigned integers: the path search's best scores per
// (node, hops) and the index of each pruning region's nodes. Builds on the text
// indexes' secret hash key and probe limit; knows nothing of what the words mean.

#include <cstddef>
#include <cstdint>
#include <limits>
#include <map>
#include <type_traits>
#include <utility>
#include <vector>

#include "veltrinax/text.hpp"

namespace veltrinax::text {

// The slot of a word: the whole word mixed under the secret, in two multiply-fold
// rounds. The keys that matter are structured (a node in one half, a hop count or
// a region in the other, consecutive or strided), and one round leaves the low
// bits of the product depending on the low half of the key only: keys that differ
// in their high half then step almost linearly through the slots and linear
// probing clusters them. The second round feeds every bit of the first into the
// low bits of the result.
struct KeyedWordMix {
    static std::uint64_t hash(std::uint64_t word, const HashKey& key) noexcept {
        const std::uint64_t first = detail::fold_multiply(word ^ key.words[0], key.words[1]);
        return detail::fold_multiply(first ^ key.words[2], key.words[3]);
    }
};

// A table from unsigned integer keys (of 64 bits or fewer) to values, by open
// addressing (at most half full) under
// the secret hash, so that no registry can be built offline to make its keys
// collide. Should a probe still run past the limit, the table moves into an
// ordered map, so that no key set makes it quadratic: with the keys mixed whole,
// a probe of 128 slots is as unlikely for the structured keys of the search as for
// random ones (less than once in 10^7 for a million keys), so the ordered form is
// for a broken random source, or someone who knows the secret.
//
// Key and value share a slot: a lookup in a table that has outgrown the caches
// costs one miss. A caller that knows its next keys ahead hashes them once,
// prefetches their slots and looks them up by that hash. The all-ones key is
// reserved.
template <class K, class V, class Mix = KeyedWordMix>
class WordTable {
    static_assert(std::is_unsigned_v<K> && sizeof(K) <= sizeof(std::uint64_t));

public:
    explicit WordTable(std::size_t capacity_floor = 16, HashKey key = index_hash_key())
        : key_(key), floor_(capacity_floor) {}

    std::uint64_t hash(K key) const noexcept { return Mix::hash(key, key_) & key_.mask; }

    // Asks the cache for the slot where a probe for a key of hash `h` starts (a
    // prefetch never faults, even before the first slot is made).
    void prefetch(std::uint64_t h) const noexcept { detail::prefetch(slots_.data() + (h & mask_)); }

    V* find(K key) { return find(key, hash(key)); }
    V* find(K key, std::uint64_t h) {
        if (!ordered_) [[likely]] {
            Slot* slot = mask_ != 0 ? probe(key, h) : nullptr;
            return slot != nullptr && slot->key == key ? &slot->value : nullptr;
        }
        auto it = ordered_map_.find(key);
        return it == ordered_map_.end() ? nullptr : &it->second;
    }

    // The value under `key`, and whether it was added now (as `value`). The pointer
    // stays valid until the next insertion.
    std::pair<V*, bool> try_emplace(K key, V value) { return try_emplace(key, hash(key), value); }
    std::pair<V*, bool> try_emplace(K key, std::uint64_t h, V value) {
        // The common case inline: the key found, or a free slot while the table
        // needs no growth; everything else out of line.
        if (!ordered_ && mask_ != 0) [[likely]] {
            Slot* slot = probe(key, h);
            if (slot != nullptr && slot->key == key) return {&slot->value, false};
            if (slot != nullptr && 2 * (size_ + 1) <= mask_ + 1) {
                *slot = Slot{key, value};
                ++size_;
                return {&slot->value, true};
            }
        }
        return insert_slowly(key, h, value);
    }

    std::size_t size() const noexcept { return ordered_ ? ordered_map_.size() : size_; }
    // Whether a probe ran past the limit and the table now orders its keys.
    bool ordered() const noexcept { return ordered_; }

private:
    static constexpr K empty_key = std::numeric_limits<K>::max();

    struct Slot {
        K key = empty_key;
        V value{};
    };

    // The key's slot or the free slot where it belongs; null past the probe limit.
    Slot* probe(K key, std::uint64_t h) {
        std::size_t at = static_cast<std::size_t>(h) & mask_;
        for (std::size_t step = 0; step < key_.probe_limit; ++step, at = (at + 1) & mask_) {
            Slot& s = slots_[at];
            if (s.key == key || s.key == empty_key) return &s;
        }
        return nullptr;
    }

    [[gnu::noinline]] std::pair<V*, bool> insert_slowly(K key, std::uint64_t h, V value) {
        if (!ordered_) {
            if (mask_ == 0) mask_ = detail::allocate_slots(slots_, floor_);
            Slot* slot = probe(key, h);
            if (slot != nullptr && slot->key == key) return {&slot->value, false};
            if (slot != nullptr && 2 * (size_ + 1) > slots_.size()) slot = grow() ? probe(key, h) : nullptr;
            if (slot != nullptr) {
                *slot = Slot{key, value};
                ++size_;
                return {&slot->value, true};
            }
            move_to_ordered();
        }
        auto [it, added] = ordered_map_.try_emplace(key, value);
        return {&it->second, added};
    }

    bool grow() {
        std::vector<Slot> old = std::move(slots_);
        const std::size_t old_mask = mask_;
        mask_ = detail::allocate_slots(slots_, old.size() * 2);
        for (const Slot& s : old) {
            if (s.key == empty_key) continue;
            Slot* to = probe(s.key, hash(s.key));
            if (to == nullptr) {
                slots_ = std::move(old);
                mask_ = old_mask;
                return false;
            }
            *to = s;
        }
        return true;
    }

    [[gnu::cold]] void move_to_ordered() {
        for (const Slot& s : slots_) {
            if (s.key != empty_key) ordered_map_.emplace(s.key, s.value);
        }
        std::vector<Slot>().swap(slots_);
        mask_ = 0;
        size_ = 0;
        ordered_ = true;
    }

    std::vector<Slot> slots_;
    std::size_t mask_ = 0;  // slot count - 1; 0 before the first slot is made
    std::size_t size_ = 0;
    HashKey key_;
    std::size_t floor_;
    bool ordered_ = false;
    std::map<K, V> ordered_map_;
};

}  // namespace veltrinax::text
