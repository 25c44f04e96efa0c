#include "veltrinax/adapter.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <deque>
#include <limits>
#include <map>
#include <utility>

#include "veltrinax/text.hpp"

namespace veltrinax {

// ---------------------------------------------------------------------------
// Names and contract validation
// ---------------------------------------------------------------------------

namespace adapter {

Status validate_name(std::string_view label, std::string_view name) {
    if (text::is_blank(name)) return fail(text::format("{} name is empty", label));
    for (char c : name) {
        bool allowed = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
                       c == '.' || c == '/' || c == ':' || c == '_';
        if (!allowed) return fail(text::format("{} `{}` contains unsupported characters", label, name));
    }
    return {};
}

}  // namespace adapter

Status InputPortSpec::validate() const {
    if (auto ok = adapter::validate_name("input port", name); !ok) return ok;
    if (accepted_representations.empty()) {
        return fail(text::format("input port `{}` accepts no representations", name));
    }
    if (accepted_types.empty()) return fail(text::format("input port `{}` accepts no types", name));
    return {};
}

Status ModelInputSpec::validate() const {
    if (ports.empty()) return fail("model input spec contains no ports");
    auto name_at = [this](std::uint32_t i) { return std::string_view(ports[i].name); };
    text::TextSet<decltype(name_at)> seen(ports.size(), name_at);
    for (std::uint32_t i = 0; i < ports.size(); ++i) {
        const InputPortSpec& port = ports[i];
        if (auto ok = port.validate(); !ok) return ok;
        if (seen.insert(port.name, i) != i) return fail(text::format("duplicate model input port `{}`", port.name));
    }
    return {};
}

Status AdapterSpec::validate() const {
    if (auto ok = adapter::validate_name("adapter", id); !ok) return ok;
    if (auto ok = adapter::validate_name("adapter version", version); !ok) return ok;
    if (!deterministic) return fail(text::format("adapter `{}` is not deterministic", id));
    if (stateful && fit_scope == FitScope::stateless) {
        return fail(text::format("stateful adapter `{}` cannot use stateless fit scope", id));
    }
    return {};
}

// ---------------------------------------------------------------------------
// The registry
// ---------------------------------------------------------------------------

namespace {

auto id_position(const std::vector<AdapterSpec>& adapters, std::string_view id) {
    return std::lower_bound(adapters.begin(), adapters.end(), id,
                            [](const AdapterSpec& a, std::string_view key) { return std::string_view(a.id) < key; });
}

}  // namespace

const AdapterSpec* AdapterRegistry::find(std::string_view id) const {
    auto it = id_position(adapters_, id);
    if (it != adapters_.end() && it->id == id) return &*it;
    return nullptr;
}

Status AdapterRegistry::register_adapter(AdapterSpec spec) {
    if (auto ok = spec.validate(); !ok) return ok;
    auto it = id_position(adapters_, spec.id);
    if (it != adapters_.end() && it->id == spec.id) return fail(text::format("duplicate adapter id `{}`", spec.id));
    adapters_.insert(it, std::move(spec));
    return {};
}

Result<AdapterRegistry> AdapterRegistry::from_spec(AdapterRegistrySpec spec) {
    // The same outcome as registering the adapters one by one in list order, but
    // without a sorted insertion per adapter (quadratic on large registries): every
    // adapter before the first failure is valid, so a repeated id is a duplicate
    // exactly when an earlier adapter of the list has it.
    {
        const std::vector<AdapterSpec>& adapters = spec.adapters;
        auto id_at = [&adapters](std::uint32_t i) { return std::string_view(adapters[i].id); };
        text::TextSet<decltype(id_at)> ids(adapters.size(), id_at);
        for (std::uint32_t i = 0; i < adapters.size(); ++i) {
            const AdapterSpec& a = adapters[i];
            if (auto ok = a.validate(); !ok) return std::unexpected(std::move(ok.error()));
            if (ids.insert(a.id, i) != i) return fail(text::format("duplicate adapter id `{}`", a.id));
        }
    }
    AdapterRegistry registry;
    registry.adapters_ = std::move(spec.adapters);
    std::sort(registry.adapters_.begin(), registry.adapters_.end(),
              [](const AdapterSpec& a, const AdapterSpec& b) { return a.id < b.id; });
    return registry;
}

PathResolution PathResolution::unresolved(std::string code, std::string message, std::vector<std::string> choices) {
    PathResolution r;
    r.requires_user_choice = !choices.empty();
    r.issues.push_back(PlanIssue{std::move(code), std::move(message), std::move(choices)});
    return r;
}

// ---------------------------------------------------------------------------
// The path search
//
// Adapters are referred to by their index in the registry's id-ordered list, so
// comparing indices compares ids; nodes by their index in the sorted list of
// (type, representation) pairs, so comparing indices compares nodes. A path is
// an entry of an arena tree (parent, adapter): a state costs a fixed few bytes
// whatever its length, and each distinct path is one entry.
//
// Equally good states are ordered by path labels, or, when those tie, by
// climbing to the two paths' first difference with skew-binary jump pointers.
// The collected goals (all of one length) are put in path order once, by their
// position in a depth-first walk of the arena, whose children were created in
// id order.
//
// The no-reuse rule only concerns adapters inside a strongly connected
// component (a path that took one came back to its input node), and a path
// never returns to a component it left: each entry keeps the set of adapters it
// used since entering its current component, as a bit mask for components of
// up to 64 such adapters and as a persistent bit trie for larger ones.
// ---------------------------------------------------------------------------

namespace {

constexpr std::uint32_t none = std::numeric_limits<std::uint32_t>::max();
constexpr std::uint64_t lossy_penalty = 1'000'000;
constexpr std::uint64_t stateful_penalty = 100'000;
constexpr std::uint64_t supervised_penalty = 100'000;

// Units of the work budget, weighed so that a unit costs at most about 10 ns
// and 8 bytes even when the search's tables have long outgrown the caches.
namespace work {
// A pushed state: its heap slot, arena entry and best-score slot, pushed and
// popped, and its share of putting the goals in order.
constexpr std::uint64_t state = 32;
// An adapter examined while expanding a state (a best-score lookup, mostly).
constexpr std::uint64_t examined = 2;
// One level of a no-reuse trie, looked up or copied (a cache miss and 16 bytes,
// mostly).
constexpr std::uint64_t trie_level = 4;
// A state popped and looked at, or one step of a comparison climbing two paths.
constexpr std::uint64_t step = 2;
// An adapter walked backwards by pruning: a keyed-table lookup or insert, and up
// to 56 bytes (its entry, and its input node's when that is new) kept for the
// rest of the call.
constexpr std::uint64_t walked = 10;
// An adapter of a completed walk put in order and filed under its input node.
constexpr std::uint64_t sorted = 6;
// A search's fixed part: setting it up (its tables are made on first use).
constexpr std::uint64_t search = 16;
// The fixed part of an adapter copied into a resolved path (its texts and
// parameters are counted by their size on top).
constexpr std::uint64_t copied_adapter = 64;
}  // namespace work

bool add_checked(std::uint64_t a, std::uint64_t b, std::uint64_t& out) { return !__builtin_add_overflow(a, b, &out); }

// The exact edge weight, or none when it does not fit in 64 bits. The preferred
// bonus is taken before the one addition that can overflow, so a weight whose
// exact value is 2^64-1 is not mistaken for an overflow.
std::optional<std::uint64_t> edge_weight(const AdapterSpec& a, bool preferred) {
    std::uint64_t penalties = (a.lossy ? lossy_penalty : 0) + (a.stateful ? stateful_penalty : 0) +
                              (a.supervised ? supervised_penalty : 0);
    std::uint64_t base = std::max<std::uint64_t>(a.cost, 1);
    if (preferred) {
        if (penalties > 0) {
            --penalties;
        } else {
            --base;
        }
    }
    std::uint64_t weight = 0;
    if (!add_checked(base, penalties, weight)) return std::nullopt;
    return weight;
}

bool allowed_by(const AdapterSpec& a, const PlanningPolicy& policy) {
    if (policy.forbidden_adapters.contains(a.id)) return false;
    if (a.lossy && !policy.allow_lossy) return false;
    if (a.stateful && !policy.allow_stateful) return false;
    if (a.supervised && !policy.allow_supervised) return false;
    return true;
}

// The work left to the searches of one call.
class Budget {
public:
    explicit Budget(std::uint64_t limit) : left_(limit), limit_(limit) {}
    bool take(std::uint64_t units) noexcept {
        if (units > left_) {
            left_ = 0;
            return false;
        }
        left_ -= units;
        return true;
    }
    std::uint64_t limit() const noexcept { return limit_; }

private:
    std::uint64_t left_;
    std::uint64_t limit_;
};

// The graph of one policy: the adapters it allows, grouped by input and by
// output node. Independent of the two ends of a search.
struct PolicyGraph {
    using NodeKey = std::pair<std::string_view, std::string_view>;

