// The memory pool (growth steps, limit, LIFO reuse, threads) and the
// counted interface base it is built on.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "TraceCapture.h"
#include "ZarMemoryPool.h"

namespace {

TEST(ZARMemPool, GrowsInStepsOfTenUpToTheLimit) {
  TraceCapture trace(4);
  IZARMemPool* pool = CreateZARMemPool(1500, 25);
  ASSERT_TRUE(pool->Init());
  EXPECT_TRUE(pool->Init());  // already done: nothing changes
  std::vector<void*> blocks;
  std::string created;  // the block count after the 10th, 11th, 20th and 21st Alloc
  for (int i = 1; i <= 25; ++i) {
    trace.Clear();
    blocks.push_back(pool->Alloc(i % 2 ? 1500 : 1));
    ASSERT_NE(blocks.back(), nullptr) << i;
    memset(blocks.back(), i, 1500);
    const std::string line = trace.Find("ZAR_MEM_POOL Alloc, size_in_pool=");
    if (i == 10 || i == 11 || i == 20 || i == 21) created += line.substr(line.find(",cur_size="), 13);
  }
  EXPECT_EQ(created, ",cur_size=10,,cur_size=20,,cur_size=20,,cur_size=25,");
  EXPECT_EQ(std::set<void*>(blocks.begin(), blocks.end()).size(), 25u);
  trace.Clear();
  EXPECT_EQ(pool->Alloc(1501), nullptr);  // too big: refused before anything else
  EXPECT_EQ(trace.Lines().size(), 0u);
  EXPECT_EQ(pool->Alloc(10), nullptr);
  EXPECT_TRUE(trace.Contains("ZAR_MEM_POOL fail expand, cur_size=25,max_size=25", 3));

  pool->Free(blocks[3]);
  pool->Free(blocks[7]);
  EXPECT_TRUE(trace.Contains("ZAR_MEM_POOL Free, size_in_pool=2,cur_size=25,pData=0x", 4));
  EXPECT_EQ(pool->Alloc(1), blocks[7]);  // last in, first out
  EXPECT_EQ(pool->Alloc(1), blocks[3]);
  for (void* b : blocks) pool->Free(b);
  EXPECT_EQ(pool->Release(), 0u);  // frees every block (the sanitizer build checks)
}

TEST(ZARMemPool, LifecycleAndRefusals) {
  TraceCapture trace;
  IZARMemPool* pool = CreateZARMemPool(64, 3);
  EXPECT_EQ(pool->Alloc(8), nullptr);
  EXPECT_FALSE(pool->Uninit());
  ASSERT_TRUE(pool->Init());
  pool->Free(nullptr);
  EXPECT_TRUE(trace.Contains("Assert failed: pPointer!=nullptr", 0));
  void* kept = pool->Alloc(8);
  EXPECT_TRUE(pool->Uninit());
  EXPECT_TRUE(pool->Init());  // the state stays; the pool grows again from 0
  void* again[3] = {pool->Alloc(64), pool->Alloc(64), pool->Alloc(64)};
  EXPECT_EQ(pool->Alloc(64), nullptr);
  pool->Free(kept);  // a block from before Uninit is taken back
  EXPECT_EQ(pool->Alloc(1), kept);
  for (void* b : again) pool->Free(b);
  pool->Free(kept);
  pool->Release();

  IZARMemPool* empty = CreateZARMemPool(0, 5);
  EXPECT_TRUE(empty->Init());
  EXPECT_TRUE(trace.Contains("Assert failed: m_dwBlockSize != 0 && initialCount != 0", 0));
  empty->Release();
}

TEST(ZARMemPool, ReferenceCountingAndQueryInterface) {
  IZARMemPool* pool = CreateZARMemPool(16, 10);
  EXPECT_EQ(pool->AddRef(), 2u);
  void* out = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(pool->QueryInterface(zar::IID_IZarUnknown, nullptr), ZAR_E_POINTER);
  zar::_tagUUID other = zar::IID_IZarUnknown;
  other.Data4[7] ^= 1;
  EXPECT_EQ(pool->QueryInterface(other, &out), ZAR_E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
  ASSERT_EQ(pool->QueryInterface(zar::IID_IZarUnknown, &out), ZAR_S_OK);
  EXPECT_EQ(out, static_cast<zar::CZarUnknownImpl*>(static_cast<ZARMemPool*>(pool)));
  ASSERT_EQ(pool->QueryInterface(IID_IZARMemPool, &out), ZAR_S_OK);
  EXPECT_EQ(out, pool);
  EXPECT_EQ(pool->GetReference(), 4u);
  for (uint32_t left = 3; left != ~0u; --left) EXPECT_EQ(pool->Release(), left);
}

TEST(ZARMemPool, ConcurrentAllocAndFreeHandOutEachBlockOnce) {
  IZARMemPool* pool = CreateZARMemPool(256, 40);
  ASSERT_TRUE(pool->Init());
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 2000; ++round) {
        unsigned char* held[8];  // 4 threads x 8 <= 40: never exhausted
        for (auto& b : held) {
          b = static_cast<unsigned char*>(pool->Alloc(256));
          if (b) memset(b, t, 256);
        }
        for (auto* b : held) {
          // A block handed to two owners at once would have been overwritten.
          if (!b || b[0] != t || b[255] != t) ++failures;
          if (b) pool->Free(b);
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
  pool->Release();
}

// Free blocks may sit with the thread that freed them; another thread must
// still find them before the pool grows or reports the limit, and the counts
// in the lines are those of the whole pool.
TEST(ZARMemPool, ThreadsSharingAPoolKeepTheLimitAndTheCounts) {
  TraceCapture trace(4);
  IZARMemPool* pool = CreateZARMemPool(64, 25);
  ASSERT_TRUE(pool->Init());
  std::thread first([&] {
    void* blocks[10];
    for (auto& b : blocks) b = pool->Alloc(64);
    for (void* b : blocks) pool->Free(b);
  });
  first.join();
  EXPECT_TRUE(trace.Contains("ZAR_MEM_POOL Free, size_in_pool=10,cur_size=10,", 4));

  std::vector<void*> held;
  std::string lines;  // cur_size after the 10th and the 11th Alloc of the second thread
  std::thread second([&] {
    for (int i = 1; i <= 26; ++i) {
      trace.Clear();
      void* b = pool->Alloc(64);
      if (!b) break;
      memset(b, i, 64);
      held.push_back(b);
      if (i == 10 || i == 11) lines += trace.Find("ZAR_MEM_POOL Alloc, size_in_pool=");
    }
  });
  second.join();
  // The ten blocks the first thread freed are used before the pool grows.
  EXPECT_NE(lines.find("size_in_pool=0,cur_size=10,"), std::string::npos) << lines;
  EXPECT_NE(lines.find("size_in_pool=9,cur_size=20,"), std::string::npos) << lines;
  EXPECT_EQ(held.size(), 25u);
  EXPECT_EQ(std::set<void*>(held.begin(), held.end()).size(), 25u);
  EXPECT_TRUE(trace.Contains("ZAR_MEM_POOL fail expand, cur_size=25,max_size=25", 3));

  // Freed on one thread, all 25 can be taken again on another, and no more.
  std::thread third([&] {
    for (void* b : held) pool->Free(b);
  });
  third.join();
  EXPECT_TRUE(trace.Contains("ZAR_MEM_POOL Free, size_in_pool=25,cur_size=25,", 4));
  std::set<void*> again;
  for (int i = 0; i < 25; ++i) again.insert(pool->Alloc(1));
  EXPECT_EQ(again, std::set<void*>(held.begin(), held.end()));
  EXPECT_EQ(pool->Alloc(1), nullptr);
  for (void* b : again) pool->Free(b);
  pool->Release();
}

// A producer allocates, a consumer frees: the blocks pile up on the
// consumer's side, and the producer must get them back rather than fail
// while fewer than the limit are out.
TEST(ZARMemPool, ProducerGetsBackWhatTheConsumerFrees) {
  constexpr unsigned kLimit = 20;
  constexpr int kPackets = 20000;
  IZARMemPool* pool = CreateZARMemPool(128, kLimit);
  ASSERT_TRUE(pool->Init());
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<unsigned char*> queue;
  unsigned outstanding = 0;  // allocated and not yet freed; guarded by mutex
  std::atomic<int> failures{0};
  std::thread consumer([&] {
    for (int i = 0; i < kPackets; ++i) {
      std::unique_lock<std::mutex> lock(mutex);
      if (!changed.wait_for(lock, std::chrono::seconds(30), [&] { return !queue.empty(); })) {
        ++failures;
        return;
      }
      unsigned char* b = queue.front();
      queue.pop_front();
      lock.unlock();
      if (b[0] != static_cast<unsigned char>(i) || b[127] != static_cast<unsigned char>(i)) ++failures;
      pool->Free(b);
      lock.lock();
      --outstanding;
      changed.notify_all();
    }
  });
  // Its own thread too, so that it is numbered right after the consumer's.
  std::thread producer([&] {
    for (int i = 0; i < kPackets && failures.load() == 0; ++i) {
      {
        std::unique_lock<std::mutex> lock(mutex);
        if (!changed.wait_for(lock, std::chrono::seconds(30), [&] { return outstanding < kLimit; })) {
          ++failures;
          break;
        }
        ++outstanding;
      }
      auto* b = static_cast<unsigned char*>(pool->Alloc(128));
      if (!b) {
        ++failures;
        break;
      }
      memset(b, i, 128);
      std::lock_guard<std::mutex> lock(mutex);
      queue.push_back(b);
      changed.notify_all();
    }
  });
  producer.join();
  consumer.join();
  EXPECT_EQ(failures.load(), 0);
  pool->Release();
}

}  // namespace
