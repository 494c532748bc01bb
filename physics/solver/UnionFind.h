// Union-find over bodies numbered from 0, for the islands and the solve's groups.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

namespace Tolvane::Physics {

/// The root of body's set in a union-find forest of parents, halving the
/// path on the way.
inline std::int32_t findRoot(std::vector<std::int32_t>& parent, std::int32_t body)
{
    while (parent[body] != body) {
        parent[body] = parent[parent[body]];
        body = parent[body];
    }
    return body;
}

/// Unites the sets of bodies a and b, the lower root heading both.
inline void uniteRoots(std::vector<std::int32_t>& parent, std::int32_t a, std::int32_t b)
{
    const std::int32_t rootA = findRoot(parent, a);
    const std::int32_t rootB = findRoot(parent, b);
    if (rootA != rootB)
        parent[std::max(rootA, rootB)] = std::min(rootA, rootB);
}

} // namespace Tolvane::Physics
