// Helpers shared by the fuzz targets.
#ifndef ZAR_FUZZ_SUPPORT_H
#define ZAR_FUZZ_SUPPORT_H

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "CmMessageBlock.h"
#include "CmTrace.h"

// Refused inputs write trace lines; a fuzzer makes millions of them. Route
// them to a sink that drops them, so only the library's own work is measured
// and nothing reaches files.
inline void FuzzQuietTrace() {
  static const bool s_bDone = [] {
    set_util_external_trace_sink([](unsigned, const char*, unsigned) {});
    cm_set_trace_option(0x4);
    return true;
  }();
  (void)s_bDone;
}

// A broken invariant: say which and stop, so the fuzzer keeps the input.
#define FUZZ_CHECK(cond)                                                   \
  do {                                                                     \
    if (!(cond)) {                                                         \
      fprintf(stderr, "invariant broken at %s:%d: %s\n", __FILE__, __LINE__, #cond); \
      abort();                                                             \
    }                                                                      \
  } while (0)

// A chain holding aSize bytes of aData spread evenly over aBlocks blocks,
// alternately data blocks and exactly-sized caller memory, so that
// AddressSanitizer sees a read past any block. Head() is the first block;
// the object owns every block and the caller memory.
class FuzzChain {
 public:
  FuzzChain(const uint8_t* aData, size_t aSize, size_t aBlocks) {
    for (size_t b = 0; b < aBlocks; ++b) {
      const size_t from = aSize * b / aBlocks, to = aSize * (b + 1) / aBlocks;
      if (b % 2 == 0) {
        m_Blocks.emplace_back(new CCmMessageBlock(to - from));
        m_Blocks.back()->Write(aData + from, to - from);
      } else {
        m_Memory.emplace_back(new char[to - from]);
        memcpy(m_Memory.back().get(), aData + from, to - from);
        m_Blocks.emplace_back(new CCmMessageBlock(to - from, m_Memory.back().get(), 0, to - from));
      }
      if (b > 0) m_Blocks[0]->Append(m_Blocks[b].get());
    }
  }
  CCmMessageBlock& Head() { return *m_Blocks[0]; }

 private:
  std::vector<std::unique_ptr<char[]>> m_Memory;
  std::vector<std::unique_ptr<CCmMessageBlock>> m_Blocks;
};

#endif  // ZAR_FUZZ_SUPPORT_H
