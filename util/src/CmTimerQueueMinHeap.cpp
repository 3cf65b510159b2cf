// The min-heap storage.
//
// Nodes live in the shared arena (CmTimerNodeArena.h); the heap itself is
// an array of small entries - the deadline as one 64-bit
// microsecond key, a sequence number, the arena index - so sifting compares
// and moves 16 bytes without touching the nodes. Each arena node records
// its position in the heap, which makes erasing any node logarithmic.
//
// The sequence number orders equal deadlines by scheduling (or re-arming)
// order. It is compared by signed difference, so it may wrap: only nodes
// more than 2^31 schedules apart could compare the wrong way round, and
// then only among equal deadlines.
#include <vector>

#include "CmDebug.h"
#include "CmTimerNodeArena.h"
#include "CmTimerQueue.h"
#include "CmTimerQueueInternal.h"

namespace {

constexpr uint32_t kNone = 0xFFFFFFFF;
constexpr size_t kArity = 4;

int64_t KeyOf(const CCmTimeValue& aTv) { return static_cast<int64_t>(aTv.GetSec()) * 1000000 + aTv.GetUsec(); }

}  // namespace

namespace {

struct HeapNode {
  CCmTimerQueueBase::CNode value;
  uint32_t pos;  // index in the heap; kNone while popped or free
  void MarkFree() { pos = kNone; }
};

}  // namespace

struct CCmTimerMinHeapQueue::Impl : CCmTimerNodeArenaT<HeapNode> {
  struct Entry {
    int64_t key;
    uint32_t seq;
    uint32_t node;  // arena index
  };
  std::vector<Entry> nodes;  // the heap
  uint32_t nextSeq = 0;

  static bool Before(const Entry& a, const Entry& b) {
    return a.key < b.key || (a.key == b.key && static_cast<int32_t>(a.seq - b.seq) < 0);
  }

  void Place(size_t aPos, const Entry& aEntry) {
    nodes[aPos] = aEntry;
    arena[aEntry.node].pos = static_cast<uint32_t>(aPos);
  }

  void SiftUp(size_t aPos, Entry aEntry) {
    while (aPos > 0) {
      const size_t parent = (aPos - 1) / kArity;
      if (!Before(aEntry, nodes[parent])) break;
      Place(aPos, nodes[parent]);
      aPos = parent;
    }
    Place(aPos, aEntry);
  }

  void SiftDown(size_t aPos, Entry aEntry) {
    const size_t size = nodes.size();
    for (;;) {
      const size_t first = aPos * kArity + 1;
      if (first >= size) break;
      size_t best = first;
      const size_t end = first + kArity < size ? first + kArity : size;
      for (size_t c = first + 1; c < end; ++c) {
        if (Before(nodes[c], nodes[best])) best = c;
      }
      if (!Before(nodes[best], aEntry)) break;
      Place(aPos, nodes[best]);
      aPos = best;
    }
    Place(aPos, aEntry);
  }

  // Takes the entry at aPos out of the heap.
  void RemoveAt(size_t aPos) {
    const Entry last = nodes.back();
    nodes.pop_back();
    if (aPos == nodes.size()) return;
    if (aPos > 0 && Before(last, nodes[(aPos - 1) / kArity])) {
      SiftUp(aPos, last);
    } else {
      SiftDown(aPos, last);
    }
  }

  void Insert(uint32_t aNode) {
    nodes.push_back(Entry());
    SiftUp(nodes.size() - 1, Entry{KeyOf(arena[aNode].value.m_tvExpired), nextSeq++, aNode});
  }

  // 0 when the handler's node was removed, 1 when it had none.
  int Erase(ICmTimerHandler* aEh) {
    const uint32_t node = TakeIndexed(aEh);
    if (node == kNone) return 1;
    RemoveAt(arena[node].pos);
    FreeNode(node);
    return 0;
  }

  void Push(const CNode& aNode) { Insert(NodeForPush(aNode)); }

  void PopTop(CNode& aNode) {
    SettlePop();
    const uint32_t node = nodes.front().node;
    aNode = arena[node].value;
    RemoveAt(0);
    arena[node].pos = kNone;
    KeepPopped(node);
  }
};

CCmTimerMinHeapQueue::CCmTimerMinHeapQueue(ICmObserver* aObserver)
    : CCmTimerQueueBase(aObserver), m_impl(new Impl) {}

CCmTimerMinHeapQueue::~CCmTimerMinHeapQueue() { delete m_impl; }

int CCmTimerMinHeapQueue::PushNode_l(const CNode& aNode) {
  const int removed = m_impl->Erase(aNode.m_pEh) == 0 ? 1 : 0;
  m_impl->Push(aNode);
  return removed;
}

int CCmTimerMinHeapQueue::EraseNode_l(ICmTimerHandler* aEh) { return m_impl->Erase(aEh); }

int CCmTimerMinHeapQueue::RePushNode_l(const CNode& aNode) {
  m_impl->Push(aNode);
  return 0;
}

int CCmTimerMinHeapQueue::PopFirstNode_l(CNode& aNode) {
  CM_ASSERTE_RETURN(!m_impl->nodes.empty(), -1);
  m_impl->PopTop(aNode);
  return 0;
}

int CCmTimerMinHeapQueue::GetEarliestTime_l(CCmTimeValue& aEarliest) const {
  if (m_impl->nodes.empty()) return -1;
  aEarliest = m_impl->arena[m_impl->nodes.front().node].value.m_tvExpired;
  return 0;
}

size_t CCmTimerQueueInspectorForTesting::HeapSize(const CCmTimerMinHeapQueue& aQueue) { return aQueue.m_impl->nodes.size(); }
