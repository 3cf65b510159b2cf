// CmPointerIndex.h - a small hash map from object addresses to values, for
// storages that must find "the node of this handler" without a walk.
//
// Open addressing with linear probing and backward-shift deletion (no
// tombstones), Fibonacci hashing of the address, grown at half load. It
// allocates only when it grows, never per insertion, which is what the timer
// storages need on their hot path. Keys are never null.
//
// Thread safety: none; it belongs to its storage's thread.
#ifndef CM_POINTER_INDEX_H
#define CM_POINTER_INDEX_H

#include <cstddef>
#include <cstdint>
#include <vector>

template <class Value>
class CCmPointerIndexT {
 public:
  CCmPointerIndexT() { Rehash(16); }

  size_t Size() const { return m_nCount; }

  Value* Find(const void* aKey) {
    for (size_t i = Home(aKey);; i = (i + 1) & m_nMask) {
      Slot& slot = m_Slots[i];
      if (slot.key == aKey) return &slot.value;
      if (!slot.key) return nullptr;
    }
  }

  // aKey must be absent.
  void Insert(const void* aKey, const Value& aValue) {
    if ((m_nCount + 1) * 2 > m_Slots.size()) Rehash(m_Slots.size() * 2);
    Place(aKey, aValue);
    ++m_nCount;
  }

  bool Erase(const void* aKey) {
    size_t hole = Home(aKey);
    while (m_Slots[hole].key != aKey) {
      if (!m_Slots[hole].key) return false;
      hole = (hole + 1) & m_nMask;
    }
    // Shift back every following entry that may move into the hole, so that
    // probes never stop early at it.
    for (size_t i = (hole + 1) & m_nMask; m_Slots[i].key; i = (i + 1) & m_nMask) {
      const size_t home = Home(m_Slots[i].key);
      if (((i - home) & m_nMask) >= ((i - hole) & m_nMask)) {
        m_Slots[hole] = m_Slots[i];
        hole = i;
      }
    }
    m_Slots[hole] = Slot();
    --m_nCount;
    return true;
  }

  void Clear() {
    m_Slots.assign(m_Slots.size(), Slot());
    m_nCount = 0;
  }

 private:
  struct Slot {
    const void* key = nullptr;
    Value value = Value();
  };

  size_t Home(const void* aKey) const {
    return static_cast<size_t>((reinterpret_cast<uintptr_t>(aKey) * UINT64_C(0x9E3779B97F4A7C15)) >> m_nShift);
  }

  void Place(const void* aKey, const Value& aValue) {
    size_t i = Home(aKey);
    while (m_Slots[i].key) i = (i + 1) & m_nMask;
    m_Slots[i].key = aKey;
    m_Slots[i].value = aValue;
  }

  void Rehash(size_t aSize) {
    std::vector<Slot> old;
    old.swap(m_Slots);
    m_Slots.assign(aSize, Slot());
    m_nMask = aSize - 1;
    m_nShift = 64;
    for (size_t s = aSize; s > 1; s >>= 1) --m_nShift;
    for (const Slot& slot : old) {
      if (slot.key) Place(slot.key, slot.value);
    }
  }

  std::vector<Slot> m_Slots;  // size is a power of two
  size_t m_nMask = 0;
  unsigned m_nShift = 64;
  size_t m_nCount = 0;
};

#endif  // CM_POINTER_INDEX_H
