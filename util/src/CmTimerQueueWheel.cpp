// The timing-wheel storage.
//
//   bucket b:  near list  (deadline order)   a ~ a ~ a ~ a(+3000)
//              far list   (deadline order)   [f f f], front last
//
// A node's slot is its deadline in 10 ms units; its bucket is the slot
// modulo 3000. A near list holds the nodes of one slot in the usual case;
// after a late CheckExpire it may also hold a node one revolution on. It is
// kept in deadline order, equal deadlines in scheduling order, so a push
// appends at its tail unless it is due before the tail (then it walks back
// from the tail: timers of one 10 ms slot are few). A far list is kept in
// deadline order, equal deadlines newest first, as an array whose last entry
// is its front.
//
// Next node: the wheel always knows the node it fires next ("announced")
// and reports that node's deadline as the earliest time. The announced node
// is the earlier of the near and the far front of bucket(cursor) that are in
// slot `cursor` (on equal deadlines the near one); `cursor` is the smallest
// slot held (no node has a smaller one). A push into an earlier slot moves
// the cursor back at once, and a push into the cursor's slot due before the
// announced node is announced instead. Firing or erasing the announced node
// searches on from its bucket: a bucket d places further on can only hold
// slots >= cursor + d, so the search stops at the first bucket whose best
// candidate is that slot; two bitmaps of non-empty buckets skip the empty
// ones 64 at a time.
//
// Nodes live in the shared arena (CmTimerNodeArena.h), near ones linked by
// arena index, so a push allocates nothing once warm.
#include <algorithm>
#include <vector>

#include "CmDebug.h"
#include "CmTimerNodeArena.h"
#include "CmTimerQueue.h"
#include "CmTimerQueueInternal.h"

namespace {

constexpr uint32_t kNone = 0xFFFFFFFF;
constexpr int kBuckets = CCmTimerWheelQueue::m_maxBuckets;
constexpr int kBitWords = (kBuckets + 63) / 64;
// A deadline whose second lies further than this past now's second is far.
constexpr long kNearSeconds = 29;

int64_t SlotOf(const CCmTimeValue& aTime) {
  return static_cast<int64_t>(aTime.GetSec()) * 100 + aTime.GetUsec() / 10000;
}

int BucketOfSlot(int64_t aSlot) {
  const int64_t r = aSlot % kBuckets;
  return static_cast<int>(r < 0 ? r + kBuckets : r);
}

struct Bitmap {
  uint64_t words[kBitWords] = {};
  void Set(int aBit) { words[aBit >> 6] |= uint64_t(1) << (aBit & 63); }
  void Clear(int aBit) { words[aBit >> 6] &= ~(uint64_t(1) << (aBit & 63)); }
  // The first set bit at or after aFrom (in aOther too when given), or -1.
  int Next(int aFrom, const Bitmap& aOther) const {
    int w = aFrom >> 6;
    uint64_t bits = (words[w] | aOther.words[w]) & (~uint64_t(0) << (aFrom & 63));
    for (;;) {
      if (bits) return (w << 6) + __builtin_ctzll(bits);
      if (++w == kBitWords) return -1;
      bits = words[w] | aOther.words[w];
    }
  }
};

}  // namespace

int CCmTimerWheelQueue::BucketIndex(const CCmTimeValue& aTime) { return BucketOfSlot(SlotOf(aTime)); }

namespace {

struct WheelNode {
  CCmTimerQueueBase::CNode value;
  int64_t key;  // the deadline in microseconds
  int64_t slot;
  uint32_t prev, next;  // near lists only
  int32_t bucket;       // -1 while popped or free
  bool far;
  void MarkFree() { bucket = -1; }
};

}  // namespace

struct CCmTimerWheelQueue::Impl : CCmTimerNodeArenaT<WheelNode> {
  typedef WheelNode Node;
  struct List {
    uint32_t head = kNone, tail = kNone;
  };
  // A far list is an array in descending deadline order, so its front (the
  // earliest, the newest among equal deadlines) is the last entry: filing
  // one is a binary search and a short move within a few cache lines.
  struct FarEntry {
    int64_t key;  // the deadline in microseconds
    uint32_t node;
  };
  typedef std::vector<FarEntry> FarList;
  // The next node a bucket offers, with what decides its turn.
  struct Candidate {
    uint32_t node = kNone;
    int64_t key = 0;
    int64_t slot = 0;
    bool far = false;
    CCmTimeValue expired;
    // By deadline, near before far.
    bool Before(const Candidate& aOther) const {
      return aOther.node == kNone || key < aOther.key || (key == aOther.key && !far && aOther.far);
    }
  };