    std::vector<NodeKey> nodes;  // sorted, unique
    // Per node: outgoing adapters ascending by id, and incoming ones (rows).
    std::vector<std::uint32_t> out_begin;
    std::vector<std::uint32_t> out_adapters;
    std::vector<std::uint32_t> in_begin;
    std::vector<std::uint32_t> in_adapters;
    // Per registry index (meaningful for allowed adapters only).
    std::vector<std::uint32_t> input_node;
    std::vector<std::uint32_t> output_node;
    std::vector<std::uint64_t> cost;
    std::vector<std::uint64_t> weight;
    std::vector<std::uint8_t> weight_fits;
    // The no-reuse rule: an adapter's index among the adapters inside its
    // component (`none` for one that leaves its component and so can never
    // recur), and the depth of that component's trie (0: a 64-bit mask).
    std::vector<std::uint32_t> cycle_local;
    std::vector<std::uint8_t> trie_depth;
    // True when no sum along any path can leave 64 bits: the sums of all allowed
    // weights and of all allowed costs fit (a path uses each adapter at most once).
    bool overflow_impossible = true;

    std::uint32_t node_count() const noexcept { return static_cast<std::uint32_t>(nodes.size()); }
    std::uint32_t find_node(std::string_view type, std::string_view representation) const {
        const NodeKey key(type, representation);
        auto it = std::lower_bound(nodes.begin(), nodes.end(), key);
        if (it == nodes.end() || *it != key) return none;
        return static_cast<std::uint32_t>(it - nodes.begin());
    }
};

// Tarjan's algorithm without recursion; returns the component of each node.
std::vector<std::uint32_t> strong_components(const PolicyGraph& g) {
    const std::uint32_t n = g.node_count();
    std::vector<std::uint32_t> order(n, none);
    std::vector<std::uint32_t> low(n, 0);
    std::vector<std::uint32_t> component(n, none);
    std::vector<std::uint8_t> on_stack(n, 0);
    std::vector<std::uint32_t> stack;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> calls;  // node, next edge
    std::uint32_t counter = 0;
    std::uint32_t components = 0;
    for (std::uint32_t root = 0; root < n; ++root) {
        if (order[root] != none) continue;
        order[root] = low[root] = counter++;
        stack.push_back(root);
        on_stack[root] = 1;
        calls.emplace_back(root, g.out_begin[root]);
        while (!calls.empty()) {
            const std::uint32_t v = calls.back().first;
            const std::uint32_t edge = calls.back().second;
            if (edge < g.out_begin[v + 1]) {
                ++calls.back().second;
                const std::uint32_t w = g.output_node[g.out_adapters[edge]];
                if (order[w] == none) {
                    order[w] = low[w] = counter++;
                    stack.push_back(w);
                    on_stack[w] = 1;
                    calls.emplace_back(w, g.out_begin[w]);
                } else if (on_stack[w]) {
                    low[v] = std::min(low[v], order[w]);
                }
                continue;
            }
            if (low[v] == order[v]) {
                std::uint32_t w = none;
                do {
                    w = stack.back();
                    stack.pop_back();
                    on_stack[w] = 0;
                    component[w] = components;
                } while (w != v);
                ++components;
            }
            calls.pop_back();
            if (!calls.empty()) {
                const std::uint32_t u = calls.back().first;
                low[u] = std::min(low[u], low[v]);
            }
        }
    }
    return component;
}

PolicyGraph build_graph(const std::vector<AdapterSpec>& adapters, const PlanningPolicy& policy) {
    PolicyGraph g;
    const std::size_t count = adapters.size();

    std::vector<std::uint32_t> allowed;
    for (std::uint32_t i = 0; i < count; ++i) {
        if (allowed_by(adapters[i], policy)) allowed.push_back(i);
    }

    g.nodes.reserve(2 * allowed.size());
    for (std::uint32_t i : allowed) {
        g.nodes.emplace_back(adapters[i].input_type.view(), adapters[i].input_representation.view());
        g.nodes.emplace_back(adapters[i].output_type.view(), adapters[i].output_representation.view());
    }
    std::sort(g.nodes.begin(), g.nodes.end());
    g.nodes.erase(std::unique(g.nodes.begin(), g.nodes.end()), g.nodes.end());

    g.input_node.assign(count, none);
    g.output_node.assign(count, none);
    g.cost.assign(count, 0);
    g.weight.assign(count, 0);
    g.weight_fits.assign(count, 0);
    g.cycle_local.assign(count, none);
    g.trie_depth.assign(count, 0);
    std::uint64_t weight_sum = 0;
    std::uint64_t cost_sum = 0;
    for (std::uint32_t i : allowed) {
        const AdapterSpec& a = adapters[i];
        g.input_node[i] = g.find_node(a.input_type.view(), a.input_representation.view());
        g.output_node[i] = g.find_node(a.output_type.view(), a.output_representation.view());
        g.cost[i] = a.cost;
        if (auto w = edge_weight(a, policy.preferred_adapters.contains(a.id))) {
            g.weight[i] = *w;
            g.weight_fits[i] = 1;
            if (!add_checked(weight_sum, *w, weight_sum)) g.overflow_impossible = false;
        } else {
            g.overflow_impossible = false;
        }
        if (!add_checked(cost_sum, a.cost, cost_sum)) g.overflow_impossible = false;
    }

    // Filling in id order keeps each node's rows in ascending id order.
    const std::uint32_t n = g.node_count();
    g.out_begin.assign(n + 1, 0);
    g.in_begin.assign(n + 1, 0);
    for (std::uint32_t i : allowed) {
        ++g.out_begin[g.input_node[i] + 1];
        ++g.in_begin[g.output_node[i] + 1];
    }
    for (std::uint32_t v = 0; v < n; ++v) {
        g.out_begin[v + 1] += g.out_begin[v];
        g.in_begin[v + 1] += g.in_begin[v];
    }
    g.out_adapters.assign(allowed.size(), 0);
    g.in_adapters.assign(allowed.size(), 0);
    {
        std::vector<std::uint32_t> out_fill(g.out_begin.begin(), g.out_begin.end() - 1);
        std::vector<std::uint32_t> in_fill(g.in_begin.begin(), g.in_begin.end() - 1);
        for (std::uint32_t i : allowed) {
            g.out_adapters[out_fill[g.input_node[i]]++] = i;
            g.in_adapters[in_fill[g.output_node[i]]++] = i;
        }
    }

    const std::vector<std::uint32_t> component = strong_components(g);
    std::vector<std::uint32_t> inside(n, 0);  // adapters inside each component, counted
    for (std::uint32_t i : allowed) {
        const std::uint32_t c = component[g.input_node[i]];
        if (c == component[g.output_node[i]]) g.cycle_local[i] = inside[c]++;
    }
    for (std::uint32_t i : allowed) {
        if (g.cycle_local[i] == none) continue;
        const std::uint32_t k = inside[component[g.input_node[i]]];
        std::uint8_t depth = 0;
        // Leaves of 64 bits under branches of four over the rest of the index.
        while ((std::uint64_t{64} << (2 * depth)) < k) ++depth;
        g.trie_depth[i] = depth;
    }
    return g;
}
// A table from 64-bit keys to values, by open addressing under the indexes'
// secret hash, so that no registry can be built offline to make its keys collide;
// should a probe still run past the indexes' limit (someone who knows the
// secret), it moves into an ordered map, so that no key set makes it quadratic.
// The all-ones key is reserved.
template <class V>
class WordTable {
public:
    WordTable() : key_(text::index_hash_key()) {}

