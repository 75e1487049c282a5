#pragma once
// A KD-tree for nearest-point search over points of equal dimension.
//
// The storage keeps its own copy of the points and a permutation `order` of their
// numbers; every tree node owns one contiguous range [first, last) of `order`.
// Nodes split at the median of the coordinate depth % dimension; points below the
// split value go left. Leaves hold one point, or every point of a range that no
// split separates (equal coordinates). The build reads the coordinates from one
// contiguous copy, `packed`; the search reads a flattened copy of the finished tree.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <numeric>
#include <stdexcept>
#include <utility>
#include <vector>

namespace orvex {

template <class T>
struct KDPoint {
    std::vector<T> coordinates;
};

template <class T>
class KDPointStorage {
public:
    // Keeps its own copy of the points (taken over from an rvalue); throws
    // std::domain_error for dimension 0, no points, or a point with another
    // number of coordinates. The points are not to be changed afterwards.
    KDPointStorage(std::vector<KDPoint<T>> initialPoints, std::size_t dimension)
        : dimension(dimension), points(std::move(initialPoints)), order(points.size()) {
        if (dimension == 0)
            throw std::domain_error("points dimension should be > 0");
        if (points.empty())
            throw std::domain_error("point storage must have at least one point");
        packed.reserve(points.size() * dimension);
        for (const KDPoint<T>& point : points) {
            if (point.coordinates.size() != dimension)
                throw std::domain_error("point storage has different dimesion than some points");
            packed.insert(packed.end(), point.coordinates.begin(), point.coordinates.end());
        }
        std::iota(order.begin(), order.end(), std::size_t{0});
    }
    virtual ~KDPointStorage() = default;

    // The coordinate compared at a node of the given depth.
    virtual std::size_t findSplittingPlaneCoordinateI(std::size_t /*first*/, std::size_t /*last*/,
                                                      std::size_t depth) const {
        return depth % dimension;
    }

    // The median of coordinate `axis` over order[first, last): partially sorts the
    // range so that its middle entry (first + last) / 2 is in sorted place.
    virtual T findPivot(std::size_t first, std::size_t last, std::size_t axis) {
        const std::size_t middle = (first + last) / 2;
        if (first < last && middle < last) {
            if (axis >= dimension || last > order.size())
                throw std::out_of_range("pivot range outside the storage");
            std::nth_element(order.begin() + static_cast<std::ptrdiff_t>(first),
                             order.begin() + static_cast<std::ptrdiff_t>(middle),
                             order.begin() + static_cast<std::ptrdiff_t>(last), [&](std::size_t a, std::size_t b) {
                                 return coordinate(a, axis) < coordinate(b, axis);
                             });
        }
        return points.at(order.at(middle)).coordinates.at(axis);
    }

    // Coordinate `axis` of point `point`, both in range.
    T coordinate(std::size_t point, std::size_t axis) const { return packed[point * dimension + axis]; }
    const T* coordinatesOf(std::size_t point) const { return packed.data() + point * dimension; }

    std::size_t dimension;
    std::vector<KDPoint<T>> points;
    std::vector<std::size_t> order;
    std::vector<T> packed; // the coordinates of every point, point after point
};

struct IKDTreeNode {
    virtual ~IKDTreeNode() = default;
};

// The points order[first, last).
struct KDTreeLeafNode : IKDTreeNode {
    KDTreeLeafNode(std::size_t first, std::size_t last) : first(first), last(last) {}
    std::size_t first;
    std::size_t last;
};

// Points whose coordinate `axis` is below `splitValue` are in `left`, the rest in `right`.
template <class T>
struct KDTreeIntermediateNode : IKDTreeNode {
    std::size_t axis = 0;
    T splitValue{};
    std::unique_ptr<IKDTreeNode> left;
    std::unique_ptr<IKDTreeNode> right; // destroyed before `left`
};

// The nodes of a built tree flattened in depth-first order (a split's left child
// follows it), with the coordinates of the points in `order` position order: what
// the search reads instead of chasing node pointers across memory.
template <class T>
struct KDSearchIndex {
    static constexpr std::uint32_t kLeaf = std::numeric_limits<std::uint32_t>::max();
    struct Node {
        T splitValue{};
        std::uint32_t axis = kLeaf; // kLeaf for a leaf
        std::uint32_t first = 0;    // a leaf's order range [first, last); a split's right child
        std::uint32_t last = 0;
    };

    KDSearchIndex() = default;
    // Throws std::length_error for more points than 32-bit positions can count.
    KDSearchIndex(const IKDTreeNode& root, const KDPointStorage<T>& storage) {
        if (storage.order.size() >= kLeaf)
            throw std::length_error("too many points for a search index");
        coordinates.reserve(storage.order.size() * storage.dimension);
        for (std::size_t point : storage.order)
            coordinates.insert(coordinates.end(), storage.coordinatesOf(point),
                               storage.coordinatesOf(point) + storage.dimension);
        // Depth first, left before right; a split learns its right child's place when it comes.
        std::vector<std::pair<const IKDTreeNode*, std::size_t>> pending{{&root, kLeaf}};
        while (!pending.empty()) {
            const auto [node, parent] = pending.back();
            pending.pop_back();
            if (parent != kLeaf)
                nodes[parent].first = static_cast<std::uint32_t>(nodes.size());
            Node flat;
            if (const auto* split = dynamic_cast<const KDTreeIntermediateNode<T>*>(node)) {
                flat.splitValue = split->splitValue;
                flat.axis = static_cast<std::uint32_t>(split->axis);
                pending.emplace_back(split->right.get(), nodes.size());
                pending.emplace_back(split->left.get(), kLeaf);
            } else {
                const auto& leaf = static_cast<const KDTreeLeafNode&>(*node);
                flat.first = static_cast<std::uint32_t>(leaf.first);
                flat.last = static_cast<std::uint32_t>(leaf.last);
            }
            nodes.push_back(flat);
        }
    }

