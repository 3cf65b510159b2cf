// The demo is a series of sections, one per subsystem, each in its own file.
#ifndef ZAR_DEMO_H
#define ZAR_DEMO_H

#include <cstdio>

inline void DemoTitle(const char* aTitle) { printf("\n=== %s ===\n", aTitle); }

// Each returns 0 when everything it showed behaved as expected.
int DemoCore();
int DemoMeasure();
int DemoConfig();
int DemoUrls();
int DemoBuffers();
int DemoThreads();
int DemoTimers();

#endif  // ZAR_DEMO_H
