#include "veltrinax/adapter.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <deque>
#include <limits>
#include <map>
#include <utility>

#include "veltrinax/text.hpp"
#include "veltrinax/word_table.hpp"

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
// Equivalent paths
// ---------------------------------------------------------------------------

void EquivalentPaths::add(std::span<const AdapterSpec* const> path) {
    adapters_.insert(adapters_.end(), path.begin(), path.end());
    ends_.push_back(adapters_.size());
}

namespace {

// The bytes of a path's choice: its ids joined by " -> ".
std::size_t choice_size(std::span<const AdapterSpec* const> path) {
    std::size_t bytes = path.empty() ? 0 : 4 * (path.size() - 1);
    for (const AdapterSpec* a : path) bytes += a->id.size();
    return bytes;
}

}  // namespace

std::uint64_t EquivalentPaths::choice_bytes() const noexcept {
    std::uint64_t bytes = 0;
    for (std::size_t i = 0; i < size(); ++i) bytes += choice_size((*this)[i]);
    return bytes;
}

std::vector<std::string> EquivalentPaths::choices() const {
    std::vector<std::string> out;
    out.reserve(size());
    for (std::size_t i = 0; i < size(); ++i) {
        const auto path = (*this)[i];
        std::string& choice = out.emplace_back();
        choice.reserve(choice_size(path));
        for (std::size_t k = 0; k < path.size(); ++k) {
            if (k > 0) choice.append(" -> ");
            choice.append(path[k]->id);
        }
    }
    return out;
}

PlanIssue ambiguous_path_issue(const EquivalentPaths& paths) {
    return PlanIssue{std::string(path_issue::ambiguous_path), std::string(path_issue::ambiguous_path_message),
                     paths.choices()};
}

// ---------------------------------------------------------------------------
// The path search
//
// Nodes are referred to by their index in the sorted list of (type,
// representation) pairs, so comparing indices compares nodes. The allowed
// adapters are edges, grouped by input node and ascending by id in each group:
// comparing two edges that leave one node compares their ids. A path is an entry
// of an arena tree (parent, edge): a state costs a fixed few bytes whatever its
// length, and each distinct path is one entry.
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
//
// Each adapter examined goes through the tests from the cheapest on: its sums
// (and overflow), the best score of its (node, hops) key, and only then the
// no-reuse test; the outcome is that of testing reuse first, since an adapter
// already on the path is skipped whatever the other tests say, and is never
// recorded. So an adapter that loses on score costs its lookup alone, however
// large its component. A trie is read once per expansion, on the first adapter
// that needs the test: the inner adapters leaving a node have consecutive
// indices in their component, so the leaves they fall in are one range, gathered
// by visiting only the trie's nodes that are present and overlap it. That costs
// at most the levels of one trie path per adapter the path used in the
// component, and at most two trie paths plus a third of the range's leaves: no
// more than the plain test's scan of the path, nor a fixed few units per adapter
// leaving the node.
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
// An adapter examined while expanding a state: its edge read and its best-score
// slot looked up, the slot prefetched a few adapters ahead so that a table that
// has outgrown the caches costs about what one in the caches does.
constexpr std::uint64_t examined = 2;
// A node of a no-reuse trie visited or copied (a cache miss and 16 bytes, mostly).
constexpr std::uint64_t trie_level = 4;
// A state popped and looked at, one step of a comparison climbing two paths, or
// an adapter of an equivalent path walked and kept for the caller (8 bytes).
constexpr std::uint64_t step = 2;
// An adapter walked backwards by pruning: a table insert into its region's own
// index, up to 56 bytes (its entry, and its input node's when that is new) kept
// for the rest of the call, and its share of filing the completed walk under
// its input node. Drawn from the walk's own allowance, never from the budget
// (see "Pruning" below).
constexpr std::uint64_t walked = 16;
// A search's fixed part: setting it up (its tables are made on first use), and
// the region of its target when that is new.
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

// Whether ids, asked in ascending order, are in a sorted list: a cursor that only
// moves forward, galloping to the next id, so that n ids cost O(n log(m / n + 1))
// comparisons against a list of m rather than n log m, and the list is read in
// its own order rather than bisected anew for each id.
class AscendingLookup {
public:
    explicit AscendingLookup(const json::SortedSet<std::string>& ids) : at_(ids.begin()), end_(ids.end()) {}

    bool contains(std::string_view id) {
        auto low = at_;  // everything before it is below `id`
        auto high = low;
        for (std::ptrdiff_t step = 1; high != end_ && std::string_view(*high) < id; step *= 2) {
            low = high + 1;
            high = end_ - low > step ? low + step : end_;
        }
        at_ = std::lower_bound(low, high, id, [](const std::string& a, std::string_view b) { return a < b; });
        return at_ != end_ && *at_ == id;
    }

private:
    using Iterator = decltype(std::declval<const json::SortedSet<std::string>&>().begin());
    Iterator at_;
    Iterator end_;
};

bool allowed_by(const AdapterSpec& a, const PlanningPolicy& policy, AscendingLookup& forbidden) {
    if (forbidden.contains(a.id)) return false;
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
    std::uint64_t used() const noexcept { return limit_ - left_; }
    std::uint64_t left() const noexcept { return left_; }

private:
    std::uint64_t left_;
    std::uint64_t limit_;
};

// An allowed adapter as the search reads it, in one place: expanding a node
// reads its edges one after another.
struct Edge {
    std::uint64_t weight;     // meaningful when `weight_fits`
    std::uint64_t cost;
    std::uint32_t adapter;    // its index in the registry
    std::uint32_t to;         // its output node
    // Its index among the adapters inside its component (`none` for one that
    // leaves its component and so can never recur), and the depth of that
    // component's trie (0: a 64-bit mask).
    std::uint32_t local;
    std::uint8_t trie_depth;
    std::uint8_t weight_fits;
};