  List nearLists[kBuckets];
  // Not below the deadline of each near list's tail: a push at or after it
  // appends without touching the tail node first.
  int64_t nearTailKey[kBuckets];
  FarList farLists[kBuckets];
  Bitmap nearBits, farBits;
  size_t count = 0;
  int64_t cursor = 0;
  uint32_t announced = kNone;
  CCmTimeValue earliest;  // the announced node's deadline

  static int64_t KeyOf(const CCmTimeValue& aTime) {
    return static_cast<int64_t>(aTime.GetSec()) * 1000000 + aTime.GetUsec();
  }
  // The slot of a normal time value from its microseconds (both truncate).
  static int64_t SlotOfKey(int64_t aKey) { return aKey / 10000; }

  // ---- lists
  void Unlink(uint32_t aNode) {
    Node& n = arena[aNode];
    if (n.far) {
      FarList& list = farLists[n.bucket];
      const int64_t key = n.key;
      auto it = std::partition_point(list.begin(), list.end(), [key](const FarEntry& e) { return e.key > key; });
      while (it->node != aNode) ++it;
      list.erase(it);
      if (list.empty()) farBits.Clear(n.bucket);
    } else {
      List& list = nearLists[n.bucket];
      if (n.prev == kNone) list.head = n.next;
      else arena[n.prev].next = n.next;
      if (n.next == kNone) list.tail = n.prev;  // its deadline is no later: nearTailKey stays a bound
      else arena[n.next].prev = n.prev;
      if (list.head == kNone) nearBits.Clear(n.bucket);
    }
    n.bucket = -1;
    --count;
  }

  // Near: after the last node due no later (normally the tail). Far:
  // before the first node not earlier than it.
  void Link(uint32_t aNode) {
    Node& n = arena[aNode];
    ++count;
    if (n.far) {
      FarList& list = farLists[n.bucket];
      const int64_t key = n.key;
      list.insert(std::partition_point(list.begin(), list.end(), [key](const FarEntry& e) { return e.key >= key; }),
                  FarEntry{key, aNode});
      farBits.Set(n.bucket);
      return;
    }
    List& list = nearLists[n.bucket];
    uint32_t after = list.tail;
    if (after != kNone && nearTailKey[n.bucket] > n.key) {
      while (after != kNone && arena[after].key > n.key) after = arena[after].prev;
    }
    n.prev = after;
    n.next = after == kNone ? list.head : arena[after].next;
    if (n.next == kNone) {
      list.tail = aNode;
      nearTailKey[n.bucket] = n.key;
    } else {
      arena[n.next].prev = aNode;
    }
    if (after == kNone) list.head = aNode;
    else arena[after].next = aNode;
    nearBits.Set(n.bucket);
  }

  // ---- the announced node
  Candidate NearFront(int aBucket) const {
    Candidate c;
    if ((c.node = nearLists[aBucket].head) != kNone) {
      c.key = arena[c.node].key;
      c.slot = arena[c.node].slot;
      c.expired = arena[c.node].value.m_tvExpired;
    }
    return c;
  }
  Candidate FarFront(int aBucket) const {
    Candidate c;
    c.far = true;
    if (!farLists[aBucket].empty()) {
      const FarEntry& front = farLists[aBucket].back();
      c.node = front.node;
      c.key = front.key;
      c.slot = SlotOfKey(front.key);
      c.expired = CCmTimeValue(static_cast<long>(front.key / 1000000), static_cast<long>(front.key % 1000000));
    }
    return c;
  }

  void Announce(const Candidate& aNext) {
    announced = aNext.node;
    earliest = aNext.expired;
  }

  // Announces what bucket aBucket offers for the cursor's slot: the earlier
  // of its near and far fronts that are of the slot.
  void AnnounceAt(int aBucket) {
    Candidate best;
    const Candidate near = NearFront(aBucket);
    if (near.node != kNone && near.slot == cursor) best = near;
    const Candidate far = FarFront(aBucket);
    if (far.node != kNone && far.slot == cursor && far.Before(best)) best = far;
    if (best.node != kNone) Announce(best);
  }