    V* find(std::uint64_t key) {
        if (ordered_) {
            auto it = ordered_map_.find(key);
            return it == ordered_map_.end() ? nullptr : &it->second;
        }
        std::size_t slot = 0;
        if (keys_.empty() || !find_slot(key, slot) || keys_[slot] != key) return nullptr;
        return &values_[slot];
    }

    // The value under `key`, and whether it was added now (as `value`).
    std::pair<V*, bool> try_emplace(std::uint64_t key, V value) {
        if (!ordered_) {
            if (keys_.empty()) allocate(capacity_floor);
            std::size_t slot = 0;
            bool fits = find_slot(key, slot);
            if (fits && keys_[slot] == key) return {&values_[slot], false};
            if (fits && 2 * (size_ + 1) > keys_.size()) fits = grow() && find_slot(key, slot);
            if (fits) {
                keys_[slot] = key;
                values_[slot] = value;
                ++size_;
                return {&values_[slot], true};
            }
            move_to_ordered();
        }
        auto [it, added] = ordered_map_.try_emplace(key, value);
        return {&it->second, added};
    }

private:
    static constexpr std::size_t capacity_floor = 64;
    static constexpr std::uint64_t empty_key = std::numeric_limits<std::uint64_t>::max();

    void allocate(std::size_t capacity) {
        keys_.assign(capacity, empty_key);
        values_.assign(capacity, V{});
    }
    std::uint64_t hash(std::uint64_t key) const noexcept {
        return text::detail::fold_multiply(key ^ key_.words[0], key_.words[1]) & key_.mask;
    }
    // The key's slot or the free slot where it belongs; false past the probe limit.
    bool find_slot(std::uint64_t key, std::size_t& slot) const {
        const std::size_t mask = keys_.size() - 1;
        slot = static_cast<std::size_t>(hash(key)) & mask;
        for (std::size_t probe = 0; probe < key_.probe_limit; ++probe) {
            if (keys_[slot] == key || keys_[slot] == empty_key) return true;
            slot = (slot + 1) & mask;
        }
        return false;
    }
    bool grow() {
        std::vector<std::uint64_t> old_keys = std::move(keys_);
        std::vector<V> old_values = std::move(values_);
        allocate(old_keys.size() * 2);
        for (std::size_t i = 0; i < old_keys.size(); ++i) {
            if (old_keys[i] == empty_key) continue;
            std::size_t slot = 0;
            if (!find_slot(old_keys[i], slot)) {
                keys_ = std::move(old_keys);
                values_ = std::move(old_values);
                return false;
            }
            keys_[slot] = old_keys[i];
            values_[slot] = old_values[i];
        }
        return true;
    }
    void move_to_ordered() {
        for (std::size_t i = 0; i < keys_.size(); ++i) {
            if (keys_[i] != empty_key) ordered_map_.emplace(keys_[i], values_[i]);
        }
        keys_ = {};
        values_ = {};
        ordered_ = true;
    }