// The graph of one policy: the adapters it allows, grouped by input and by
// output node. Independent of the two ends of a search.
struct PolicyGraph {
    using NodeKey = std::pair<std::string_view, std::string_view>;

    std::vector<NodeKey> nodes;  // sorted, unique
    // Per node, its outgoing edges: rows of `edges`, ascending by id.
    std::vector<std::uint32_t> out_begin;
    std::vector<Edge> edges;
    std::vector<std::uint32_t> from;  // per row: the input node
    // Per node, its incoming edges (rows).
    std::vector<std::uint32_t> in_begin;
    std::vector<std::uint32_t> in_edges;
    // Per node, the first and last index of its outgoing adapters inside its
    // component (consecutive; `none` when it has none).
    std::vector<std::uint32_t> inner_first;
    std::vector<std::uint32_t> inner_last;
    // Per node, the depth of its component's trie (see `Edge::trie_depth`).
    std::vector<std::uint8_t> inner_depth;
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
                const std::uint32_t w = g.edges[edge].to;
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
    // The policy's lists are asked about in the registry's order, ascending ids.
    AscendingLookup forbidden(policy.forbidden_adapters);
    AscendingLookup preferred(policy.preferred_adapters);
    std::vector<std::uint32_t> allowed;  // ascending registry indices: ascending ids
    for (std::uint32_t i = 0; i < adapters.size(); ++i) {
        if (allowed_by(adapters[i], policy, forbidden)) allowed.push_back(i);
    }

    // The nodes, numbered in the order of their texts: the adapters' two ends
    // sorted together by their (type, representation) pairs, equal pairs falling
    // together as one node. The sort reads an end's texts about once, however
    // long a prefix they share with others; a comparison sort of the distinct
    // nodes read two nodes' texts, scattered over the registry, some 20 times a
    // node, each time up to the 256 bytes of texts alike but for their end.
    const std::size_t ends = 2 * allowed.size();
    std::vector<text::TextPair> end_texts;
    end_texts.reserve(ends);
    for (const std::uint32_t i : allowed) {
        const AdapterSpec& a = adapters[i];
        end_texts.emplace_back(a.input_type.view(), a.input_representation.view());
        end_texts.emplace_back(a.output_type.view(), a.output_representation.view());
    }
    const text::PairOrder order = text::pair_order(end_texts);
    std::vector<std::uint32_t> node_of_end(ends);
    g.nodes.reserve(static_cast<std::size_t>(std::count(order.new_pair.begin(), order.new_pair.end(), 1)));
    for (std::size_t i = 0; i < ends; ++i) {
        const std::uint32_t e = order.positions[i];
        if (order.new_pair[i]) g.nodes.push_back(end_texts[e]);
        node_of_end[e] = static_cast<std::uint32_t>(g.nodes.size() - 1);
    }
    const std::uint32_t n = g.node_count();

    std::vector<std::uint32_t> input(allowed.size());
    std::vector<std::uint32_t> output(allowed.size());
    g.out_begin.assign(n + 1, 0);
    g.in_begin.assign(n + 1, 0);
    for (std::size_t k = 0; k < allowed.size(); ++k) {
        input[k] = node_of_end[2 * k];
        output[k] = node_of_end[2 * k + 1];
        ++g.out_begin[input[k] + 1];
        ++g.in_begin[output[k] + 1];
    }
    for (std::uint32_t v = 0; v < n; ++v) {
        g.out_begin[v + 1] += g.out_begin[v];
        g.in_begin[v + 1] += g.in_begin[v];
    }

    // Filling in id order keeps each node's rows in ascending id order.
    std::uint64_t weight_sum = 0;
    std::uint64_t cost_sum = 0;
    g.edges.resize(allowed.size());
    g.from.resize(allowed.size());
    g.in_edges.resize(allowed.size());
    {
        std::vector<std::uint32_t> out_fill(g.out_begin.begin(), g.out_begin.end() - 1);
        std::vector<std::uint32_t> in_fill(g.in_begin.begin(), g.in_begin.end() - 1);
        for (std::size_t k = 0; k < allowed.size(); ++k) {
            const AdapterSpec& a = adapters[allowed[k]];
            const std::uint32_t row = out_fill[input[k]]++;
            Edge& e = g.edges[row];
            e = Edge{0, a.cost, allowed[k], output[k], none, 0, 0};
            if (auto w = edge_weight(a, preferred.contains(a.id))) {
                e.weight = *w;
                e.weight_fits = 1;
                if (!add_checked(weight_sum, *w, weight_sum)) g.overflow_impossible = false;
            } else {
                g.overflow_impossible = false;
            }
            if (!add_checked(cost_sum, a.cost, cost_sum)) g.overflow_impossible = false;
            g.from[row] = input[k];
            g.in_edges[in_fill[output[k]]++] = row;
        }
    }

    // Inner adapters numbered node by node in row order, so that those leaving one
    // node are consecutive.
    const std::vector<std::uint32_t> component = strong_components(g);
    std::vector<std::uint32_t> inside(n, 0);  // inner adapters of each component, counted
    g.inner_first.assign(n, none);
    g.inner_last.assign(n, none);
    for (std::uint32_t v = 0; v < n; ++v) {
        for (std::uint32_t row = g.out_begin[v]; row < g.out_begin[v + 1]; ++row) {
            Edge& e = g.edges[row];
            const std::uint32_t c = component[v];
            if (c != component[e.to]) continue;
            e.local = inside[c]++;
            if (g.inner_first[v] == none) g.inner_first[v] = e.local;
            g.inner_last[v] = e.local;
        }
    }
    g.inner_depth.assign(n, 0);
    for (std::uint32_t row = 0; row < g.edges.size(); ++row) {
        Edge& e = g.edges[row];
        if (e.local == none) continue;
        const std::uint32_t k = inside[component[g.from[row]]];
        std::uint8_t depth = 0;
        // Leaves of 64 bits under branches of four over the rest of the index.
        while ((std::uint64_t{64} << (2 * depth)) < k) ++depth;
        e.trie_depth = depth;
        g.inner_depth[g.from[row]] = depth;
    }
    return g;
}

