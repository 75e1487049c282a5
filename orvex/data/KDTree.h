#pragma once
// A KD-tree for nearest-point search over points of equal dimension.
//
// The storage keeps its own copy of the points and a permutation `order` of their
// numbers; every tree node owns one contiguous range [first, last) of `order`.
// Nodes split at the median of the coordinate depth % dimension; points below the
// split value go left. Leaves hold one point, or every point of a range that no
// split separates (equal coordinates).

#include <algorithm>
#include <cstddef>
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
    // number of coordinates.
    KDPointStorage(std::vector<KDPoint<T>> initialPoints, std::size_t dimension)
        : dimension(dimension), points(std::move(initialPoints)), order(points.size()) {
        if (dimension == 0)
            throw std::domain_error("points dimension should be > 0");
        if (points.empty())
            throw std::domain_error("point storage must have at least one point");
        for (const KDPoint<T>& point : points)
            if (point.coordinates.size() != dimension)
                throw std::domain_error("point storage has different dimesion than some points");
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
            std::nth_element(order.begin() + static_cast<std::ptrdiff_t>(first),
                             order.begin() + static_cast<std::ptrdiff_t>(middle),
                             order.begin() + static_cast<std::ptrdiff_t>(last), [&](std::size_t a, std::size_t b) {
                                 return points.at(a).coordinates.at(axis) < points.at(b).coordinates.at(axis);
                             });
        }
        return points.at(order.at(middle)).coordinates.at(axis);
    }

    std::size_t dimension;
    std::vector<KDPoint<T>> points;
    std::vector<std::size_t> order;
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

template <class T>
class KDTree {
public:
    // Takes ownership of the storage and builds the whole tree; throws
    // std::length_error for an empty storage.
    explicit KDTree(KDPointStorage<T>* storage) : storage(storage) {
        const std::size_t count = storage->points.size();
        root = count == 1 ? std::make_unique<KDTreeLeafNode>(0, 1) : buildTree(0, count, 0);
    }

    std::size_t maxDepth = 1; // greatest depth + 1 reached by the build
    std::size_t leafSize = 1;
    std::unique_ptr<KDPointStorage<T>> storage;
    std::unique_ptr<IKDTreeNode> root; // destroyed before the storage

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
        auto below = [&](std::size_t point) { return storage->points.at(point).coordinates.at(axis) < pivot; };
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
void scanLeaf(const KDPointStorage<T>& storage, const KDTreeLeafNode& leaf, const std::vector<T>& query, T& best,
              std::size_t& bestPoint) {
    for (std::size_t k = leaf.first; k < leaf.last; ++k) {
        const std::size_t point = storage.order.at(k);
        const std::vector<T>& coordinates = storage.points.at(point).coordinates;
        if (coordinates.size() != query.size())
            throw std::length_error("size of points are not the same");
        T distance = 0;
        for (std::size_t i = 0; i < query.size(); ++i)
            distance += (coordinates[i] - query[i]) * (coordinates[i] - query[i]);
        if (distance < best) {
            best = distance;
            bestPoint = point;
        }
    }
}

} // namespace detail

// Writes the number of the point nearest to `query` (the first found on ties).
// Throws std::domain_error for an empty tree, std::length_error for a query of
// another dimension, std::out_of_range when no point is found.
template <class T>
void findNearest(const KDTree<T>& tree, const std::vector<T>& query, std::size_t& nearest) {
    if (!tree.root || !tree.storage || tree.storage->points.empty())
        throw std::domain_error("tree or points storage is invalid");
    const KDPointStorage<T>& storage = *tree.storage;
    T best = std::numeric_limits<T>::max();
    std::size_t bestPoint = std::numeric_limits<std::size_t>::max();

    // Descend to the query's leaf for a first bound.
    const IKDTreeNode* node = tree.root.get();
    while (auto split = dynamic_cast<const KDTreeIntermediateNode<T>*>(node))
        node = split->splitValue > query.at(split->axis) ? split->left.get() : split->right.get();
    detail::scanLeaf(storage, static_cast<const KDTreeLeafNode&>(*node), query, best, bestPoint);

    // Visit every subtree whose splitting plane lies within the bound.
    std::vector<const IKDTreeNode*> stack{tree.root.get()};
    while (!stack.empty()) {
        node = stack.back();
        stack.pop_back();
        if (auto split = dynamic_cast<const KDTreeIntermediateNode<T>*>(node)) {
            const T offset = query.at(split->axis) - split->splitValue;
            if (std::numeric_limits<T>::epsilon() + best > offset * offset) {
                stack.push_back(split->left.get());
                stack.push_back(split->right.get());
            } else {
                stack.push_back(query.at(split->axis) < split->splitValue ? split->left.get() : split->right.get());
            }
        } else {
            detail::scanLeaf(storage, static_cast<const KDTreeLeafNode&>(*node), query, best, bestPoint);
        }
    }
    if (bestPoint >= storage.points.size())
        throw std::out_of_range("no nearest point found");
    nearest = bestPoint;
}

} // namespace orvex
