// StressScale.h - how big a stress test runs. ZAR_STRESS_SCALE is the
// fraction of the full size: unset, CI's brief run (a tenth); "1" the full
// size (scripts/stress.sh). Stress tests are labelled "stress" in CTest.
#ifndef ZAR_TEST_STRESS_SCALE_H
#define ZAR_TEST_STRESS_SCALE_H

#include <cstdlib>

inline double StressScale() {
  const char* text = std::getenv("ZAR_STRESS_SCALE");
  const double scale = text ? std::strtod(text, nullptr) : 0.0;
  return scale > 0.0 ? scale : 0.1;
}

// aFull scaled, at least one.
inline long StressCount(long aFull) {
  const long n = static_cast<long>(static_cast<double>(aFull) * StressScale());
  return n > 0 ? n : 1;
}

#endif  // ZAR_TEST_STRESS_SCALE_H