// The best score recorded per (node, hops).
class BestScores {
public:
    static std::uint64_t key(std::uint32_t node, std::uint32_t hops) noexcept {
        // Node indices stay below 2^32 - 1, so no key is all ones.
        return (std::uint64_t{node} << 32) | hops;
    }
    std::uint64_t hash(std::uint64_t key) const noexcept { return table_.hash(key); }
    void prefetch(std::uint64_t h) const noexcept { table_.prefetch(h); }

    // The score held under the key, to be lowered by the caller: a key not
    // recorded yet holds the highest score, which no offered score is above, so
    // it reads exactly as a missing one.
    std::uint64_t& held(std::uint64_t key, std::uint64_t h) {
        return *table_.try_emplace(key, h, std::numeric_limits<std::uint64_t>::max()).first;
    }

private:
    text::WordTable<std::uint64_t, std::uint64_t> table_{16};
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
// thousands of adapters lead into, searched from a source one adapter away),
// and the search far more than the walk (a source left by thousands of dead
// ends, towards a target a few adapters lead into). So the two take turns: the
// search runs unpruned while the walk keeps up with the units it draws, and
// before each expansion the walk runs ahead of them by the most that expansion
// can draw, so that a region no larger than that is complete before the
// expansion pushes what it would prune. When the walk completes, the search
// goes on pruned from where it stands: the states it already holds are kept (a
// dead one expands to nothing), and from then on it pushes only what the pruned
// search would. When the search ends first, the walk stays where it is, and the
// next search towards the same target takes it up there; a complete region
// serves every later search towards its target at once.
//
// Pruning only ever saves. The walk draws on an allowance of its own, never on
// the budget, so that only the searches' own units decide the limit; and a
// search spends, with pruning, at most what it spends without: it pushes, pops,
// examines, tests and orders a subset of what the unpruned search does (a live
// state, its key, its path and its best-score key are the same in both), and an
// expansion never costs it more. So at every budget a call ends with pruning
// exactly as it ends without, whenever that ends within the budget.
//
// The walk's allowance has two lines, each with the same lead: the units the
// search beside it has drawn, and the units the whole call has drawn (its walks
// all counted against them). The first keeps a walk from spending on a small
// search what earlier searches drew; the second keeps many searches towards new
// targets from each running a lead ahead. So a call's walks never exceed the
// units it drew plus the largest expansion bound they ran before (plus one
// walked adapter), and its work, walks included, stays within twice its units
// and that bound. While a search runs unpruned, each expansion it makes either
// follows a walk that could not complete its region within the expansion's
// bound, or comes while the call's walks already match its units; either way
// the units the search draws before pruning starts are at most what walking the
// regions takes, plus the last expansion's. A walk that never completes (a
// region far larger than the searches towards it) is pure cost within those
// lines; one that completes is paid once per target and call, however many
// searches go towards it.
//
// Each region indexes its own nodes: a walk inserts into a table as large as
// its region, not into one shared by every region of the call.
// ---------------------------------------------------------------------------

// A node of a region: its fewest adapters to the target, and where its live
// edges (those into the region) lie in the region's list.
struct NodeFacts {
    std::uint32_t hops = 0;
    std::uint32_t live_begin = 0;
    std::uint32_t live_end = 0;
};

// An edge into a region, with the fewest adapters from its output node on.
struct LiveEdge {
    std::uint32_t row;
    std::uint32_t hops_after;
};

// An edge walked into a region: the entry of its input node, and the edge.
struct WalkedEdge {
    std::uint32_t input_entry;
    LiveEdge edge;
};

// What is known of the nodes that can reach one target.
struct Region {
    std::uint32_t target = none;
    std::vector<std::uint32_t> nodes;  // found so far, breadth first from the target
    std::vector<NodeFacts> facts;      // per entry of `nodes`
    text::WordTable<std::uint32_t, std::uint32_t> index{8};  // node -> entry of `nodes`
    // Where the walk stands: the entry of `nodes` whose incoming edges are being
    // walked, and how many of them are done.
    std::size_t head = 0;
    std::uint32_t next_in = 0;
    // Every edge walked; once the walk is complete, grouped into `live`.
    std::vector<WalkedEdge> walked;
    std::vector<LiveEdge> live;  // grouped by input node, ascending by row (id) in each group
    bool complete = false;

    // The facts of `node` when it can reach the target.
    const NodeFacts* facts_of(std::uint32_t node) {
        const std::uint32_t* at = index.find(node);
        return at == nullptr ? nullptr : &facts[*at];
    }
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
            made.target = target;
            add_node(made, target, 0);
        }
        return regions_[at];
    }

    // Walks on until it has spent `allowance` more units or the region is
    // complete, adding what it spends to `spent`.
    void walk(Region& r, std::uint64_t allowance, std::uint64_t& spent) {
        const std::uint64_t until = spent + allowance;
        while (r.head < r.nodes.size()) {
            const std::uint32_t v = r.nodes[r.head];
            const std::uint32_t first = g_.in_begin[v];
            const std::uint32_t incoming = g_.in_begin[v + 1] - first;
            const std::uint32_t hops_after = r.facts[r.head].hops;
            for (; r.next_in < incoming; ++r.next_in) {
                if (spent >= until) return;
                spent += work::walked;
                const std::uint32_t row = g_.in_edges[first + r.next_in];
                const std::uint32_t entry = add_node(r, g_.from[row], hops_after + 1);
                r.walked.push_back(WalkedEdge{entry, LiveEdge{row, hops_after}});
            }
            ++r.head;
            r.next_in = 0;
        }
        complete(r);
    }

