#include "veltrinax/adapter.hpp"

#include <algorithm>
#include <array>
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
// One step of a comparison climbing two paths, or of pruning's backward walk.
constexpr std::uint64_t step = 2;
// A search's fixed part: looking up its two nodes.
constexpr std::uint64_t search = 16;
// The fixed part of an adapter copied into a resolved path (its texts and
// parameters are counted by their size on top). A copy is counted twice: once
// for itself, once for the step a planner writes from it.
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

// The best score recorded per (node, hops). An open-addressing table under the
// indexes' secret hash, so that no registry can be built offline to make its keys
// collide; should a probe still run past the indexes' limit (someone who knows the
// secret), it moves into an ordered map, so that no key set makes it quadratic.
class BestScores {
public:
    BestScores() : keys_(capacity_floor, empty_key), values_(capacity_floor, 0), key_(text::index_hash_key()) {}

    // False when the key holds a lower score; otherwise records `score` under it.
    bool offer(std::uint32_t node, std::uint32_t hops, std::uint64_t score) {
        const std::uint64_t key = (std::uint64_t{node} << 32) | hops;
        if (ordered_) return offer_ordered(key, score);
        std::size_t slot = 0;
        if (!find_slot(key, slot)) {
            move_to_ordered();
            return offer_ordered(key, score);
        }
        if (keys_[slot] == key) {
            if (values_[slot] < score) return false;
            values_[slot] = score;
            return true;
        }
        if (2 * (size_ + 1) > keys_.size()) {
            if (!grow() || !find_slot(key, slot)) {
                move_to_ordered();
                return offer_ordered(key, score);
            }
        }
        keys_[slot] = key;
        values_[slot] = score;
        ++size_;
        return true;
    }

private:
    static constexpr std::size_t capacity_floor = 64;
    // Node indices stay below 2^32 - 1, so no real key is all ones.
    static constexpr std::uint64_t empty_key = std::numeric_limits<std::uint64_t>::max();

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
        const std::size_t capacity = keys_.size() * 2;
        std::vector<std::uint64_t> old_keys = std::exchange(keys_, std::vector<std::uint64_t>(capacity, empty_key));
        std::vector<std::uint64_t> old_values = std::exchange(values_, std::vector<std::uint64_t>(capacity, 0));
        bool fine = true;
        for (std::size_t i = 0; i < old_keys.size() && fine; ++i) {
            if (old_keys[i] == empty_key) continue;
            std::size_t slot = 0;
            fine = find_slot(old_keys[i], slot);
            if (fine) {
                keys_[slot] = old_keys[i];
                values_[slot] = old_values[i];
            }
        }
        if (!fine) {
            keys_ = std::move(old_keys);
            values_ = std::move(old_values);
        }
        return fine;
    }
    void move_to_ordered() {
        for (std::size_t i = 0; i < keys_.size(); ++i) {
            if (keys_[i] != empty_key) ordered_map_.emplace(keys_[i], values_[i]);
        }
        keys_ = {};
        values_ = {};
        ordered_ = true;
    }
    bool offer_ordered(std::uint64_t key, std::uint64_t score) {
        auto [it, added] = ordered_map_.try_emplace(key, score);
        if (added) return true;
        if (it->second < score) return false;
        it->second = score;
        return true;
    }

    std::vector<std::uint64_t> keys_;
    std::vector<std::uint64_t> values_;
    std::size_t size_ = 0;
    text::HashKey key_;
    bool ordered_ = false;
    std::map<std::uint64_t, std::uint64_t> ordered_map_;
};

// Per-search scratch over the nodes, kept across the searches of one call and
// stamped with the search it belongs to, so that no search pays for the size of
// the whole graph.
struct NodeScratch {
    std::vector<std::uint32_t> stamp;
    std::vector<std::uint32_t> hops_to_target;
    std::vector<std::uint32_t> live_begin;
    std::vector<std::uint32_t> live_end;
    std::vector<std::uint32_t> live_adapters;  // grouped by input node, ascending by id in each group
    std::uint32_t generation = 0;

    void reset(std::uint32_t node_count) {
        if (stamp.size() != node_count) {
            stamp.assign(node_count, 0);
            hops_to_target.assign(node_count, 0);
            live_begin.assign(node_count, 0);
            live_end.assign(node_count, 0);
            generation = 0;
        }
        if (++generation == 0) {
            std::fill(stamp.begin(), stamp.end(), 0);
            generation = 1;
        }
        live_adapters.clear();
    }
    bool reaches_target(std::uint32_t v) const noexcept { return stamp[v] == generation; }
};