    std::vector<std::uint64_t> keys_;
    std::vector<V> values_;
    std::size_t size_ = 0;
    text::HashKey key_;
    bool ordered_ = false;
    std::map<std::uint64_t, V> ordered_map_;
};

// The best score recorded per (node, hops).
class BestScores {
public:
    // False when the key holds a lower score; otherwise records `score` under it.
    bool offer(std::uint32_t node, std::uint32_t hops, std::uint64_t score) {
        // Node indices stay below 2^32 - 1, so no key is all ones.
        auto [held, added] = table_.try_emplace((std::uint64_t{node} << 32) | hops, score);
        if (added) return true;
        if (*held < score) return false;
        *held = score;
        return true;
    }

private:
    WordTable<std::uint64_t> table_;
};

// ---------------------------------------------------------------------------
// Pruning
//
// A search need only follow adapters into nodes that can still reach the
// target: a state that cannot never becomes a goal, and it only ever touches
// best-score keys (node, hops) that no state able to reach the target shares, so
// leaving it out changes nothing else. What can reach a target (its region) is
// found by a breadth-first walk backwards from it, which also gives each node's
// fewest adapters to the target, for the hop limit.
//
// That walk can cost far more than the search it would prune (a target that
// thousands of adapters lead into, searched from a source one adapter away), so
// it never runs ahead: the search runs unpruned while the walk takes turns with
// it, the walk spending no more units than the search has spent so far (plus one
// adapter's). When the walk completes, the search goes on pruned from where it
// stands: the states it already holds are kept (a dead one expands to nothing),
// and from then on it pushes only what the pruned search would. When the search
// ends first, the walk stays where it is, and the next search towards the same
// target takes it up there; a complete region serves every later search towards
// its target at once.
//
// The bound, in units of the budget: with U the work of the unpruned search
// (states pushed, adapters examined, reuse tests, comparisons), W the walk of the
// target's region and P the pruned search, one search spends at most about
// min(2U, 2W + P) + the units of one adapter walked, and P never exceeds U. So
// pruning never costs more than twice the search it prunes, and whatever a
// registry holds beside a short search (adapters that reach the target from
// nodes the source never reaches) costs that search no more than the search
// itself. A walk is paid once per target and call, however many searches go
// towards it. Every unit is drawn from the call's budget.
// ---------------------------------------------------------------------------

// A node of a region: its fewest adapters to the target, and where its live
// adapters (those into the region) lie in the region's list.
struct NodeFacts {
    std::uint32_t hops = 0;
    std::uint32_t live_begin = 0;
    std::uint32_t live_end = 0;
};

// An adapter into a region, with the fewest adapters from its output node on.
struct LiveAdapter {
    std::uint32_t adapter;
    std::uint32_t hops_after;
};

// What is known of the nodes that can reach one target.
struct Region {
    std::uint32_t id = 0;  // its number among the searcher's regions: part of its node keys
    std::uint32_t target = none;
    std::vector<std::uint32_t> nodes;  // found so far, breadth first from the target
    std::vector<NodeFacts> facts;      // per entry of `nodes`
    // Where the walk stands: the entry of `nodes` whose incoming adapters are being
    // walked, and how many of them are done.
    std::size_t head = 0;
    std::uint32_t next_in = 0;
    // Every adapter walked, as (input node << 32 | adapter, hops after it); once
    // the walk is complete, sorted into `live`.
    std::vector<std::pair<std::uint64_t, std::uint32_t>> walked;
    std::vector<LiveAdapter> live;  // grouped by input node, ascending by adapter in each group
    bool complete = false;
};

class Pruning {
public:
    explicit Pruning(const PolicyGraph& g) : g_(g) {}

    Region& region_of(std::uint32_t target) {
        if (region_index_.empty()) region_index_.assign(g_.node_count(), none);
        std::uint32_t& at = region_index_[target];
        if (at == none) {
            at = static_cast<std::uint32_t>(regions_.size());
            Region& made = regions_.emplace_back();
            made.id = at;
            made.target = target;
            add_node(made, target, 0);
        }
        return regions_[at];
    }

    // Walks on until it has spent `allowance` more units or the region is
    // complete, adding what it spends to `spent`. False when the budget ran out.
    bool walk(Region& r, std::uint64_t allowance, Budget& budget, std::uint64_t& spent) {
        const std::uint64_t until = spent + allowance;
        while (r.head < r.nodes.size()) {
            const std::uint32_t v = r.nodes[r.head];
            const std::uint32_t first = g_.in_begin[v];
            const std::uint32_t incoming = g_.in_begin[v + 1] - first;
            const std::uint32_t hops_after = r.facts[r.head].hops;
            for (; r.next_in < incoming; ++r.next_in) {
                if (spent >= until) return true;
                if (!budget.take(work::walked)) return false;
                spent += work::walked;
                const std::uint32_t a = g_.in_adapters[first + r.next_in];
                const std::uint32_t u = g_.input_node[a];
                r.walked.emplace_back((std::uint64_t{u} << 32) | a, hops_after);
                add_node(r, u, hops_after + 1);
            }
            ++r.head;
            r.next_in = 0;
        }
        return complete(r, budget, spent);
    }

    // The facts of `node` when it can reach the region's target.
    const NodeFacts* facts(const Region& r, std::uint32_t node) {
        const std::uint32_t* at = index_.find(key(r, node));
        return at == nullptr ? nullptr : &r.facts[*at];
    }

private:
    static std::uint64_t key(const Region& r, std::uint32_t node) { return (std::uint64_t{r.id} << 32) | node; }