    std::vector<Node> nodes;
    std::vector<T> coordinates; // point at order[k] from coordinates[k * dimension]
};

template <class T>
class KDTree {
public:
    // Takes ownership of the storage and builds the whole tree; throws
    // std::length_error for an empty storage.
    explicit KDTree(KDPointStorage<T>* storage) : storage(storage) {
        const std::size_t count = storage->points.size();
        root = count == 1 ? std::make_unique<KDTreeLeafNode>(0, 1) : buildTree(0, count, 0);
        searchIndex = KDSearchIndex<T>(*root, *storage);
    }

    std::size_t maxDepth = 1; // greatest depth + 1 reached by the build
    std::size_t leafSize = 1;
    std::unique_ptr<KDPointStorage<T>> storage;
    std::unique_ptr<IKDTreeNode> root; // destroyed before the storage
    // The nodes and points as the search reads them; the tree is not changed after the build.
    KDSearchIndex<T> searchIndex;

private:
    std::unique_ptr<IKDTreeNode> buildTree(std::size_t first, std::size_t last, std::size_t depth) {
        maxDepth = std::max(maxDepth, depth + 1);
        if (first >= last)
            throw std::length_error("left index must always be bigger than the right one");
        if (last - first <= leafSize)
            return std::make_unique<KDTreeLeafNode>(first, last);
        const std::size_t axis = storage->findSplittingPlaneCoordinateI(first, last, depth);
        const T pivot = storage->findPivot(first, last, axis);
        const std::size_t split = partitionBelow(first, last, axis, pivot);
        if (split == first || split == last) // no split separates these points
            return std::make_unique<KDTreeLeafNode>(first, last);
        auto node = std::make_unique<KDTreeIntermediateNode<T>>();
        node->axis = axis;
        node->splitValue = pivot;
        node->left = buildTree(first, split, depth + 1);
        node->right = buildTree(split, last, depth + 1);
        return node;
    }

    // Moves the points of order[first, last) with coordinate `axis` below `pivot` to
    // the front; returns the first position of the rest.
    std::size_t partitionBelow(std::size_t first, std::size_t last, std::size_t axis, T pivot) {
        auto below = [&](std::size_t point) { return storage->coordinate(point, axis) < pivot; };
        std::size_t front = first;
        std::size_t back = last;
        for (;;) {
            while (front < back && below(storage->order[front]))
                ++front;
            while (front < back && !below(storage->order[back - 1]))
                --back;
            if (front >= back)
                return front;
            std::swap(storage->order[front], storage->order[back - 1]);
        }
    }
};

namespace detail {

// Lowers `best` (squared distance) and `bestPoint` by the points of a leaf.
template <class T>
void scanLeaf(const KDTree<T>& tree, const typename KDSearchIndex<T>::Node& leaf, const T* query, T& best,
              std::size_t& bestPoint) {
    const std::size_t dimension = tree.storage->dimension;
    for (std::size_t k = leaf.first; k < leaf.last; ++k) {
        const T* coordinates = tree.searchIndex.coordinates.data() + k * dimension;
        T distance = 0;
        for (std::size_t i = 0; i < dimension; ++i)
            distance += (coordinates[i] - query[i]) * (coordinates[i] - query[i]);
        if (distance < best) {
            best = distance;
            bestPoint = tree.storage->order[k];
        }
    }
}

} // namespace detail

// Writes the number of the point nearest to `query` (the first found on ties).
// Throws std::domain_error for an empty tree, std::length_error for a query of
// another dimension, std::out_of_range when no point is found.
template <class T>
void findNearest(const KDTree<T>& tree, const std::vector<T>& query, std::size_t& nearest) {
    using Index = KDSearchIndex<T>;
    if (!tree.root || !tree.storage || tree.storage->points.empty() || tree.searchIndex.nodes.empty())
        throw std::domain_error("tree or points storage is invalid");
    const std::vector<typename Index::Node>& nodes = tree.searchIndex.nodes;
    T best = std::numeric_limits<T>::max();
    std::size_t bestPoint = std::numeric_limits<std::size_t>::max();

    // Descend to the query's leaf for a first bound.
    std::size_t node = 0;
    while (nodes[node].axis != Index::kLeaf) {
        if (nodes[node].axis >= query.size())
            throw std::out_of_range("query has fewer coordinates than the split axis");
        node = nodes[node].splitValue > query[nodes[node].axis] ? node + 1 : nodes[node].first;
    }
    if (query.size() != tree.storage->dimension)
        throw std::length_error("size of points are not the same");
    detail::scanLeaf(tree, nodes[node], query.data(), best, bestPoint);

    // Visit every subtree whose splitting plane lies within the bound, the right one first.
    thread_local std::vector<std::size_t> stack; // kept between searches: no allocation per search
    stack.assign(1, 0);
    while (!stack.empty()) {
        const typename Index::Node& visited = nodes[stack.back()];
        const std::size_t left = stack.back() + 1;
        stack.pop_back();
        if (visited.axis == Index::kLeaf) {
            detail::scanLeaf(tree, visited, query.data(), best, bestPoint);
            continue;
        }
        const T offset = query[visited.axis] - visited.splitValue;
        if (std::numeric_limits<T>::epsilon() + best > offset * offset) {
            stack.push_back(left);
            stack.push_back(visited.first);
        } else {
            stack.push_back(query[visited.axis] < visited.splitValue ? left : visited.first);
        }
    }
    if (bestPoint >= tree.storage->points.size())
        throw std::out_of_range("no nearest point found");
    nearest = bestPoint;
}

} // namespace orvex