// What pruning knows for one target: the fewest adapters from each node to it,
// and per node the adapters that lead to a node that can reach it (the "live"
// ones). Built by a walk backwards from the target, which costs the part of the
// graph that can reach it, charged to the budget. False when the budget ran out.
bool prepare_target(const PolicyGraph& g, std::uint32_t target, NodeScratch& scratch, Budget& budget) {
    scratch.reset(g.node_count());
    if (target == none) return true;
    std::vector<std::uint32_t> queue{target};
    std::vector<std::uint64_t> live;  // (input node, adapter)
    scratch.stamp[target] = scratch.generation;
    scratch.hops_to_target[target] = 0;
    for (std::size_t head = 0; head < queue.size(); ++head) {
        const std::uint32_t v = queue[head];
        const std::uint32_t incoming = g.in_begin[v + 1] - g.in_begin[v];
        if (!budget.take(work::step * (1 + 2 * std::uint64_t{incoming}))) return false;
        for (std::uint32_t e = g.in_begin[v]; e < g.in_begin[v + 1]; ++e) {
            const std::uint32_t a = g.in_adapters[e];
            const std::uint32_t u = g.input_node[a];
            live.push_back((std::uint64_t{u} << 32) | a);
            if (scratch.reaches_target(u)) continue;
            scratch.stamp[u] = scratch.generation;
            scratch.hops_to_target[u] = scratch.hops_to_target[v] + 1;
            queue.push_back(u);
        }
    }
    std::sort(live.begin(), live.end());
    scratch.live_adapters.resize(live.size());
    for (std::size_t i = 0; i < live.size(); ++i) {
        const auto u = static_cast<std::uint32_t>(live[i] >> 32);
        scratch.live_adapters[i] = static_cast<std::uint32_t>(live[i]);
        if (i == 0 || static_cast<std::uint32_t>(live[i - 1] >> 32) != u) scratch.live_begin[u] = static_cast<std::uint32_t>(i);
        scratch.live_end[u] = static_cast<std::uint32_t>(i + 1);
    }
    return true;
}

class Search {
public:
    enum class End : std::uint8_t { finished, limit };

    // `scratch` holds the target's pruning facts, or is null for the full search.
    Search(const PolicyGraph& graph, std::uint32_t source, std::uint32_t target, const NodeScratch* scratch,
           const PlanningPolicy& policy, Budget& budget, const PathSearchOptions& options)
        : g_(graph),
          source_(source),
          target_(target),
          scratch_(scratch),
          policy_(policy),
          budget_(budget),
          max_states_(options.max_states) {
        const unsigned bits = std::min(options.path_label_bits, 64u);
        label_space_ = bits == 64 ? std::numeric_limits<std::uint64_t>::max() : (std::uint64_t{1} << bits) - 1;
    }

    End run();

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
        if (!budget_.take(work::trie_level * (depth + 1))) exhausted_ = true;
        return trie_contains(static_cast<std::uint32_t>(arena_[entry].used), local, depth);
    }
    // The used set of a path that takes `adapter` after the entry's path.
    std::uint64_t used_after(std::uint32_t entry, std::uint32_t adapter) {
        const std::uint32_t local = g_.cycle_local[adapter];
        if (local == none) return 0;
        const unsigned depth = g_.trie_depth[adapter];
        if (depth == 0) return arena_[entry].used | (std::uint64_t{1} << local);
        if (!budget_.take(work::trie_level * (depth + 1))) exhausted_ = true;
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
        return climbs == 0 || budget_.take(work::step * climbs);
    }

    bool push(const State& s) {
        if (pushed_ >= max_states_ || !budget_.take(work::state)) return false;
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

    const PolicyGraph& g_;
    std::uint32_t source_;
    std::uint32_t target_;
    const NodeScratch* scratch_;
    const PlanningPolicy& policy_;
    Budget& budget_;
    std::uint64_t max_states_;
    std::uint64_t label_space_;
    mutable std::uint64_t climbs_ = 0;
    std::vector<Entry> arena_;
    std::vector<Branch> branches_{Branch{}};
    std::vector<std::uint64_t> leaves_{0};
    std::vector<State> frontier_;
    BestScores best_;
    std::vector<std::uint32_t> goals_;
    std::uint64_t pushed_ = 0;
    bool overflow_ = false;
    bool pruned_any_ = false;
    bool exhausted_ = false;
};