    // Breadth first, the first time a node is found is by its fewest adapters.
    void add_node(Region& r, std::uint32_t node, std::uint32_t hops) {
        if (index_.try_emplace(key(r, node), static_cast<std::uint32_t>(r.nodes.size())).second) {
            r.nodes.push_back(node);
            r.facts.push_back(NodeFacts{hops, 0, 0});
        }
    }

    // Groups the walked adapters by input node, each group ascending by id.
    bool complete(Region& r, Budget& budget, std::uint64_t& spent) {
        const std::uint64_t units = work::sorted * r.walked.size();
        if (!budget.take(units)) return false;
        spent += units;
        std::sort(r.walked.begin(), r.walked.end());
        r.live.reserve(r.walked.size());
        for (std::size_t i = 0; i < r.walked.size(); ++i) {
            const auto [packed, hops_after] = r.walked[i];
            const auto u = static_cast<std::uint32_t>(packed >> 32);
            r.live.push_back(LiveAdapter{static_cast<std::uint32_t>(packed), hops_after});
            NodeFacts& f = r.facts[*index_.find(key(r, u))];
            if (i == 0 || static_cast<std::uint32_t>(r.walked[i - 1].first >> 32) != u) {
                f.live_begin = static_cast<std::uint32_t>(i);
            }
            f.live_end = static_cast<std::uint32_t>(i + 1);
        }
        std::vector<std::pair<std::uint64_t, std::uint32_t>>().swap(r.walked);
        r.complete = true;
        return true;
    }

    const PolicyGraph& g_;
    std::vector<std::uint32_t> region_index_;  // per node: its region as a target, or none
    std::deque<Region> regions_;               // stable addresses: searches hold on to theirs
    WordTable<std::uint32_t> index_;           // (region, node) -> entry of the region's nodes
};

class Search {
public:
    enum class Step : std::uint8_t { more, finished, limit };

    Search(const PolicyGraph& graph, std::uint32_t source, std::uint32_t target, const PlanningPolicy& policy,
           Budget& budget, const PathSearchOptions& options)
        : g_(graph), source_(source), target_(target), policy_(policy), budget_(budget), max_states_(options.max_states) {
        const unsigned bits = std::min(options.path_label_bits, 64u);
        label_space_ = bits == 64 ? std::numeric_limits<std::uint64_t>::max() : (std::uint64_t{1} << bits) - 1;
    }

    // From now on, expand only towards `region`, whose facts `pruning` holds.
    void prune_with(Pruning& pruning, const Region& region) {
        pruning_ = &pruning;
        region_ = &region;
    }

    // Pops one state and expands it (the first call pushes the source's state).
    Step step();
    // Runs the search to its end.
    Step run() {
        Step s = Step::more;
        while (s == Step::more) s = step();
        return s;
    }

    // Units this search has drawn from the budget.
    std::uint64_t spent() const noexcept { return spent_; }
    bool found_goal() const noexcept { return !goals_.empty(); }
    bool overflow() const noexcept { return overflow_; }
    // True when pruning left out at least one candidate.
    bool pruned_any() const noexcept { return pruned_any_; }

    // The goal entries in path order (ids compared as their indices). All goals
    // have the best goal's length, so that order is their order in a
    // depth-first walk of the arena.
    std::vector<std::uint32_t> goals_in_order() const {
        std::vector<std::uint32_t> goals = goals_;
        if (goals.size() < 2) return goals;
        const std::size_t n = arena_.size();
        std::vector<std::uint32_t> size(n, 1);
        for (std::size_t e = n - 1; e > 0; --e) size[arena_[e].parent] += size[e];
        // `size` becomes each entry's rank in the walk, `next` the rank of its
        // next child: children were created in ascending id order.
        std::vector<std::uint32_t> next(n, 0);
        next[root] = 1;
        size[root] = 0;
        for (std::size_t e = 1; e < n; ++e) {
            const std::uint32_t p = arena_[e].parent;
            const std::uint32_t own = size[e];
            size[e] = next[p];
            next[p] += own;
            next[e] = size[e] + 1;
        }
        std::sort(goals.begin(), goals.end(), [&](std::uint32_t a, std::uint32_t b) { return size[a] < size[b]; });
        return goals;
    }

    // The registry indices on a goal's path, first adapter first.
    std::vector<std::uint32_t> path_of(std::uint32_t goal) const {
        std::vector<std::uint32_t> path;
        for (std::uint32_t e = goal; e != root; e = arena_[e].parent) path.push_back(arena_[e].adapter);
        std::reverse(path.begin(), path.end());
        return path;
    }

private:
    static constexpr std::uint32_t root = 0;

    struct Entry {
        std::uint32_t parent;
        std::uint32_t jump;  // an ancestor; its depth depends on this entry's depth only
        std::uint32_t adapter;
        std::uint32_t depth;
        // The adapters used since the path entered its current component: a bit
        // mask, or the root of a trie (see `trie_depth`).
        std::uint64_t used;
        std::uint64_t width;  // of the label interval, see `State::label`
    };

    struct State {
        std::uint64_t score;
        std::uint64_t cost;
        // Paths of one length ordered by label never contradict their
        // lexicographic order: a path owns the interval [label, label + width),
        // and its children split it in the order of their adapters. Once the
        // intervals are too fine to split, labels tie and the paths are compared
        // in the arena. Nodes with one way out split nothing.
        std::uint64_t label;
        std::uint32_t hops;
        std::uint32_t node;
        std::uint32_t entry;
    };

    bool take(std::uint64_t units) {
        if (!budget_.take(units)) return false;
        spent_ += units;
        return true;
    }

    // Adds the entry for `parent`'s path followed by the adapter in position `slot`
    // of the `ways` adapters it may take next; returns it and its label.
    std::pair<std::uint32_t, std::uint64_t> add_entry(std::uint32_t parent, std::uint64_t parent_label,
                                                      std::uint32_t adapter, std::uint64_t used, std::uint32_t slot,
                                                      std::uint32_t ways) {
        const Entry& p = arena_[parent];
        const Entry& pj = arena_[p.jump];
        const std::uint32_t jump = p.depth - pj.depth == pj.depth - arena_[pj.jump].depth ? pj.jump : parent;
        const std::uint64_t width = p.width / ways;
        const std::uint32_t depth = p.depth + 1;
        arena_.push_back(Entry{parent, jump, adapter, depth, used, width});
        return {static_cast<std::uint32_t>(arena_.size() - 1), parent_label + slot * width};
    }

