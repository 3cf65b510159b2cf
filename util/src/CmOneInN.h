// CmOneInN.h - lets one occurrence in N through, the first included: for
// trace lines that would otherwise repeat at the rate of the event they
// report.
//
// Thread safety: Pass may be called from any thread; the count is one
// process-wide atomic per gate.
#ifndef CM_ONE_IN_N_H
#define CM_ONE_IN_N_H

#include <atomic>

template <int N>
class CCmOneInN {
 public:
  // True for occurrence 1, N + 1, 2N + 1, ...
  bool Pass() {
    int n = m_nCount.fetch_add(1) + 1;
    if (n > N) {
      m_nCount.fetch_sub(N);
      n -= N;
    }
    return n == 1;
  }

 private:
  std::atomic<int> m_nCount{0};
};

#endif  // CM_ONE_IN_N_H