Search::End Search::run() {
    arena_.push_back(Entry{root, root, none, 0, 0, label_space_});
    best_.offer(source_, 0, 0);
    if (!push(State{0, 0, 0, 0, source_, root})) return End::limit;

    const std::optional<json::usize>& max_hops = policy_.max_hops;
    bool have_best = false;
    std::uint64_t best_score = 0;
    std::uint32_t best_hops = 0;
    while (!frontier_.empty()) {
        State s;
        if (!pop(s)) return End::limit;
        if (have_best && (s.score > best_score || (s.score == best_score && s.hops > best_hops))) break;
        if (s.node == target_) {
            if (!have_best) {
                have_best = true;
                best_score = s.score;
                best_hops = s.hops;
            }
            goals_.push_back(s.entry);
            continue;
        }
        if (max_hops && s.hops >= max_hops->value) continue;
        const std::uint32_t hops = s.hops + 1;
        const std::uint32_t* first = g_.out_adapters.data() + g_.out_begin[s.node];
        const std::uint32_t* last = g_.out_adapters.data() + g_.out_begin[s.node + 1];
        if (scratch_ != nullptr) {
            // Only adapters towards nodes that can reach the target: a state that
            // cannot never becomes a goal, and it only ever touches best-score keys
            // that no state able to reach the target shares.
            const std::uint32_t all = static_cast<std::uint32_t>(last - first);
            if (scratch_->reaches_target(s.node)) {
                first = scratch_->live_adapters.data() + scratch_->live_begin[s.node];
                last = scratch_->live_adapters.data() + scratch_->live_end[s.node];
            } else {
                last = first;
            }
            if (static_cast<std::uint32_t>(last - first) != all) pruned_any_ = true;
        }
        const auto ways = static_cast<std::uint32_t>(last - first);
        if (!budget_.take(work::step + work::examined * ways)) return End::limit;
        for (const std::uint32_t* it = first; it != last; ++it) {
            const std::uint32_t a = *it;
            const std::uint32_t next = g_.output_node[a];
            if (scratch_ != nullptr && max_hops &&
                std::uint64_t{hops} + scratch_->hops_to_target[next] > max_hops->value) {
                pruned_any_ = true;
                continue;
            }
            const bool used = on_path(s.entry, a);
            if (exhausted_) return End::limit;
            if (used) continue;
            std::uint64_t score = 0;
            std::uint64_t cost = 0;
            if (!g_.weight_fits[a] || !add_checked(s.score, g_.weight[a], score) ||
                !add_checked(s.cost, g_.cost[a], cost)) {
                overflow_ = true;
                continue;
            }
            if (!best_.offer(next, hops, score)) continue;
            const std::uint64_t set = used_after(s.entry, a);
            if (exhausted_) return End::limit;
            const auto slot = static_cast<std::uint32_t>(it - first);
            const auto [entry, label] = add_entry(s.entry, s.label, a, set, slot, ways);
            if (!push(State{score, cost, label, hops, next, entry})) return End::limit;
        }
    }
    return End::finished;
}

// The work of copying an adapter into a resolved path: its texts and
// parameters as written, counted twice (see `work::copied_adapter`).
std::uint64_t copied_units(const AdapterSpec& a) {
    const std::uint64_t size = work::copied_adapter + a.id.size() + a.version.size() + a.input_type.view().size() +
                               a.input_representation.view().size() + a.output_type.view().size() +
                               a.output_representation.view().size() +
                               (a.params.empty() ? 0 : json::to_text(a.params).size());
    return 2 * size;
}

}  // namespace

struct PathSearcher::Impl {
    const AdapterRegistry& registry;
    PlanningPolicy policy;
    PathSearchOptions options;
    Budget budget;
    std::optional<PolicyGraph> graph;
    NodeScratch scratch;
    std::vector<std::uint64_t> copy_units;  // per registry index, 0 until first needed

    Impl(const AdapterRegistry& r, const PlanningPolicy& p, const PathSearchOptions& o)
        : registry(r), policy(p), options(o), budget(o.max_work) {}

    PathResolution limit_exceeded(const TypeId& from_type, const RepresentationId& from_representation,
                                  const TypeId& to_type, const RepresentationId& to_representation) const {
        return PathResolution::unresolved(
            std::string(path_issue::search_limit_exceeded),
            text::format("adapter path search from `{}/{}` to `{}/{}` exceeded its limit of {} work units", from_type,
                         from_representation, to_type, to_representation, budget.limit()),
            {});
    }

    std::uint64_t units_to_copy(std::uint32_t index) {
        if (copy_units.empty()) copy_units.assign(registry.size(), 0);
        if (copy_units[index] == 0) copy_units[index] = copied_units(registry.adapters()[index]);
        return copy_units[index];
    }

    PathResolution find(const TypeId& from_type, const RepresentationId& from_representation, const TypeId& to_type,
                        const RepresentationId& to_representation, bool keep_first_path);
};