    // Lexicographic order of two distinct paths of equal length (ids compared as
    // their indices): climb to the children of their last common entry. Counts
    // its steps, which the caller charges.
    int compare_paths(std::uint32_t a, std::uint32_t b) const {
        if (a == b) return 0;
        while (arena_[a].parent != arena_[b].parent) {
            ++climbs_;
            if (arena_[a].jump != arena_[b].jump) {
                a = arena_[a].jump;
                b = arena_[b].jump;
            } else {
                a = arena_[a].parent;
                b = arena_[b].parent;
            }
        }
        return arena_[a].adapter < arena_[b].adapter ? -1 : 1;
    }

    // A trie of depth d holds indices below 64 * 4^d: branches of four children
    // over leaves of 64 bits. Number 0 is the empty branch and the empty leaf.
    using Branch = std::array<std::uint32_t, 4>;
    static unsigned digit(std::uint32_t local, unsigned level) noexcept { return (local >> (6 + 2 * level)) & 3; }

    bool trie_contains(std::uint32_t node, std::uint32_t local, unsigned depth) const {
        for (unsigned level = depth; level-- > 0 && node != 0;) node = branches_[node][digit(local, level)];
        return node != 0 && ((leaves_[node] >> (local & 63)) & 1) != 0;
    }
    // The root of a new trie holding the old one's indices and `local`; shares
    // every branch and leaf off the changed path.
    std::uint32_t trie_insert(std::uint32_t root_branch, std::uint32_t local, unsigned depth) {
        std::uint32_t on_the_way[16];
        std::uint32_t node = root_branch;
        for (unsigned level = depth; level-- > 0;) {
            on_the_way[level] = node;
            node = node != 0 ? branches_[node][digit(local, level)] : 0;
        }
        leaves_.push_back((node != 0 ? leaves_[node] : 0) | (std::uint64_t{1} << (local & 63)));
        auto made = static_cast<std::uint32_t>(leaves_.size() - 1);
        for (unsigned level = 0; level < depth; ++level) {
            Branch branch = branches_[on_the_way[level]];
            branch[digit(local, level)] = made;
            branches_.push_back(branch);
            made = static_cast<std::uint32_t>(branches_.size() - 1);
        }
        return made;
    }

    // Whether `adapter`, which leaves the entry's node, is already on its path.
    // Charges the trie's steps.
    bool on_path(std::uint32_t entry, std::uint32_t adapter) {
        const std::uint32_t local = g_.cycle_local[adapter];
        if (local == none) return false;
        const unsigned depth = g_.trie_depth[adapter];
        if (depth == 0) return ((arena_[entry].used >> local) & 1) != 0;
        if (!take(work::trie_level * (depth + 1))) exhausted_ = true;
        return trie_contains(static_cast<std::uint32_t>(arena_[entry].used), local, depth);
    }
    // The used set of a path that takes `adapter` after the entry's path.
    std::uint64_t used_after(std::uint32_t entry, std::uint32_t adapter) {
        const std::uint32_t local = g_.cycle_local[adapter];
        if (local == none) return 0;
        const unsigned depth = g_.trie_depth[adapter];
        if (depth == 0) return arena_[entry].used | (std::uint64_t{1} << local);
        if (!take(work::trie_level * (depth + 1))) exhausted_ = true;
        return trie_insert(static_cast<std::uint32_t>(arena_[entry].used), local, depth);
    }

    // The frontier's total order: score, hops, cost, node, then path.
    bool before(const State& a, const State& b) const {
        if (a.score != b.score) return a.score < b.score;
        if (a.hops != b.hops) return a.hops < b.hops;
        if (a.cost != b.cost) return a.cost < b.cost;
        if (a.node != b.node) return a.node < b.node;
        if (a.label != b.label) return a.label < b.label;
        return compare_paths(a.entry, b.entry) < 0;
    }

    // The heap keeps its greatest element first, so it is given the reversed order.
    auto later() const {
        return [this](const State& x, const State& y) { return before(y, x); };
    }

    // Charges the climbs of the comparisons made since the last call.
    bool charge_climbs() {
        const std::uint64_t climbs = std::exchange(climbs_, 0);
        return climbs == 0 || take(work::step * climbs);
    }

    bool push(const State& s) {
        if (pushed_ >= max_states_ || !take(work::state)) return false;
        ++pushed_;
        frontier_.push_back(s);
        std::push_heap(frontier_.begin(), frontier_.end(), later());
        return charge_climbs();
    }

    // False when the comparisons ran out of budget.
    bool pop(State& s) {
        std::pop_heap(frontier_.begin(), frontier_.end(), later());
        s = frontier_.back();
        frontier_.pop_back();
        return charge_climbs();
    }

    // Follows `adapter`, in position `slot` of the `ways` the state may take.
    // False when the budget ran out.
    bool follow(const State& s, std::uint32_t adapter, std::uint32_t slot, std::uint32_t ways) {
        const bool used = on_path(s.entry, adapter);
        if (exhausted_) return false;
        if (used) return true;
        std::uint64_t score = 0;
        std::uint64_t cost = 0;
        if (!g_.weight_fits[adapter] || !add_checked(s.score, g_.weight[adapter], score) ||
            !add_checked(s.cost, g_.cost[adapter], cost)) {
            overflow_ = true;
            return true;
        }
        const std::uint32_t hops = s.hops + 1;
        const std::uint32_t next = g_.output_node[adapter];
        if (!best_.offer(next, hops, score)) return true;
        const std::uint64_t set = used_after(s.entry, adapter);
        if (exhausted_) return false;
        const auto [entry, label] = add_entry(s.entry, s.label, adapter, set, slot, ways);
        return push(State{score, cost, label, hops, next, entry});
    }

    Step expand(const State& s);

