#pragma once

// The structure both trees of entries share: a new image's source tree and
// an opened image's tree. Children form a list in insertion order; each node
// knows its parent and each parent its last child, so appending and finding
// a parent take constant time. Nodes live in chunks owned by a NodeStore:
// reading a tree of a hundred thousand entries costs no allocation per
// node, and a tree goes at once when its store does. A freed node is emptied
// (its names and data released) but not handed out again until the store
// is cleared: a node a caller still holds after deleting it stays an empty
// orphan outside the tree, never another entry.

#include "iso/dir_entry.h"
#include "platform/memory.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <vector>

namespace tarvelin {

// Appends node as parent's last child.
inline void AppendChild(DirNode* parent, DirNode* node)
{
    node->parent = parent;
    node->nextSibling = nullptr;
    (parent->lastChild != nullptr ? parent->lastChild->nextSibling : parent->firstChild) = node;
    parent->lastChild = node;
}

// Takes node out of parent's children; false, with nothing changed, when it
// is not one of them.
inline bool UnlinkChild(DirNode* parent, DirNode* node)
{
    DirNode* previous = nullptr;
    DirNode* child = parent->firstChild;
    while (child != nullptr && child != node) {
        previous = child;
        child = child->nextSibling;
    }
    if (child == nullptr) {
        return false;
    }
    (previous != nullptr ? previous->nextSibling : parent->firstChild) = node->nextSibling;
    if (parent->lastChild == node) {
        parent->lastChild = previous;
    }
    node->nextSibling = nullptr;
    return true;
}

// The nodes of one tree. Node is DirNode or a type derived from it.
template <class Node>
class NodeStore {
public:
    NodeStore() = default;
    ~NodeStore() { Clear(); }
    NodeStore(const NodeStore&) = delete;
    NodeStore& operator=(const NodeStore&) = delete;

    // A fresh node, or null when memory runs out.
    Node* New()
    {
        if (chunks_.empty() || chunks_.back().used == chunks_.back().capacity) {
            const std::size_t capacity = ChunkNodes(chunks_.size());
            void* block = platform::AllocateBlock(capacity * sizeof(Node));
            if (block == nullptr) {
                return nullptr;
            }
            chunks_.push_back({static_cast<Node*>(block), capacity, 0});
        }
        Chunk& last = chunks_.back();
        // Nodes are made as they are handed out: room never used is never touched.
        return new (last.nodes + last.used++) Node();
    }

    // Empties node with everything below it, without recursion: a deep tree
    // must not exhaust the stack. The node must be unlinked already. Gives
    // the number of nodes emptied.
    std::uint64_t FreeSubtree(DirNode* node)
    {
        std::uint64_t count = 0;
        pending_.assign(1, node);
        while (!pending_.empty()) {
            DirNode* current = pending_.back();
            pending_.pop_back();
            for (DirNode* child = current->firstChild; child != nullptr; child = child->nextSibling) {
                pending_.push_back(child);
            }
            *static_cast<Node*>(current) = Node{};
            ++count;
        }
        return count;
    }

    // Frees every node at once.
    void Clear()
    {
        for (Chunk& chunk : chunks_) {
            std::destroy_n(chunk.nodes, chunk.used);
            platform::FreeBlock(chunk.nodes, chunk.capacity * sizeof(Node));
        }
        chunks_.clear();
    }

private:
    struct Chunk {
        Node* nodes = nullptr;
        std::size_t capacity = 0;
        std::size_t used = 0;
    };
    // A small tree takes little room; a large one takes blocks of whole
    // large pages (platform/memory.h), growing to 16 MiB.
    static std::size_t ChunkNodes(std::size_t chunksBefore)
    {
        constexpr std::size_t kLargeBlock = std::size_t{4} << 20;
        switch (chunksBefore) {
        case 0: return 256;
        case 1: return 1024;
        default: return (kLargeBlock << std::min<std::size_t>(chunksBefore - 2, 2)) / sizeof(Node);
        }
    }
    std::vector<Chunk> chunks_;
    std::vector<DirNode*> pending_;
};

} // namespace tarvelin
