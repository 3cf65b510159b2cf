// CmTimerNodeArena.h - the node store of the min-heap and the wheel.
//
// Nodes live in an arena (a vector with a free list) and never move, so the
// storages link and index them by arena index; a hash index finds a
// handler's node. A popped node keeps its slot and its index entry until
// the next operation shows whether it is being re-armed, so a periodic
// timer's pop and re-push cost no index work.
//
// Node is the storage's own node: a CNode `value`, default-constructible,
// with MarkFree() clearing whatever says where the node is filed.
//
// Thread safety: none; the owning queue serialises every call.
#ifndef CM_TIMER_NODE_ARENA_H
#define CM_TIMER_NODE_ARENA_H

#include <cstdint>
#include <vector>

#include "CmPointerIndex.h"
#include "CmTimerQueue.h"

template <class Node>
struct CCmTimerNodeArenaT {
  static constexpr uint32_t kNoNode = 0xFFFFFFFF;
  typedef CCmTimerQueueBase::CNode CNode;

  std::vector<Node> arena;
  std::vector<uint32_t> freeNodes;
  CCmPointerIndexT<uint32_t> index;   // handler -> arena index
  ICmTimerHandler* popped = nullptr;  // its node waits in the arena for a re-push
  uint32_t poppedNode = kNoNode;

  void FreeNode(uint32_t aNode) {
    arena[aNode].MarkFree();
    freeNodes.push_back(aNode);
  }

  // The popped node is not coming back.
  void SettlePop() {
    if (!popped) return;
    index.Erase(popped);
    FreeNode(poppedNode);
    popped = nullptr;
    poppedNode = kNoNode;
  }

  // The node that a push of aNode files, holding aNode: the popped one when
  // the push re-arms it (its index entry is still in place), else a new,
  // indexed one.
  uint32_t NodeForPush(const CNode& aNode) {
    uint32_t node;
    if (popped == aNode.m_pEh) {
      node = poppedNode;
      popped = nullptr;
      poppedNode = kNoNode;
    } else {
      SettlePop();
      if (!freeNodes.empty()) {
        node = freeNodes.back();
        freeNodes.pop_back();
      } else {
        node = static_cast<uint32_t>(arena.size());
        arena.push_back(Node());
      }
      index.Insert(aNode.m_pEh, node);
    }
    arena[node].value = aNode;
    return node;
  }

  // Takes aEh's node out of the index: the caller unfiles and frees it.
  // kNoNode when the handler has none.
  uint32_t TakeIndexed(ICmTimerHandler* aEh) {
    SettlePop();
    uint32_t* found = index.Find(aEh);
    if (!found) return kNoNode;
    const uint32_t node = *found;
    index.Erase(aEh);
    return node;
  }

  // aNode, already unfiled, was popped: it waits for a re-push.
  void KeepPopped(uint32_t aNode) {
    popped = arena[aNode].value.m_pEh;
    poppedNode = aNode;
  }
};

#endif  // CM_TIMER_NODE_ARENA_H