    const PolicyGraph& g_;
    std::uint32_t source_;
    std::uint32_t target_;
    const PlanningPolicy& policy_;
    Budget& budget_;
    std::uint64_t max_states_;
    std::uint64_t label_space_;
    Pruning* pruning_ = nullptr;
    const Region* region_ = nullptr;
    std::uint64_t spent_ = 0;
    mutable std::uint64_t climbs_ = 0;
    std::vector<Entry> arena_;
    std::vector<Branch> branches_{Branch{}};
    std::vector<std::uint64_t> leaves_{0};
    std::vector<State> frontier_;
    BestScores best_;
    std::vector<std::uint32_t> goals_;
    std::uint64_t pushed_ = 0;
    bool started_ = false;
    bool done_ = false;
    bool have_best_ = false;
    std::uint64_t best_score_ = 0;
    std::uint32_t best_hops_ = 0;
    bool overflow_ = false;
    bool pruned_any_ = false;
    bool exhausted_ = false;
};

Search::Step Search::step() {
    if (done_) return Step::finished;
    if (!started_) {
        started_ = true;
        arena_.push_back(Entry{root, root, none, 0, 0, label_space_});
        best_.offer(source_, 0, 0);
        return push(State{0, 0, 0, 0, source_, root}) ? Step::more : Step::limit;
    }
    if (frontier_.empty()) {
        done_ = true;
        return Step::finished;
    }
    State s;
    if (!pop(s)) return Step::limit;
    if (have_best_ && (s.score > best_score_ || (s.score == best_score_ && s.hops > best_hops_))) {
        done_ = true;
        return Step::finished;
    }
    if (s.node == target_) {
        if (!have_best_) {
            have_best_ = true;
            best_score_ = s.score;
            best_hops_ = s.hops;
        }
        goals_.push_back(s.entry);
        return Step::more;
    }
    if (policy_.max_hops && s.hops >= policy_.max_hops->value) return Step::more;
    return expand(s);
}

Search::Step Search::expand(const State& s) {
    const std::uint32_t* out = g_.out_adapters.data() + g_.out_begin[s.node];
    const std::uint32_t out_count = g_.out_begin[s.node + 1] - g_.out_begin[s.node];
    if (pruning_ == nullptr) {
        if (!take(work::step + work::examined * out_count)) return Step::limit;
        for (std::uint32_t i = 0; i < out_count; ++i) {
            if (!follow(s, out[i], i, out_count)) return Step::limit;
        }
        return Step::more;
    }
    // Only the adapters into the region (none when the node cannot reach the
    // target), and of those only the ones that leave enough hops to reach it. The
    // node's own lookup counts as one adapter examined.
    const NodeFacts* facts = pruning_->facts(*region_, s.node);
    const std::uint32_t ways = facts != nullptr ? facts->live_end - facts->live_begin : 0;
    if (!take(work::step + work::examined * (1 + std::uint64_t{ways}))) return Step::limit;
    if (ways != out_count) pruned_any_ = true;
    if (ways == 0) return Step::more;
    const LiveAdapter* live = region_->live.data() + facts->live_begin;
    const std::optional<json::usize>& max_hops = policy_.max_hops;
    for (std::uint32_t i = 0; i < ways; ++i) {
        if (max_hops && std::uint64_t{s.hops} + 1 + live[i].hops_after > max_hops->value) {
            pruned_any_ = true;
            continue;
        }
        if (!follow(s, live[i].adapter, i, ways)) return Step::limit;
    }
    return Step::more;
}

// The work of copying an adapter into a resolved path: its texts and parameters
// as written (see `work::copied_adapter`).
std::uint64_t copied_units(const AdapterSpec& a) {
    return work::copied_adapter + a.id.size() + a.version.size() + a.input_type.view().size() +
           a.input_representation.view().size() + a.output_type.view().size() +
           a.output_representation.view().size() + (a.params.empty() ? 0 : json::to_text(a.params).size());
}

}  // namespace

struct PathSearcher::Impl {
    const AdapterRegistry& registry;
    PlanningPolicy policy;
    PathSearchOptions options;
    Budget budget;
    std::optional<PolicyGraph> graph;
    std::optional<Pruning> pruning;
    std::vector<std::uint64_t> copy_units;  // per registry index, 0 until first needed

    Impl(const AdapterRegistry& r, const PlanningPolicy& p, const PathSearchOptions& o)
        : registry(r), policy(p), options(o), budget(o.max_work) {}

    std::string limit_message(const TypeId& from_type, const RepresentationId& from_representation,
                              const TypeId& to_type, const RepresentationId& to_representation) const {
        return text::format("adapter path search from `{}/{}` to `{}/{}` exceeded its limit of {} work units",
                            from_type, from_representation, to_type, to_representation, budget.limit());
    }

    std::uint64_t units_to_copy(std::uint32_t index) {
        if (copy_units.empty()) copy_units.assign(registry.size(), 0);
        if (copy_units[index] == 0) copy_units[index] = copied_units(registry.adapters()[index]);
        return copy_units[index];
    }

    // Runs `search` to its end, taking turns with the walk of `region` while that
    // is incomplete (see "Pruning" above); false when the budget ran out.
    bool run(Search& search, Region* region) {
        std::uint64_t walked = 0;  // units the walk spent during this search
        for (;;) {
            if (region != nullptr && !region->complete && walked <= search.spent()) {
                if (!pruning->walk(*region, search.spent() - walked + 1, budget, walked)) return false;
                if (region->complete) search.prune_with(*pruning, *region);
                continue;
            }
            switch (search.step()) {
                case Search::Step::more: break;
                case Search::Step::finished: return true;
                case Search::Step::limit: return false;
            }
        }
    }