  // Finds the announced node from the cursor on (every node's slot >= cursor).
  void Refind() {
    announced = kNone;
    if (count == 0) return;
    const int start = BucketOfSlot(cursor);
    Candidate best;
    bool wrapped = false;
    int from = start;
    for (;;) {
      const int bucket = from < kBuckets ? nearBits.Next(from, farBits) : -1;
      if (bucket == -1 || (wrapped && bucket >= start)) {
        if (wrapped) break;  // every bucket seen: the best one is first
        wrapped = true;
        from = 0;
        continue;
      }
      const Candidate near = NearFront(bucket);
      const Candidate far = FarFront(bucket);
      if (near.node != kNone && near.Before(best)) best = near;
      if (far.node != kNone && far.Before(best)) best = far;
      // Buckets further on only hold slots later than their turn.
      const int distance = wrapped ? bucket + kBuckets - start : bucket - start;
      if (best.slot <= cursor + distance) break;
      from = bucket + 1;
    }
    cursor = best.slot;
    Announce(best);
  }

  // ---- nodes
  // Files a node holding aNode.value; aNow decides near or far.
  void Place(uint32_t aNode, const CCmTimeValue& aNow) {
    Node& n = arena[aNode];
    n.key = KeyOf(n.value.m_tvExpired);
    n.slot = SlotOf(n.value.m_tvExpired);
    n.bucket = BucketOfSlot(n.slot);
    n.far = n.value.m_tvExpired.GetSec() > aNow.GetSec() + kNearSeconds;
    n.value.m_pEh->m_nWheelIndex = n.bucket;
    const bool wasEmpty = count == 0;
    Link(aNode);
    if (wasEmpty || n.slot < cursor) cursor = n.slot;
    if (n.slot == cursor) AnnounceAt(n.bucket);
  }

  void Push(const CNode& aNode, const CCmTimeValue& aNow) { Place(NodeForPush(aNode), aNow); }

  int Erase(ICmTimerHandler* aEh) {
    const uint32_t node = TakeIndexed(aEh);
    if (node == kNone) return 1;
    Unlink(node);
    FreeNode(node);
    if (node == announced) Refind();
    return 0;
  }

  void PopAnnounced(CNode& aNode) {
    SettlePop();
    const uint32_t node = announced;
    aNode = arena[node].value;
    Unlink(node);
    KeepPopped(node);
    Refind();
  }
};

CCmTimerWheelQueue::CCmTimerWheelQueue(ICmObserver* aObserver) : CCmTimerQueueBase(aObserver), m_impl(new Impl) {}

CCmTimerWheelQueue::~CCmTimerWheelQueue() { delete m_impl; }

int CCmTimerWheelQueue::PushNode_l(const CNode& aNode) {
  const int removed = m_impl->Erase(aNode.m_pEh) == 0 ? 1 : 0;
  // The engine computed the deadline as now + interval: that is the now of
  // this schedule, with no second clock read.
  m_impl->Push(aNode, aNode.m_tvExpired - aNode.m_tvInterval);
  return removed;
}

int CCmTimerWheelQueue::EraseNode_l(ICmTimerHandler* aEh) { return m_impl->Erase(aEh); }

int CCmTimerWheelQueue::RePushNode_l(const CNode& aNode) {
  m_impl->Push(aNode, CCmTimeValue::GetTimeOfDay());
  return 0;
}

int CCmTimerWheelQueue::PopFirstNode_l(CNode& aNode) {
  CM_ASSERTE_RETURN(m_impl->announced != kNone, -1);
  m_impl->PopAnnounced(aNode);
  return 0;
}

int CCmTimerWheelQueue::GetEarliestTime_l(CCmTimeValue& aEarliest) const {
  if (m_impl->announced == kNone) return -1;
  aEarliest = m_impl->earliest;
  return 0;
}

// ----------------------------------------------------------- test seam

namespace {
template <class Impl, class List>
size_t CountList(const Impl& aImpl, const List& aList) {
  size_t n = 0;
  for (uint32_t node = aList.head; node != kNone; node = aImpl.arena[node].next) ++n;
  return n;
}
}  // namespace

size_t CCmTimerQueueInspectorForTesting::WheelNearCount(const CCmTimerWheelQueue& aQueue, int aBucket) {
  return CountList(*aQueue.m_impl, aQueue.m_impl->nearLists[aBucket]);
}

size_t CCmTimerQueueInspectorForTesting::WheelFarCount(const CCmTimerWheelQueue& aQueue, int aBucket) {
  return aQueue.m_impl->farLists[aBucket].size();
}