private:
    // The entry of `node`, added if new. Breadth first, the first time a node is
    // found is by its fewest adapters.
    static std::uint32_t add_node(Region& r, std::uint32_t node, std::uint32_t hops) {
        const auto [entry, added] = r.index.try_emplace(node, static_cast<std::uint32_t>(r.nodes.size()));
        if (added) {
            r.nodes.push_back(node);
            r.facts.push_back(NodeFacts{hops, 0, 0});
        }
        return *entry;
    }

    // Groups the walked edges by input node (counting them per entry), each group
    // ascending by row; paid for as the edges were walked.
    static void complete(Region& r) {
        std::uint32_t at = 0;
        for (const WalkedEdge& w : r.walked) ++r.facts[w.input_entry].live_end;
        for (NodeFacts& f : r.facts) {
            f.live_begin = at;
            at += f.live_end;
            f.live_end = f.live_begin;
        }
        r.live.resize(r.walked.size());
        for (const WalkedEdge& w : r.walked) r.live[r.facts[w.input_entry].live_end++] = w.edge;
        for (const NodeFacts& f : r.facts) {
            auto begin = r.live.begin() + f.live_begin;
            auto end = r.live.begin() + f.live_end;
            auto by_row = [](const LiveEdge& a, const LiveEdge& b) { return a.row < b.row; };
            if (!std::is_sorted(begin, end, by_row)) std::sort(begin, end, by_row);
        }
        std::vector<WalkedEdge>().swap(r.walked);
        r.complete = true;
    }

    const PolicyGraph& g_;
    std::vector<std::uint32_t> region_index_;  // per node: its region as a target, or none
    std::deque<Region> regions_;               // stable addresses: searches hold on to theirs
};

class Search {
public:
    // `expand`: a state was popped and is about to be expanded; the caller lets
    // `expand_pending` do it, after whatever it must do first (see "Pruning").
    enum class Step : std::uint8_t { more, expand, finished, limit };

    Search(const PolicyGraph& graph, std::uint32_t source, std::uint32_t target, const PlanningPolicy& policy,
           Budget& budget, const PathSearchOptions& options)
        : g_(graph), source_(source), target_(target), policy_(policy), budget_(budget), max_states_(options.max_states) {
        const unsigned bits = std::min(options.path_label_bits, 64u);
        label_space_ = bits == 64 ? std::numeric_limits<std::uint64_t>::max() : (std::uint64_t{1} << bits) - 1;
    }

    // From now on, expand only towards `region`.
    void prune_with(Region& region) {
        region_ = &region;
        pruning_pending_ = false;
    }
    // Pruning may start later in this search (a walk towards its target is under
    // way).
    void expect_pruning() { pruning_pending_ = true; }

    // Pops one state (the first call pushes the source's state); when that state
    // is to be expanded, returns `expand` and leaves it pending.
    Step step();
    // Expands the pending state.
    Step expand_pending() { return expand(pending_); }
    // The most that expanding the pending state can draw from the budget,
    // should the search still be unpruned then.
    std::uint64_t pending_bound() const noexcept { return unpruned_expansion_bound(pending_.node); }

    // Units this search has drawn from the budget.
    std::uint64_t spent() const noexcept { return spent_; }
    bool found_goal() const noexcept { return !goals_.empty(); }
    bool overflow() const noexcept { return overflow_; }

    // The goal entries in path order (ids compared as their rows). All goals have
    // the best goal's length, so that order is their order in a depth-first walk
    // of the arena.
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

    // The number of adapters on a goal's path.
    std::uint32_t length_of(std::uint32_t goal) const noexcept { return arena_[goal].depth; }
    // The registry indices on a goal's path, first adapter first, into `out`.
    void path_of(std::uint32_t goal, std::vector<std::uint32_t>& out) const {
        out.clear();
        for (std::uint32_t e = goal; e != root; e = arena_[e].parent) out.push_back(g_.edges[arena_[e].row].adapter);
        std::reverse(out.begin(), out.end());
    }

private:
    static constexpr std::uint32_t root = 0;

    struct Entry {
        std::uint32_t parent;
        std::uint32_t jump;  // an ancestor; its depth depends on this entry's depth only
        std::uint32_t row;   // the edge taken last
        std::uint32_t depth;
        // The adapters used since the path entered its current component: a bit
        // mask, or the root of a trie (see `Edge::trie_depth`).
        std::uint64_t used;
        std::uint64_t width;  // of the label interval, see `State::label`
    };

    struct State {
        std::uint64_t score;
        std::uint64_t cost;
        // Paths of one length ordered by label never contradict their
        // lexicographic order: a path owns the interval [label, label + width),
        // and its children split it in the order of their adapters, among all
        // the adapters leaving its node (pruned or not, so that a path's label
        // is the same in both). Once the intervals are too fine to split, labels
        // tie and the paths are compared in the arena. Nodes with one way out
        // split nothing.
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

    // Adds the entry for `parent`'s path followed by the edge in position `slot`
    // of the `ways` edges it may take next; returns it and its label.
    std::pair<std::uint32_t, std::uint64_t> add_entry(std::uint32_t parent, std::uint64_t parent_label,
                                                      std::uint32_t row, std::uint64_t used, std::uint32_t slot,
                                                      std::uint32_t ways) {
        const Entry& p = arena_[parent];
        const Entry& pj = arena_[p.jump];
        const std::uint32_t jump = p.depth - pj.depth == pj.depth - arena_[pj.jump].depth ? pj.jump : parent;
        const std::uint64_t width = p.width / ways;
        const std::uint32_t depth = p.depth + 1;
        arena_.push_back(Entry{parent, jump, row, depth, used, width});
        return {static_cast<std::uint32_t>(arena_.size() - 1), parent_label + slot * width};
    }

    // Lexicographic order of two distinct paths of equal length (ids compared as
    // their rows, which siblings share a node for): climb to the children of
    // their last common entry. Counts its steps, which the caller charges.
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
        return arena_[a].row < arena_[b].row ? -1 : 1;
    }