    PathRoute find(const TypeId& from_type, const RepresentationId& from_representation, const TypeId& to_type,
                   const RepresentationId& to_representation);
};

PathRoute PathSearcher::Impl::find(const TypeId& from_type, const RepresentationId& from_representation,
                                   const TypeId& to_type, const RepresentationId& to_representation) {
    PathRoute route;
    if (from_type == to_type && from_representation == to_representation) {
        route.adapters.emplace();
        return route;
    }
    auto unresolved = [&](std::string_view code, std::string message, std::vector<std::string> choices = {}) {
        PathResolution r = PathResolution::unresolved(std::string(code), std::move(message), std::move(choices));
        route.issues = std::move(r.issues);
        route.requires_user_choice = r.requires_user_choice;
    };
    auto limit = [&] {
        unresolved(path_issue::search_limit_exceeded,
                   limit_message(from_type, from_representation, to_type, to_representation));
        return std::move(route);
    };
    auto no_path = [&](bool overflow) {
        unresolved(overflow ? path_issue::cost_overflow : path_issue::no_path,
                   text::format("no adapter path from `{}/{}` to `{}/{}`", from_type, from_representation, to_type,
                                to_representation));
        return std::move(route);
    };
    if (!budget.take(work::search)) return limit();
    if (!graph) graph.emplace(build_graph(registry.adapters(), policy));
    const PolicyGraph& g = *graph;
    if (!pruning) pruning.emplace(g);

    // Each end is looked up by bisecting the nodes, a comparison of texts per step.
    const std::uint64_t lookup = work::step * std::bit_width(g.node_count());
    if (!budget.take(lookup)) return limit();
    const std::uint32_t source = g.find_node(from_type.view(), from_representation.view());
    // No allowed adapter leaves the source: nothing is expanded, so nothing overflows.
    if (source == none) return no_path(false);
    if (!budget.take(lookup)) return limit();
    const std::uint32_t target = g.find_node(to_type.view(), to_representation.view());
    // Pruning's code for a missing path is a lower bound; when it may be wrong,
    // the full search decides it.
    const bool settle = options.settle_overflow && !g.overflow_impossible;
    auto settled_no_path = [&] {
        Search full(g, source, target, policy, budget, options);
        if (full.run() == Search::Step::limit) return limit();
        return no_path(full.overflow());
    };
    // No allowed adapter enters the target: nothing can reach it, and pruned, the
    // search would expand nothing and so meet no overflow.
    if (target == none && options.prune) return settle ? settled_no_path() : no_path(false);

    Search search(g, source, target, policy, budget, options);
    Region* region = nullptr;
    if (options.prune) {
        region = &pruning->region_of(target);
        if (region->complete) search.prune_with(*pruning, *region);
    }
    if (!run(search, region)) return limit();

    if (!search.found_goal()) {
        // Pruning keeps every goal the full search finds; it can only hide an
        // overflow met on the way to a dead end, which matters when some sum can
        // overflow at all. Then the full search decides the code.
        return search.pruned_any() && settle ? settled_no_path() : no_path(search.overflow());
    }

    const std::vector<AdapterSpec>& adapters = registry.adapters();
    const std::vector<std::uint32_t> goals = search.goals_in_order();
    if (goals.size() > 1 && policy.require_user_choice_on_ambiguity) {
        std::vector<std::string> choices;
        choices.reserve(goals.size());
        for (std::uint32_t goal : goals) {
            const std::vector<std::uint32_t> path = search.path_of(goal);
            std::uint64_t bytes = 4 * path.size();
            for (std::uint32_t index : path) bytes += adapters[index].id.size();
            // The choices are written out: their bytes, beside the walk up each path.
            if (!budget.take(path.size() + bytes)) {
                route.output_limit_exceeded = true;
                return limit();
            }
            std::string& choice = choices.emplace_back();
            choice.reserve(bytes);
            for (std::size_t i = 0; i < path.size(); ++i) {
                if (i > 0) choice.append(" -> ");
                choice.append(adapters[path[i]].id);
            }
        }
        unresolved(path_issue::ambiguous_path, "multiple equivalent adapter paths require user choice",
                   std::move(choices));
    }
    const std::vector<std::uint32_t> first = search.path_of(goals.front());
    std::vector<const AdapterSpec*>& taken = route.adapters.emplace();
    taken.reserve(first.size());
    for (std::uint32_t index : first) taken.push_back(&adapters[index]);
    return route;
}

PathSearcher::PathSearcher(const AdapterRegistry& registry, const PlanningPolicy& policy,
                           const PathSearchOptions& options)
    : impl_(std::make_unique<Impl>(registry, policy, options)) {}

PathSearcher::~PathSearcher() = default;

PathRoute PathSearcher::find_route(const TypeId& from_type, const RepresentationId& from_representation,
                                   const TypeId& to_type, const RepresentationId& to_representation) {
    return impl_->find(from_type, from_representation, to_type, to_representation);
}

PathResolution PathSearcher::find_path(const TypeId& from_type, const RepresentationId& from_representation,
                                       const TypeId& to_type, const RepresentationId& to_representation,
                                       bool keep_first_path) {
    PathRoute route = impl_->find(from_type, from_representation, to_type, to_representation);
    PathResolution result;
    result.issues = std::move(route.issues);
    result.requires_user_choice = route.requires_user_choice;
    if (!route.adapters || (result.requires_user_choice && !keep_first_path)) return result;

    AdapterPath chosen;
    chosen.adapters.reserve(route.adapters->size());
    const std::vector<AdapterSpec>& adapters = impl_->registry.adapters();
    for (const AdapterSpec* a : *route.adapters) {
        if (!impl_->budget.take(impl_->units_to_copy(static_cast<std::uint32_t>(a - adapters.data())))) {
            return PathResolution::unresolved(
                std::string(path_issue::search_limit_exceeded),
                impl_->limit_message(from_type, from_representation, to_type, to_representation), {});
        }
        // Recomputed as the sums of the copies, guarded although the search
        // already checked the same sums for the path's states.
        auto weight = edge_weight(*a, impl_->policy.preferred_adapters.contains(a->id));
        if (!weight || !add_checked(chosen.score, *weight, chosen.score) ||
            !add_checked(chosen.cost, a->cost, chosen.cost)) {
            return PathResolution::unresolved(std::string(path_issue::cost_overflow), "adapter path cost exceeds u64",
                                              {});
        }
        chosen.adapters.push_back(*a);
    }
    result.path = std::move(chosen);
    return result;
}

bool PathSearcher::spend(std::uint64_t units) noexcept { return impl_->budget.take(units); }

std::uint64_t PathSearcher::max_work() const noexcept { return impl_->budget.limit(); }

PathResolution AdapterRegistry::find_path(const TypeId& from_type, const RepresentationId& from_representation,
                                          const TypeId& to_type, const RepresentationId& to_representation,
                                          const PlanningPolicy& policy, const PathSearchOptions& options) const {
    return PathSearcher(*this, policy, options).find_path(from_type, from_representation, to_type, to_representation);
}

}  // namespace veltrinax
