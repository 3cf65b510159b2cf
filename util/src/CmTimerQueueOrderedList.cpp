// The ordered-list storage and the on-demand queue.
//
// Nodes live in a std::list kept in deadline order. Beside it, an index from
// handler to list position makes replacing and cancelling independent of the
// list length, and a spare list recycles nodes so that the periodic
// pop-and-re-insert of CheckExpire allocates nothing. The index entry of a
// popped node is dropped only when the next operation shows it is not being
// re-inserted: a periodic re-arm re-links the very node it popped and leaves
// the index alone.
//
// Insertion rule: before the first node whose deadline is not earlier than
// the new one. While the list is in order the position is found from the
// back (new timers usually run longest), or at once at the front; after the
// clock was set back the list may be out of order (ResetExpiredTime_l keeps
// the order), and then the rule is applied literally, from the front, until
// the list has drained.
#include <iterator>
#include <list>

#include "CmDebug.h"
#include "CmPointerIndex.h"
#include "CmTimerQueue.h"

namespace {
constexpr size_t kMaxSpareNodes = 1024;
}  // namespace

struct CCmTimerQueueOrderedList::Impl {
  typedef std::list<CNode> NodeList;

  NodeList nodes;   // ascending m_tvExpired while inOrder
  NodeList spare;   // freed nodes kept for reuse; a popped node waits at its front
  CCmPointerIndexT<NodeList::iterator> index;  // handler -> its node
  bool inOrder = true;
  // The handler of the node PopFirst just moved to the spare list; its
  // index entry still points at that node.
  ICmTimerHandler* popped = nullptr;

  NodeList::iterator InsertPosition(const CCmTimeValue& aExpired) {
    if (nodes.empty() || aExpired <= nodes.front().m_tvExpired) return nodes.begin();
    if (!inOrder) {
      auto it = nodes.begin();
      while (it != nodes.end() && it->m_tvExpired < aExpired) ++it;
      return it;
    }
    auto it = nodes.end();
    while (std::prev(it)->m_tvExpired >= aExpired) --it;
    return it;
  }

  // The popped node is not coming back: forget its index entry.
  void SettlePop() {
    if (!popped) return;
    index.Erase(popped);
    popped = nullptr;
    if (spare.size() > kMaxSpareNodes) spare.pop_front();  // the popped node itself
  }

  void Insert(const CNode& aNode) {
    const NodeList::iterator pos = InsertPosition(aNode.m_tvExpired);
    if (popped == aNode.m_pEh) {
      // A re-arm: the node popped last is at the front of the spare list and
      // the index still points at it.
      popped = nullptr;
      spare.front() = aNode;
      nodes.splice(pos, spare, spare.begin());
      return;
    }
    SettlePop();
    NodeList::iterator node;
    if (!spare.empty()) {
      node = spare.begin();
      *node = aNode;
      nodes.splice(pos, spare, node);
    } else {
      node = nodes.insert(pos, aNode);
    }
    index.Insert(aNode.m_pEh, node);
  }

  void Release(NodeList::iterator aNode) {
    if (spare.size() < kMaxSpareNodes) {
      spare.splice(spare.end(), nodes, aNode);
    } else {
      nodes.erase(aNode);
    }
    if (nodes.empty()) inOrder = true;
  }

  // 0 when the handler's node was removed, 1 when it had none.
  int Erase(ICmTimerHandler* aEh) {
    SettlePop();
    NodeList::iterator* found = index.Find(aEh);
    if (!found) return 1;
    const NodeList::iterator node = *found;
    index.Erase(aEh);
    Release(node);
    return 0;
  }

  void PopFront(CNode& aNode) {
    SettlePop();
    aNode = nodes.front();
    spare.splice(spare.begin(), nodes, nodes.begin());  // kept even when spare is full
    popped = aNode.m_pEh;
    if (nodes.empty()) inOrder = true;
  }
};

CCmTimerQueueOrderedList::CCmTimerQueueOrderedList(ICmObserver* aObserver)
    : CCmTimerQueueBase(aObserver), m_impl(new Impl) {}

CCmTimerQueueOrderedList::~CCmTimerQueueOrderedList() { delete m_impl; }

int CCmTimerQueueOrderedList::PushNode_l(const CNode& aNode) {
  const int removed = m_impl->Erase(aNode.m_pEh) == 0 ? 1 : 0;
  m_impl->Insert(aNode);
  return removed;
}

int CCmTimerQueueOrderedList::EraseNode_l(ICmTimerHandler* aEh) { return m_impl->Erase(aEh); }

int CCmTimerQueueOrderedList::RePushNode_l(const CNode& aNode) {
  m_impl->Insert(aNode);
  return 0;
}

int CCmTimerQueueOrderedList::PopFirstNode_l(CNode& aNode) {
  CM_ASSERTE_RETURN(!m_impl->nodes.empty(), -1);
  m_impl->PopFront(aNode);
  return 0;
}

int CCmTimerQueueOrderedList::GetEarliestTime_l(CCmTimeValue& aEarliest) const {
  if (m_impl->nodes.empty()) return -1;
  aEarliest = m_impl->nodes.front().m_tvExpired;
  return 0;
}

void CCmTimerQueueOrderedList::ResetExpiredTime_l(const CCmTimeValue& aNow) {
  const CNode* previous = nullptr;
  m_impl->inOrder = true;
  for (CNode& node : m_impl->nodes) {
    node.m_tvExpired = aNow + node.m_tvInterval;
    if (previous && node.m_tvExpired < previous->m_tvExpired) m_impl->inOrder = false;
    previous = &node;
  }
}

// ------------------------------------------------------ CCmTimerQueueOnDemand

int CCmTimerQueueOnDemand::ScheduleTimer(ICmTimerHandler* aEh, void* aToken, const CCmTimeValue& aInterval,
                                         DWORD aCount) {
  const int rv = CCmTimerQueueBase::ScheduleTimer(aEh, aToken, aInterval, aCount);
  if (rv == ZAR_S_OK && m_pObserver) m_pObserver->OnObserve("TimerQueueOnDemand", nullptr);
  return rv;
}