PathResolution PathSearcher::Impl::find(const TypeId& from_type, const RepresentationId& from_representation,
                                        const TypeId& to_type, const RepresentationId& to_representation,
                                        bool keep_first_path) {
    if (from_type == to_type && from_representation == to_representation) {
        PathResolution identity;
        identity.path.emplace();
        return identity;
    }
    auto limit = [&] { return limit_exceeded(from_type, from_representation, to_type, to_representation); };
    auto no_path = [&](bool overflow) {
        return PathResolution::unresolved(
            std::string(overflow ? path_issue::cost_overflow : path_issue::no_path),
            text::format("no adapter path from `{}/{}` to `{}/{}`", from_type, from_representation, to_type,
                         to_representation),
            {});
    };
    if (!budget.take(work::search)) return limit();
    if (!graph) graph.emplace(build_graph(registry.adapters(), policy));
    const PolicyGraph& g = *graph;

    const std::uint32_t source = g.find_node(from_type.view(), from_representation.view());
    // No allowed adapter leaves the source: nothing is expanded, so nothing overflows.
    if (source == none) return no_path(false);
    const std::uint32_t target = g.find_node(to_type.view(), to_representation.view());

    std::optional<Search> pruned;
    if (options.prune) {
        if (!prepare_target(g, target, scratch, budget)) return limit();
        pruned.emplace(g, source, target, &scratch, policy, budget, options);
        if (pruned->run() == Search::End::limit) return limit();
    }
    Search* search = pruned ? &*pruned : nullptr;
    // Pruning keeps every goal the full search finds; it can only hide an
    // overflow met on the way to a dead end, which matters when no goal is found
    // and some sum can overflow at all. Then the full search decides the code.
    std::optional<Search> full;
    if (!search || (!search->found_goal() && search->pruned_any() && !g.overflow_impossible &&
                    options.settle_overflow)) {
        full.emplace(g, source, target, nullptr, policy, budget, options);
        if (full->run() == Search::End::limit) return limit();
        search = &*full;
    }
    if (!search->found_goal()) return no_path(search->overflow());

    const std::vector<AdapterSpec>& adapters = registry.adapters();
    const std::vector<std::uint32_t> goals = search->goals_in_order();
    PathResolution result;
    if (goals.size() > 1 && policy.require_user_choice_on_ambiguity) {
        std::vector<std::string> choices;
        choices.reserve(goals.size());
        for (std::uint32_t goal : goals) {
            const std::vector<std::uint32_t> path = search->path_of(goal);
            std::uint64_t bytes = 4 * path.size();
            for (std::uint32_t index : path) bytes += adapters[index].id.size();
            if (!budget.take(path.size() + bytes)) return limit();
            std::string& choice = choices.emplace_back();
            choice.reserve(bytes);
            for (std::size_t i = 0; i < path.size(); ++i) {
                if (i > 0) choice.append(" -> ");
                choice.append(adapters[path[i]].id);
            }
        }
        result = PathResolution::unresolved(std::string(path_issue::ambiguous_path),
                                            "multiple equivalent adapter paths require user choice",
                                            std::move(choices));
        if (!keep_first_path) return result;
    }

    const std::vector<std::uint32_t> first = search->path_of(goals.front());
    AdapterPath chosen;
    chosen.adapters.reserve(first.size());
    for (std::uint32_t index : first) {
        if (!budget.take(units_to_copy(index))) return limit();
        const AdapterSpec& a = adapters[index];
        auto weight = edge_weight(a, policy.preferred_adapters.contains(a.id));
        if (!weight || !add_checked(chosen.score, *weight, chosen.score) ||
            !add_checked(chosen.cost, a.cost, chosen.cost)) {
            return PathResolution::unresolved(std::string(path_issue::cost_overflow), "adapter path cost exceeds u64",
                                              {});
        }
        chosen.adapters.push_back(a);
    }
    result.path = std::move(chosen);
    return result;
}

PathSearcher::PathSearcher(const AdapterRegistry& registry, const PlanningPolicy& policy,
                           const PathSearchOptions& options)
    : impl_(std::make_unique<Impl>(registry, policy, options)) {}

PathSearcher::~PathSearcher() = default;

PathResolution PathSearcher::find_path(const TypeId& from_type, const RepresentationId& from_representation,
                                       const TypeId& to_type, const RepresentationId& to_representation,
                                       bool keep_first_path) {
    return impl_->find(from_type, from_representation, to_type, to_representation, keep_first_path);
}

bool PathSearcher::spend(std::uint64_t units) noexcept { return impl_->budget.take(units); }

std::uint64_t PathSearcher::max_work() const noexcept { return impl_->budget.limit(); }

PathResolution AdapterRegistry::find_path(const TypeId& from_type, const RepresentationId& from_representation,
                                          const TypeId& to_type, const RepresentationId& to_representation,
                                          const PlanningPolicy& policy, const PathSearchOptions& options) const {
    return PathSearcher(*this, policy, options).find_path(from_type, from_representation, to_type, to_representation);
}

}  // namespace veltrinax