    // A trie of depth d holds indices below 64 * 4^d: branches of four children
    // over leaves of 64 bits. Number 0 is the empty branch and the empty leaf.
    using Branch = std::array<std::uint32_t, 4>;
    static unsigned digit(std::uint32_t local, unsigned level) noexcept { return (local >> (6 + 2 * level)) & 3; }

    // The root of a new trie holding the old one's indices and `local`; shares
    // every branch and leaf off the changed path.
    std::uint32_t trie_insert(std::uint32_t root_branch, std::uint32_t local, unsigned depth) {
        if (branches_.empty()) {
            branches_.push_back(Branch{});
            leaves_.push_back(0);
        }
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

    // Gathers the leaves of trie `root_branch` (of `depth` levels above its leaves)
    // that the inner adapters leaving `node` fall in, in ascending order, visiting
    // only the trie nodes present that overlap them, each charged.
    bool gather(std::uint32_t node, std::uint32_t root_branch, unsigned depth) {
        here_.clear();
        next_here_ = 0;
        if (root_branch == 0) return true;
        const std::uint32_t lo = g_.inner_first[node] >> 6;
        const std::uint32_t hi = g_.inner_last[node] >> 6;
        struct Frame {
            std::uint32_t node;
            std::uint32_t height;  // 0 for a leaf
            std::uint32_t first;   // the first leaf index under it
        };
        // Each frame popped pushes at most four: three more per level at most.
        Frame stack[4 * 16];
        std::size_t top = 0;
        stack[top++] = Frame{root_branch, depth, 0};
        std::uint64_t visited = 0;
        while (top > 0) {
            const Frame f = stack[--top];
            ++visited;
            if (f.height == 0) {
                here_.emplace_back(f.first, leaves_[f.node]);
                continue;
            }
            const std::uint32_t span = std::uint32_t{1} << (2 * (f.height - 1));  // leaves under each child
            for (std::uint32_t c = 4; c-- > 0;) {  // pushed last first, so popped first first
                const std::uint32_t child = branches_[f.node][c];
                const std::uint32_t first = f.first + c * span;
                if (child == 0 || first > hi || first + span <= lo) continue;
                stack[top++] = Frame{child, f.height - 1, first};
            }
        }
        return take(work::trie_level * visited);
    }

    // Whether the adapter of `e`, which leaves the state's node, is already on the
    // state's path, into `used`; false when the budget ran out. Within one
    // expansion, trie adapters come in ascending index order.
    bool on_path(const State& s, const Edge& e, bool& used) {
        if (e.local == none) {
            used = false;
            return true;
        }
        const std::uint64_t set = arena_[s.entry].used;
        if (e.trie_depth == 0) {
            used = ((set >> e.local) & 1) != 0;
            return true;
        }
        if (!gathered_) {
            gathered_ = true;
            if (!gather(s.node, static_cast<std::uint32_t>(set), e.trie_depth)) return false;
        }
        const std::uint32_t leaf = e.local >> 6;
        while (next_here_ < here_.size() && here_[next_here_].first < leaf) ++next_here_;
        used = next_here_ < here_.size() && here_[next_here_].first == leaf &&
               ((here_[next_here_].second >> (e.local & 63)) & 1) != 0;
        return true;
    }

    // The used set of a path that takes `e` after the entry's path; false when the
    // budget ran out.
    bool used_after(std::uint32_t entry, const Edge& e, std::uint64_t& set) {
        set = 0;
        if (e.local == none) return true;  // it leaves the component: the next one starts empty
        if (e.trie_depth == 0) {
            set = arena_[entry].used | (std::uint64_t{1} << e.local);
            return true;
        }
        if (!take(work::trie_level * (e.trie_depth + 1))) return false;
        set = trie_insert(static_cast<std::uint32_t>(arena_[entry].used), e.local, e.trie_depth);
        return true;
    }

    // The heap's order: a state's key (score, hops, cost, node), its label, then
    // its entry, which is creation order. States that tie on key and label (a
    // batch) thus leave the heap in creation order, and are then put in path
    // order (see `take_batch`).
    static bool heap_before(const State& a, const State& b) noexcept {
        if (a.score != b.score) return a.score < b.score;
        if (a.hops != b.hops) return a.hops < b.hops;
        if (a.cost != b.cost) return a.cost < b.cost;
        if (a.node != b.node) return a.node < b.node;
        if (a.label != b.label) return a.label < b.label;
        return a.entry < b.entry;
    }
    static bool same_batch(const State& a, const State& b) noexcept {
        return a.score == b.score && a.hops == b.hops && a.cost == b.cost && a.node == b.node && a.label == b.label;
    }
    // The heap keeps its greatest element first, so it is given the reversed order
    // (as a function object, which the heap's algorithms inline).
    struct HeapAfter {
        bool operator()(const State& a, const State& b) const noexcept { return heap_before(b, a); }
    };

    // Path order between two states of one batch, whose labels tie: a climb in
    // the arena, charged as it is made; false in `ok` when the budget ran out.
    bool path_before(const State& a, const State& b, bool& ok) {
        const bool less = compare_paths(a.entry, b.entry) < 0;
        if (!take(work::step * std::exchange(climbs_, 0))) ok = false;
        return less;
    }

    bool push(const State& s) {
        if (pushed_ >= max_states_ || !take(work::state)) return false;
        ++pushed_;
        frontier_.push_back(s);
        std::push_heap(frontier_.begin(), frontier_.end(), HeapAfter{});
        return true;
    }

    bool frontier_empty() const noexcept { return next_in_batch_ == batch_.size() && frontier_.empty(); }

    // Takes the next state in the frontier's order into `s` (the frontier is not
    // empty); false when putting a batch in order ran out of budget.
    bool pop(State& s) {
        if (next_in_batch_ == batch_.size() && !take_batch(s)) return false;
        if (next_in_batch_ < batch_.size()) s = batch_[next_in_batch_++];
        return true;
    }

    // Takes every state of the least key and label off the heap at once: most
    // often one, since labels tie only once a path's interval is too fine to
    // split. A state pushed later has a greater key (an adapter adds a hop and
    // never lowers the score), so the batch is complete; it is put in path order
    // only when its states will be expanded, since the order of goals and of
    // states that expand to nothing changes nothing.
    //
    // Every state of a batch that expands costs at least its expansion's own
    // units. Once those of the states taken so far pass what is left of the
    // budget, the search is bound to run out within the batch, and it does so at
    // once rather than after taking the rest of the batch off the heap. (Before
    // pruning starts, which it may do within the batch, only the least an
    // expansion can cost counts.)
    //
    // A batch of one state goes straight into `single`; a larger one into
    // `batch_`.
    bool take_batch(State& single) {
        batch_.clear();
        next_in_batch_ = 0;
        const auto take_one = [this](State& into) {
            std::pop_heap(frontier_.begin(), frontier_.end(), HeapAfter{});
            into = frontier_.back();
            frontier_.pop_back();
        };
        take_one(single);
        // Most batches are one state: nothing to order, nothing to look up.
        if (frontier_.empty() || !same_batch(frontier_.front(), single)) return true;
        batch_.push_back(single);
        const NodeFacts* facts = region_ != nullptr ? region_->facts_of(single.node) : nullptr;
        const bool expanding = expands(single, facts);
        const std::uint64_t each = expanding ? expansion_units(single, facts) : 0;
        const std::uint64_t left = budget_.left();
        while (!frontier_.empty() && same_batch(frontier_.front(), batch_.front())) {
            if (each * (batch_.size() + 1) > left) return take(each * (batch_.size() + 1));
            take_one(batch_.emplace_back());
        }
        return !expanding || order_batch();
    }

    // The units of expanding a state at a node `out_count` adapters leave:
    // unpruned, each of them examined; pruned (`facts` the node's in the region,
    // or none), the node's lookup and its live adapters, within the unpruned
    // units.
    std::uint64_t expansion_units(std::uint64_t out_count, const NodeFacts* facts) const noexcept {
        if (region_ == nullptr) return work::step + work::examined * out_count;
        const std::uint64_t ways = facts != nullptr ? facts->live_end - facts->live_begin : 0;
        return work::step + work::examined * std::min<std::uint64_t>(1 + ways, out_count);
    }
    // The same for a state, or, while pruning may yet start within its batch, the
    // least they can be either way.
    std::uint64_t expansion_units(const State& s, const NodeFacts* facts) const noexcept {
        const std::uint64_t out_count = g_.out_begin[s.node + 1] - g_.out_begin[s.node];
        if (pruning_pending_) return work::step + work::examined * std::min<std::uint64_t>(1, out_count);
        return expansion_units(out_count, facts);
    }

    // The most an unpruned expansion at `node` can draw: its step, each adapter
    // examined and pushed, and for the adapters inside its component a trie
    // path copied each and the trie nodes gathered (at most two root-to-leaf
    // paths and twice the leaves the node's inner adapters fall in).
    std::uint64_t unpruned_expansion_bound(std::uint32_t node) const noexcept {
        const std::uint64_t out_count = g_.out_begin[node + 1] - g_.out_begin[node];
        std::uint64_t units = work::step + (work::examined + work::state) * out_count;
        if (g_.inner_first[node] != none) {
            const std::uint64_t levels = std::uint64_t{g_.inner_depth[node]} + 1;
            if (levels > 1) {
                const std::uint64_t inner = g_.inner_last[node] - g_.inner_first[node] + 1;
                const std::uint64_t leaves = (g_.inner_last[node] >> 6) - (g_.inner_first[node] >> 6) + 1;
                units += work::trie_level * (levels * inner + 2 * leaves + 2 * levels);
            }
        }
        return units;
    }

    // Whether the states of a batch are expanded into anything: the search has
    // not ended on them, they are no goals, the hop limit lets them on, and (when
    // pruned, `facts` their node's in the region or none) they can still reach
    // the target within it.
    bool expands(const State& s, const NodeFacts* facts) const noexcept {
        if (have_best_ && (s.score > best_score_ || (s.score == best_score_ && s.hops > best_hops_))) return false;
        if (s.node == target_) return false;
        const std::optional<json::usize>& max_hops = policy_.max_hops;
        if (max_hops && s.hops >= max_hops->value) return false;
        if (region_ == nullptr) return true;
        return facts != nullptr && (!max_hops || std::uint64_t{s.hops} + facts->hops <= max_hops->value);
    }

    // Puts the batch, which comes in creation order, in path order by a natural
    // merge sort under `path_before`. Pruning leaves out whole keys (a key names
    // its node and hops) and labels paths as the unpruned search does, so a
    // batch it orders is one the unpruned search orders too, with its members
    // created in the same relative order: the same comparisons are made, with
    // the same results and the same climbs. Children are made in id order as
    // their parents are expanded in path order, so a batch mostly comes in order
    // already, and the sort mostly checks it.
    bool order_batch() {
        bool ok = true;
        const std::size_t n = batch_.size();
        runs_.assign(1, 0);
        for (std::size_t i = 1; i < n && ok; ++i) {
            if (path_before(batch_[i], batch_[i - 1], ok)) runs_.push_back(i);
        }
        runs_.push_back(n);
        while (ok && runs_.size() > 2) {
            merged_.clear();
            std::size_t kept = 0;
            for (std::size_t r = 0; r + 1 < runs_.size(); r += 2) {
                const std::size_t begin = runs_[r], middle = runs_[r + 1];
                const std::size_t end = r + 2 < runs_.size() ? runs_[r + 2] : middle;
                runs_[kept++] = begin;
                std::size_t i = begin, j = middle;
                while (i < middle && j < end && ok) {
                    merged_.push_back(path_before(batch_[j], batch_[i], ok) ? batch_[j++] : batch_[i++]);
                }
                merged_.insert(merged_.end(), batch_.begin() + i, batch_.begin() + middle);
                merged_.insert(merged_.end(), batch_.begin() + j, batch_.begin() + end);
            }
            runs_[kept++] = n;
            runs_.resize(kept);
            batch_.swap(merged_);
        }
        return ok;
    }

    Step expand(const State& s);
    template <class RowOf>
    Step follow_each(const State& s, std::uint32_t ways, RowOf row_of, const LiveEdge* live);

    const PolicyGraph& g_;
    std::uint32_t source_;
    std::uint32_t target_;
    const PlanningPolicy& policy_;
    Budget& budget_;
    std::uint64_t max_states_;
    std::uint64_t label_space_;
    Region* region_ = nullptr;
    bool pruning_pending_ = false;
    std::uint64_t spent_ = 0;
    mutable std::uint64_t climbs_ = 0;
    std::vector<Entry> arena_;
    std::vector<Branch> branches_;     // made on the first trie insert
    std::vector<std::uint64_t> leaves_;
    // The gathered leaves of the state being expanded (index, bits), and the next
    // one a test may look at.
    bool gathered_ = false;
    std::vector<std::pair<std::uint32_t, std::uint64_t>> here_;
    std::size_t next_here_ = 0;
    std::vector<State> frontier_;  // a heap in `heap_before` order
    // The batch being taken (see `take_batch`), and the next of its states; the
    // sort's runs and its second buffer.
    std::vector<State> batch_;
    std::size_t next_in_batch_ = 0;
    std::vector<std::size_t> runs_;
    std::vector<State> merged_;
    BestScores best_;
    std::vector<std::uint32_t> goals_;
    std::uint64_t pushed_ = 0;
    State pending_{};  // popped, to be expanded
    bool started_ = false;
    bool done_ = false;
    bool have_best_ = false;
    std::uint64_t best_score_ = 0;
    std::uint32_t best_hops_ = 0;
    bool overflow_ = false;
};

Search::Step Search::step() {
    if (done_) return Step::finished;
    if (!started_) {
        started_ = true;
        arena_.push_back(Entry{root, root, none, 0, 0, label_space_});
        const std::uint64_t key = BestScores::key(source_, 0);
        best_.held(key, best_.hash(key)) = 0;
        return push(State{0, 0, 0, 0, source_, root}) ? Step::more : Step::limit;
    }
    if (frontier_empty()) {
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
    pending_ = s;
    return Step::expand;
}

Search::Step Search::expand(const State& s) {
    const std::uint32_t first = g_.out_begin[s.node];
    const std::uint32_t out_count = g_.out_begin[s.node + 1] - first;
    if (region_ == nullptr) {
        if (!take(expansion_units(out_count, nullptr))) return Step::limit;
        return follow_each(s, out_count, [first](std::uint32_t i) { return first + i; }, nullptr);
    }
    // Only the edges into the region (none when the node cannot reach the target),
    // and of those only the ones that leave enough hops to reach it.
    const NodeFacts* facts = region_->facts_of(s.node);
    if (!take(expansion_units(out_count, facts))) return Step::limit;
    const std::uint32_t ways = facts != nullptr ? facts->live_end - facts->live_begin : 0;
    if (ways == 0) return Step::more;
    const LiveEdge* live = region_->live.data() + facts->live_begin;
    return follow_each(s, ways, [live](std::uint32_t i) { return live[i].row; }, live);
}

// Follows each of the `ways` edges the state may take, in order: `row_of(i)` is
// the row of the i-th, and `live` (when pruned) its hops to the target. The
// best-score slots of the edges a few places ahead are prefetched, so that their
// misses overlap.
template <class RowOf>
Search::Step Search::follow_each(const State& s, std::uint32_t ways, RowOf row_of, const LiveEdge* live) {
    constexpr std::uint32_t ahead = 8;
    const std::uint32_t hops = s.hops + 1;
    std::uint64_t hashes[ahead];
    auto hash_at = [&](std::uint32_t i) {
        const std::uint64_t h = best_.hash(BestScores::key(g_.edges[row_of(i)].to, hops));
        best_.prefetch(h);
        return h;
    };
    for (std::uint32_t i = 0; i < std::min(ahead, ways); ++i) hashes[i] = hash_at(i);
    gathered_ = false;
    const std::optional<json::usize>& max_hops = policy_.max_hops;
    // Paths are labelled among all the adapters leaving the node, as unpruned.
    const std::uint32_t first = g_.out_begin[s.node];
    const std::uint32_t all_ways = g_.out_begin[s.node + 1] - first;
    for (std::uint32_t i = 0; i < ways; ++i) {
        const std::uint64_t h = hashes[i % ahead];
        if (i + ahead < ways) hashes[i % ahead] = hash_at(i + ahead);
        const std::uint32_t row = row_of(i);
        const Edge& e = g_.edges[row];
        if (live != nullptr && max_hops && std::uint64_t{hops} + live[i].hops_after > max_hops->value) continue;
        bool used = false;
        std::uint64_t score = 0;
        std::uint64_t cost = 0;
        if (!e.weight_fits || !add_checked(s.score, e.weight, score) || !add_checked(s.cost, e.cost, cost)) {
            // An adapter already on the path is skipped before its sums are made.
            // Pruned, the code of a missing path is only a lower bound (pruning
            // is off where it must be exact), so the test is not made.
            if (!overflow_ && live == nullptr) {
                if (!on_path(s, e, used)) return Step::limit;
                overflow_ = !used;
            }
            continue;
        }
        std::uint64_t& held = best_.held(BestScores::key(e.to, hops), h);
        if (held < score) continue;
        if (!on_path(s, e, used)) return Step::limit;
        if (used) continue;
        held = score;
        std::uint64_t set = 0;
        if (!used_after(s.entry, e, set)) return Step::limit;
        const auto [entry, label] = add_entry(s.entry, s.label, row, set, row - first, all_ways);
        if (!push(State{score, cost, label, hops, e.to, entry})) return Step::limit;
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
    std::uint64_t walked = 0;               // units of every walk, drawn from their own allowance
    std::uint64_t walked_ahead = 0;         // the most a walk was let run ahead of the units drawn

    Impl(const AdapterRegistry& r, const PlanningPolicy& p, const PathSearchOptions& o)
        : registry(r), policy(p), options(o), budget(o.max_work) {}
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;
    ~Impl() {
        if (options.work != nullptr) *options.work = PathSearchOptions::Work{budget.used(), walked, walked_ahead};
    }

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
        std::uint64_t beside = 0;  // units the walk spent beside this search
        Search::Step step = Search::Step::more;
        for (;;) {
            if (region != nullptr && !region->complete) {
                walk_beside(search, *region, step == Search::Step::expand ? search.pending_bound() : 0, beside);
            }
            step = step == Search::Step::expand ? search.expand_pending() : search.step();
            if (step == Search::Step::finished) return true;
            if (step == Search::Step::limit) return false;
        }
    }

    // One turn of the walk: it may catch up with the units this search has
    // drawn and with those the whole call has drawn, and run ahead of both by
    // `ahead` (what the expansion about to be made may draw), overshooting by
    // one adapter at most.
    void walk_beside(Search& search, Region& region, std::uint64_t ahead, std::uint64_t& beside) {
        const std::uint64_t search_line = search.spent() + ahead;
        const std::uint64_t call_line = budget.used() + ahead;
        if (beside > search_line || walked > call_line) return;
        const std::uint64_t before = beside;
        pruning->walk(region, std::min(search_line - beside, call_line - walked) + 1, beside);
        walked += beside - before;
        if (ahead > 0 && beside > before) walked_ahead = std::max(walked_ahead, ahead);
        if (region.complete) search.prune_with(region);
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
    auto unresolved = [&](std::string_view code, std::string message) {
        route.issues.push_back(PlanIssue{std::string(code), std::move(message), {}});
        return std::move(route);
    };
    // The limit alone: nothing found on the way (an equivalent path, say) goes
    // with it.
    auto limit = [&] {
        route = PathRoute{};
        return unresolved(path_issue::search_limit_exceeded,
                          limit_message(from_type, from_representation, to_type, to_representation));
    };
    // Its message is left to `find_path`: a planner drops the outcome, and the
    // message quotes four texts of any length, for every pair it tries.
    auto no_path = [&](bool overflow) { return unresolved(overflow ? path_issue::cost_overflow : path_issue::no_path, {}); };
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
    // Pruning hides an overflow met on the way to a dead end, so its code for a
    // missing path is only a lower bound. Where the code must be exact and some
    // sum can overflow at all, the search is not pruned: telling the two codes
    // apart after a pruned search would take a second, full one, and pruning
    // must never cost a search more than it saves.
    const bool prune = options.prune && !(options.settle_overflow && !g.overflow_impossible);
    // No allowed adapter enters the target: nothing can reach it, and pruned, the
    // search would expand nothing and so meet no overflow.
    if (target == none && prune) return no_path(false);

    Search search(g, source, target, policy, budget, options);
    Region* region = nullptr;
    if (prune) {
        region = &pruning->region_of(target);
        if (region->complete) {
            search.prune_with(*region);
        } else {
            search.expect_pruning();
        }
    }
    if (!run(search, region)) return limit();
    if (!search.found_goal()) return no_path(search.overflow());

    const std::vector<AdapterSpec>& adapters = registry.adapters();
    const std::vector<std::uint32_t> goals = search.goals_in_order();
    std::vector<std::uint32_t> path;
    std::vector<const AdapterSpec*> taken;
    auto take_path = [&](std::uint32_t goal) {
        search.path_of(goal, path);
        taken.clear();
        for (std::uint32_t index : path) taken.push_back(&adapters[index]);
    };
    if (goals.size() > 1 && policy.require_user_choice_on_ambiguity) {
        // Every equivalent path is walked and kept, not yet written: a caller that
        // drops the outcome never pays for the choices' text.
        for (std::uint32_t goal : goals) {
            if (!budget.take(work::step * search.length_of(goal))) return limit();
            take_path(goal);
            route.equivalent.add(taken);
        }
        const auto first = route.equivalent[0];
        route.adapters.emplace(first.begin(), first.end());
        return route;
    }
    take_path(goals.front());
    route.adapters.emplace(taken);
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
    auto limit = [&] {
        return PathResolution::unresolved(
            std::string(path_issue::search_limit_exceeded),
            impl_->limit_message(from_type, from_representation, to_type, to_representation), {});
    };
    PathRoute route = impl_->find(from_type, from_representation, to_type, to_representation);
    PathResolution result;
    if (route.requires_user_choice()) {
        // The choices are written out: their bytes.
        if (!impl_->budget.take(route.equivalent.choice_bytes())) return limit();
        result.issues.push_back(ambiguous_path_issue(route.equivalent));
        result.requires_user_choice = true;
        if (!keep_first_path) return result;
    } else {
        result.issues = std::move(route.issues);
        if (!result.issues.empty() && !result.search_limit_exceeded()) {
            result.issues.front().message = text::format("no adapter path from `{}/{}` to `{}/{}`", from_type,
                                                         from_representation, to_type, to_representation);
        }
    }
    if (!route.adapters) return result;

    AdapterPath chosen;
    chosen.adapters.reserve(route.adapters->size());
    const std::vector<AdapterSpec>& adapters = impl_->registry.adapters();
    for (const AdapterSpec* a : *route.adapters) {
        if (!impl_->budget.take(impl_->units_to_copy(static_cast<std::uint32_t>(a - adapters.data())))) {
            return limit();
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
