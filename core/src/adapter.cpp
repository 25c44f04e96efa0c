#include "veltrinax/adapter.hpp"

#include <algorithm>
#include <limits>
#include <unordered_set>
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
    std::unordered_set<std::string_view> seen;
    seen.reserve(ports.size());
    for (const InputPortSpec& port : ports) {
        if (auto ok = port.validate(); !ok) return ok;
        if (!seen.insert(port.name).second) return fail(text::format("duplicate model input port `{}`", port.name));
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
    std::unordered_set<std::string_view> ids;
    ids.reserve(spec.adapters.size());
    for (const AdapterSpec& a : spec.adapters) {
        if (auto ok = a.validate(); !ok) return std::unexpected(std::move(ok.error()));
        if (!ids.insert(a.id).second) return fail(text::format("duplicate adapter id `{}`", a.id));
    }
    ids.clear();  // its views point into the specs about to be moved
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
// whatever its length. Equally good states are ordered by path labels, or, when
// those tie, by climbing to the two paths' first difference with skew-binary
// jump pointers; the no-reuse rule looks only at the path's stretch inside the
// current strongly connected component, mostly through a bit mask.
// ---------------------------------------------------------------------------

namespace {

constexpr std::uint32_t none = std::numeric_limits<std::uint32_t>::max();
constexpr std::uint64_t lossy_penalty = 1'000'000;
constexpr std::uint64_t stateful_penalty = 100'000;
constexpr std::uint64_t supervised_penalty = 100'000;

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

// The graph of one search: the adapters the policy allows, grouped by input node.
struct SearchGraph {
    std::uint32_t source = 0;
    std::uint32_t target = 0;
    std::uint32_t node_count = 0;
    // Per node: its outgoing adapters, ascending by id (compressed rows).
    std::vector<std::uint32_t> out_begin;
    std::vector<std::uint32_t> out_adapters;
    // Per node: the fewest adapters from it to the target, `none` when unreachable.
    std::vector<std::uint32_t> hops_to_target;
    // Per registry index (meaningful for allowed adapters only).
    std::vector<std::uint32_t> output_node;
    std::vector<std::uint64_t> cost;
    std::vector<std::uint64_t> weight;
    std::vector<std::uint8_t> weight_fits;
    // An adapter can only be met twice on a path when it lies inside a strongly
    // connected component (a path that took it came back to its input node).
    // Such an adapter has one bit of a per-path mask; the bit identifies it
    // exactly when its component holds at most 64 such adapters.
    std::vector<std::uint64_t> cycle_bit;
    std::vector<std::uint8_t> cycle_bit_exact;
    // True when no sum along any path can leave 64 bits: the sums of all allowed
    // weights and of all allowed costs fit (a path uses each adapter at most once).
    bool overflow_impossible = true;
};

// Tarjan's algorithm without recursion; returns the component of each node.
std::vector<std::uint32_t> strong_components(const SearchGraph& g) {
    const std::uint32_t n = g.node_count;
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

SearchGraph build_graph(const std::vector<AdapterSpec>& adapters, std::string_view from_type,
                        std::string_view from_representation, std::string_view to_type,
                        std::string_view to_representation, const PlanningPolicy& policy) {
    using NodeKey = std::pair<std::string_view, std::string_view>;
    SearchGraph g;
    const std::size_t count = adapters.size();

    std::vector<std::uint32_t> allowed;
    for (std::uint32_t i = 0; i < count; ++i) {
        if (allowed_by(adapters[i], policy)) allowed.push_back(i);
    }

    std::vector<NodeKey> nodes;
    nodes.reserve(2 * allowed.size() + 2);
    nodes.emplace_back(from_type, from_representation);
    nodes.emplace_back(to_type, to_representation);
    for (std::uint32_t i : allowed) {
        nodes.emplace_back(adapters[i].input_type.view(), adapters[i].input_representation.view());
        nodes.emplace_back(adapters[i].output_type.view(), adapters[i].output_representation.view());
    }
    std::sort(nodes.begin(), nodes.end());
    nodes.erase(std::unique(nodes.begin(), nodes.end()), nodes.end());
    auto node_of = [&](std::string_view type, std::string_view representation) {
        NodeKey key(type, representation);
        return static_cast<std::uint32_t>(std::lower_bound(nodes.begin(), nodes.end(), key) - nodes.begin());
    };
    g.node_count = static_cast<std::uint32_t>(nodes.size());
    g.source = node_of(from_type, from_representation);
    g.target = node_of(to_type, to_representation);

    std::vector<std::uint32_t> input_node(count, none);
    g.output_node.assign(count, none);
    g.cost.assign(count, 0);
    g.weight.assign(count, 0);
    g.weight_fits.assign(count, 0);
    g.cycle_bit.assign(count, 0);
    g.cycle_bit_exact.assign(count, 0);
    std::uint64_t weight_sum = 0;
    std::uint64_t cost_sum = 0;
    for (std::uint32_t i : allowed) {
        const AdapterSpec& a = adapters[i];
        input_node[i] = node_of(a.input_type.view(), a.input_representation.view());
        g.output_node[i] = node_of(a.output_type.view(), a.output_representation.view());
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

    // Outgoing and incoming adapters per node; filling in id order keeps each
    // node's list in ascending id order.
    const std::uint32_t n = g.node_count;
    g.out_begin.assign(n + 1, 0);
    std::vector<std::uint32_t> in_begin(n + 1, 0);
    for (std::uint32_t i : allowed) {
        ++g.out_begin[input_node[i] + 1];
        ++in_begin[g.output_node[i] + 1];
    }
    for (std::uint32_t v = 0; v < n; ++v) {
        g.out_begin[v + 1] += g.out_begin[v];
        in_begin[v + 1] += in_begin[v];
    }
    g.out_adapters.assign(allowed.size(), 0);
    std::vector<std::uint32_t> in_adapters(allowed.size(), 0);
    {
        std::vector<std::uint32_t> out_fill(g.out_begin.begin(), g.out_begin.end() - 1);
        std::vector<std::uint32_t> in_fill(in_begin.begin(), in_begin.end() - 1);
        for (std::uint32_t i : allowed) {
            g.out_adapters[out_fill[input_node[i]]++] = i;
            in_adapters[in_fill[g.output_node[i]]++] = i;
        }
    }

    // Fewest adapters to the target, by a breadth-first walk backwards from it.
    g.hops_to_target.assign(n, none);
    std::vector<std::uint32_t> queue{g.target};
    g.hops_to_target[g.target] = 0;
    for (std::size_t head = 0; head < queue.size(); ++head) {
        const std::uint32_t v = queue[head];
        for (std::uint32_t e = in_begin[v]; e < in_begin[v + 1]; ++e) {
            const std::uint32_t u = input_node[in_adapters[e]];
            if (g.hops_to_target[u] != none) continue;
            g.hops_to_target[u] = g.hops_to_target[v] + 1;
            queue.push_back(u);
        }
    }

    const std::vector<std::uint32_t> component = strong_components(g);
    std::vector<std::uint32_t> inside(n, 0);  // adapters inside each component, counted
    std::vector<std::uint32_t> local(count, 0);
    for (std::uint32_t i : allowed) {
        const std::uint32_t c = component[input_node[i]];
        if (c == component[g.output_node[i]]) local[i] = inside[c]++;
    }
    for (std::uint32_t i : allowed) {
        const std::uint32_t c = component[input_node[i]];
        if (c != component[g.output_node[i]]) continue;
        g.cycle_bit[i] = std::uint64_t{1} << (local[i] % 64);
        g.cycle_bit_exact[i] = inside[c] <= 64 ? 1 : 0;
    }
    return g;
}

// The best score recorded per (node, hops), in an open-addressing table: the
// search touches it once per candidate state, so it must not allocate per entry.
class BestScores {
public:
    BestScores() : keys_(capacity_floor, empty_key), values_(capacity_floor, 0) {}

    // False when the key holds a lower score; otherwise records `score` under it.
    bool offer(std::uint32_t node, std::uint32_t hops, std::uint64_t score) {
        const std::uint64_t key = (std::uint64_t{node} << 32) | hops;
        std::size_t slot = find_slot(key);
        if (keys_[slot] == key) {
            if (values_[slot] < score) return false;
            values_[slot] = score;
            return true;
        }
        if (2 * (size_ + 1) > keys_.size()) {
            grow();
            slot = find_slot(key);
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

    std::size_t find_slot(std::uint64_t key) const {
        const std::size_t mask = keys_.size() - 1;
        std::size_t slot = static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> 17) & mask;
        while (keys_[slot] != key && keys_[slot] != empty_key) slot = (slot + 1) & mask;
        return slot;
    }

    void grow() {
        const std::size_t capacity = keys_.size() * 2;
        std::vector<std::uint64_t> old_keys = std::exchange(keys_, std::vector<std::uint64_t>(capacity, empty_key));
        std::vector<std::uint64_t> old_values = std::exchange(values_, std::vector<std::uint64_t>(capacity, 0));
        for (std::size_t i = 0; i < old_keys.size(); ++i) {
            if (old_keys[i] == empty_key) continue;
            const std::size_t slot = find_slot(old_keys[i]);
            keys_[slot] = old_keys[i];
            values_[slot] = old_values[i];
        }
    }

    std::vector<std::uint64_t> keys_;
    std::vector<std::uint64_t> values_;
    std::size_t size_ = 0;
};

class Search {
public:
    enum class End : std::uint8_t { finished, limit };

    // Arena entries and hop counts are 32-bit, so no search may push more states.
    static constexpr std::uint64_t max_supported_states = none - 1;

    Search(const SearchGraph& graph, const PlanningPolicy& policy, const PathSearchOptions& options, bool prune)
        : g_(graph),
          policy_(policy),
          max_states_(std::min(options.max_states, max_supported_states)),
          prune_(prune) {
        const unsigned bits = std::min(options.path_label_bits, 64u);
        label_space_ = bits == 64 ? std::numeric_limits<std::uint64_t>::max() : (std::uint64_t{1} << bits) - 1;
    }

    End run();

    bool found_goal() const noexcept { return !goals_.empty(); }
    bool overflow() const noexcept { return overflow_; }
    // True when pruning left out at least one candidate.
    bool pruned_any() const noexcept { return pruned_any_; }

    // The goal paths in ascending id order without repeats, each as registry
    // indices, first adapter first. Every goal has the best goal's hop count, so
    // they all have one length and sort by their arena entries alone.
    std::vector<std::vector<std::uint32_t>> goal_paths() {
        std::stable_sort(goals_.begin(), goals_.end(),
                         [this](std::uint32_t a, std::uint32_t b) { return compare_paths(a, b) < 0; });
        goals_.erase(std::unique(goals_.begin(), goals_.end()), goals_.end());
        std::vector<std::vector<std::uint32_t>> paths;
        paths.reserve(goals_.size());
        for (std::uint32_t goal : goals_) {
            std::vector<std::uint32_t>& path = paths.emplace_back(arena_[goal].depth);
            for (std::uint32_t e = goal; e != root; e = arena_[e].parent) path[arena_[e].depth - 1] = arena_[e].adapter;
        }
        return paths;
    }

private:
    static constexpr std::uint32_t root = 0;

    struct Entry {
        std::uint32_t parent;
        std::uint32_t jump;  // an ancestor; its depth depends on this entry's depth only
        std::uint32_t adapter;
        std::uint32_t depth;
        std::uint64_t cycle_mask;  // bits of the adapters since the path entered its current component
        std::uint64_t width;       // of the label interval, see `State::label`
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
    // of the `ways` adapters leaving its node; returns it and its label.
    std::pair<std::uint32_t, std::uint64_t> add_entry(std::uint32_t parent, std::uint64_t parent_label,
                                                      std::uint32_t adapter, std::uint32_t slot,
                                                      std::uint32_t ways) {
        const Entry& p = arena_[parent];
        const Entry& pj = arena_[p.jump];
        const std::uint32_t jump = p.depth - pj.depth == pj.depth - arena_[pj.jump].depth ? pj.jump : parent;
        const std::uint64_t bit = g_.cycle_bit[adapter];
        const std::uint64_t mask = bit != 0 ? (p.cycle_mask | bit) : 0;
        const std::uint64_t width = p.width / ways;
        const std::uint32_t depth = p.depth + 1;
        arena_.push_back(Entry{parent, jump, adapter, depth, mask, width});
        return {static_cast<std::uint32_t>(arena_.size() - 1), parent_label + slot * width};
    }

    // Lexicographic order of two distinct paths of equal length (ids compared as
    // their indices): climb to the children of their last common entry.
    int compare_paths(std::uint32_t a, std::uint32_t b) const {
        if (a == b) return 0;
        while (arena_[a].parent != arena_[b].parent) {
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

    // The frontier's total order: score, hops, cost, node, then path.
    bool before(const State& a, const State& b) const {
        if (a.score != b.score) return a.score < b.score;
        if (a.hops != b.hops) return a.hops < b.hops;
        if (a.cost != b.cost) return a.cost < b.cost;
        if (a.node != b.node) return a.node < b.node;
        if (a.label != b.label) return a.label < b.label;
        return compare_paths(a.entry, b.entry) < 0;
    }

    // Whether `adapter`, which leaves the entry's node, is already on its path.
    bool on_path(std::uint32_t entry, std::uint32_t adapter) const {
        const std::uint64_t bit = g_.cycle_bit[adapter];
        if (bit == 0 || (arena_[entry].cycle_mask & bit) == 0) return false;
        if (g_.cycle_bit_exact[adapter]) return true;
        // The earlier use, if any, lies in the path's current stretch inside the
        // component: a path never returns to a component it left.
        for (std::uint32_t e = entry; e != root && g_.cycle_bit[arena_[e].adapter] != 0; e = arena_[e].parent) {
            if (arena_[e].adapter == adapter) return true;
        }
        return false;
    }

    // The heap keeps its greatest element first, so it is given the reversed order.
    auto later() const {
        return [this](const State& x, const State& y) { return before(y, x); };
    }

    bool push(State s) {
        if (pushed_ >= max_states_) return false;
        ++pushed_;
        frontier_.push_back(s);
        std::push_heap(frontier_.begin(), frontier_.end(), later());
        return true;
    }

    State pop() {
        std::pop_heap(frontier_.begin(), frontier_.end(), later());
        State s = frontier_.back();
        frontier_.pop_back();
        return s;
    }

    const SearchGraph& g_;
    const PlanningPolicy& policy_;
    std::uint64_t max_states_;
    bool prune_;
    std::uint64_t label_space_;
    std::vector<Entry> arena_;
    std::vector<State> frontier_;
    BestScores best_;
    std::vector<std::uint32_t> goals_;
    std::uint64_t pushed_ = 0;
    bool overflow_ = false;
    bool pruned_any_ = false;
};

Search::End Search::run() {
    arena_.push_back(Entry{root, root, none, 0, 0, label_space_});
    best_.offer(g_.source, 0, 0);
    if (!push(State{0, 0, 0, 0, g_.source, root})) return End::limit;

    const std::optional<json::usize>& max_hops = policy_.max_hops;
    bool have_best = false;
    std::uint64_t best_score = 0;
    std::uint32_t best_hops = 0;
    while (!frontier_.empty()) {
        const State s = pop();
        if (have_best && (s.score > best_score || (s.score == best_score && s.hops > best_hops))) break;
        if (s.node == g_.target) {
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
        const std::uint32_t first = g_.out_begin[s.node];
        const std::uint32_t ways = g_.out_begin[s.node + 1] - first;
        for (std::uint32_t e = first; e < first + ways; ++e) {
            const std::uint32_t a = g_.out_adapters[e];
            const std::uint32_t next = g_.output_node[a];
            if (prune_) {
                // A state that cannot reach the target within the hop limit never
                // becomes a goal, and it only ever touches best-score keys that no
                // state able to reach the target shares.
                const std::uint32_t rest = g_.hops_to_target[next];
                if (rest == none || (max_hops && std::uint64_t{hops} + rest > max_hops->value)) {
                    pruned_any_ = true;
                    continue;
                }
            }
            if (on_path(s.entry, a)) continue;
            std::uint64_t score = 0;
            std::uint64_t cost = 0;
            if (!g_.weight_fits[a] || !add_checked(s.score, g_.weight[a], score) ||
                !add_checked(s.cost, g_.cost[a], cost)) {
                overflow_ = true;
                continue;
            }
            if (!best_.offer(next, hops, score)) continue;
            const auto [entry, label] = add_entry(s.entry, s.label, a, e - first, ways);
            if (!push(State{score, cost, label, hops, next, entry})) return End::limit;
        }
    }
    return End::finished;
}

std::string join_ids(const std::vector<AdapterSpec>& adapters, const std::vector<std::uint32_t>& path) {
    std::string out;
    for (std::size_t i = 0; i < path.size(); ++i) {
        if (i > 0) out.append(" -> ");
        out.append(adapters[path[i]].id);
    }
    return out;
}

}  // namespace

PathResolution AdapterRegistry::find_path(const TypeId& from_type, const RepresentationId& from_representation,
                                          const TypeId& to_type, const RepresentationId& to_representation,
                                          const PlanningPolicy& policy, const PathSearchOptions& options) const {
    if (from_type == to_type && from_representation == to_representation) {
        PathResolution identity;
        identity.path.emplace();
        return identity;
    }

    const SearchGraph graph = build_graph(adapters_, from_type.view(), from_representation.view(), to_type.view(),
                                          to_representation.view(), policy);
    auto limit_exceeded = [&] {
        return PathResolution::unresolved(
            std::string(path_issue::search_limit_exceeded),
            text::format("adapter path search from `{}/{}` to `{}/{}` exceeded its limit of {} states", from_type,
                         from_representation, to_type, to_representation,
                         std::min(options.max_states, Search::max_supported_states)),
            {});
    };

    Search pruned(graph, policy, options, options.prune);
    if (pruned.run() == Search::End::limit) return limit_exceeded();
    Search* search = &pruned;
    // Pruning keeps every goal the full search finds; it can only hide an
    // overflow met on the way to a dead end, which matters when no goal is found
    // and some sum can overflow at all. Then the full search decides the code.
    std::optional<Search> full;
    if (!pruned.found_goal() && pruned.pruned_any() && !graph.overflow_impossible) {
        full.emplace(graph, policy, options, false);
        if (full->run() == Search::End::limit) return limit_exceeded();
        search = &*full;
    }

    if (!search->found_goal()) {
        return PathResolution::unresolved(
            std::string(search->overflow() ? path_issue::cost_overflow : path_issue::no_path),
            text::format("no adapter path from `{}/{}` to `{}/{}`", from_type, from_representation, to_type,
                         to_representation),
            {});
    }

    const std::vector<std::vector<std::uint32_t>> paths = search->goal_paths();

    if (paths.size() > 1 && policy.require_user_choice_on_ambiguity) {
        std::vector<std::string> choices;
        choices.reserve(paths.size());
        for (const auto& path : paths) choices.push_back(join_ids(adapters_, path));
        return PathResolution::unresolved(std::string(path_issue::ambiguous_path),
                                          "multiple equivalent adapter paths require user choice", std::move(choices));
    }

    AdapterPath chosen;
    chosen.adapters.reserve(paths.front().size());
    for (std::uint32_t index : paths.front()) {
        const AdapterSpec& a = adapters_[index];
        auto weight = edge_weight(a, policy.preferred_adapters.contains(a.id));
        if (!weight || !add_checked(chosen.score, *weight, chosen.score) ||
            !add_checked(chosen.cost, a.cost, chosen.cost)) {
            return PathResolution::unresolved(std::string(path_issue::cost_overflow), "adapter path cost exceeds u64",
                                              {});
        }
        chosen.adapters.push_back(a);
    }
    PathResolution resolved;
    resolved.path = std::move(chosen);
    return resolved;
}

}  // namespace veltrinax
