// Message block chains against a plain model. The input is a program: each
// step names an operation (new block, write, read, peek, update, advance the
// read or write positions, duplicate, disjoint, append, combine, reclaim,
// rewind, destroy) on one of four chains, with its sizes taken from the
// following bytes. The model keeps every block as offsets into a byte
// string (shared by the blocks that share storage) and follows the chain
// rules as the interface states them; after every step each chain must
// match it block by block (readable bytes, length, space, ownership bits,
// which blocks share storage) and flatten to the model's byte string.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "FuzzSupport.h"

namespace {

constexpr size_t kSlots = 4;
constexpr size_t kMaxOwnBlocks = 24;
constexpr size_t kMaxSteps = 96;
// Duplicating and appending a chain to itself doubles it; past this length
// they are skipped, so an input cannot grow a chain of millions of blocks.
constexpr size_t kMaxChain = 64;

// The operation's parameters, read from the input; zeros once it ends.
class Program {
 public:
  Program(const uint8_t* aData, size_t aSize) : m_pData(aData), m_nSize(aSize) {}
  bool Done() const { return m_nPos >= m_nSize; }
  uint8_t Byte() { return m_nPos < m_nSize ? m_pData[m_nPos++] : 0; }

 private:
  const uint8_t* m_pData;
  size_t m_nSize;
  size_t m_nPos = 0;
};

struct Block {
  std::shared_ptr<std::string> store;  // shared by blocks sharing storage
  size_t begin = 0, read = 0, write = 0, end = 0;
  bool external = false;
  bool duplicated = false;

  size_t Length() const { return write - read; }
  size_t Space() const { return end - write; }
};

using Chain = std::vector<Block>;

std::string Readable(const Chain& aChain) {
  std::string out;
  for (const Block& b : aChain) out.append(*b.store, b.read, b.Length());
  return out;
}

size_t ChainLength(const Chain& aChain) {
  size_t n = 0;
  for (const Block& b : aChain) n += b.Length();
  return n;
}

// A block over caller memory is copied, region and all; any other shares.
Block Duplicate(const Block& aBlock) {
  Block dup = aBlock;
  if (aBlock.external) {
    dup.store = std::make_shared<std::string>(aBlock.store->substr(aBlock.begin, aBlock.end - aBlock.begin));
    dup.read -= aBlock.begin;
    dup.write -= aBlock.begin;
    dup.end -= aBlock.begin;
    dup.begin = 0;
  }
  dup.external = false;
  dup.duplicated = true;
  return dup;
}

struct Slot {
  CCmMessageBlock* head = nullptr;
  Chain model;
};

class Session {
 public:
  explicit Session(const uint8_t* aData, size_t aSize) : m_Program(aData, aSize) {}

  ~Session() {
    for (Slot& s : m_Slots) Drop(s);
  }

  void Run() {
    for (size_t step = 0; step < kMaxSteps && !m_Program.Done(); ++step) {
      const uint8_t op = m_Program.Byte();
      Slot& slot = m_Slots[(op >> 4) % kSlots];
      switch (op % 14) {
        case 0: NewBlock(slot); break;
        case 1: Write(slot); break;
        case 2: Read(slot, true); break;
        case 3: Read(slot, false); break;
        case 4: Peek(slot); break;
        case 5: Update(slot); break;
        case 6: AdvanceWrite(slot); break;
        case 7: Duplicate(slot); break;
        case 8: Disjoint(slot); break;
        case 9: Append(slot); break;
        case 10: Combine(slot); break;
        case 11: Reclaim(slot); break;
        case 12: Rewind(slot); break;
        default: Drop(slot); break;
      }
      CheckAll();
    }
  }

 private:
  // The other slot a result goes to; it is emptied first.
  Slot& Target(const Slot& aFrom) {
    const size_t from = static_cast<size_t>(&aFrom - m_Slots);
    Slot& to = m_Slots[(from + 1 + m_Program.Byte() % (kSlots - 1)) % kSlots];
    Drop(to);
    return to;
  }

  // Bytes nobody wrote before, so a byte in the wrong place shows.
  std::vector<unsigned char> Fresh(size_t aCount) {
    std::vector<unsigned char> bytes(aCount);
    for (unsigned char& c : bytes) c = static_cast<unsigned char>(++m_nNextByte * 7 + 1);
    return bytes;
  }

  void NewBlock(Slot& aSlot) {
    const uint8_t how = m_Program.Byte();
    if (m_Own.size() >= kMaxOwnBlocks) return;
    const size_t size = how % 24;
    Block b;
    CCmMessageBlock* mb = nullptr;
    if (how & 0x80) {
      // Caller memory, exactly sized, partly marked as written.
      const size_t written = size ? m_Program.Byte() % (size + 1) : 0;
      const std::vector<unsigned char> bytes = Fresh(size);
      m_Memory.emplace_back(new char[size]);
      if (size) memcpy(m_Memory.back().get(), bytes.data(), size);
      mb = new CCmMessageBlock(size, m_Memory.back().get(), 0, written);
      b.store = std::make_shared<std::string>(bytes.begin(), bytes.end());
      b.write = written;
      b.external = true;
    } else {
      // A data block: its bytes are set here so that exposing unwritten
      // space (advancing the write position) shows known bytes.
      mb = new CCmMessageBlock(size);
      const std::vector<unsigned char> bytes = Fresh(size);
      FUZZ_CHECK(mb->GetTopLevelSpace() == size);
      if (size) memcpy(mb->GetTopLevelWritePtr(), bytes.data(), size);
      b.store = std::make_shared<std::string>(bytes.begin(), bytes.end());
    }
    b.end = size;
    m_Own.emplace_back(mb);
    if (aSlot.head) {
      aSlot.head->Append(mb);
    } else {
      aSlot.head = mb;
    }
    aSlot.model.push_back(b);
  }

  void Write(Slot& aSlot) {
    if (!aSlot.head) return;
    const uint8_t how = m_Program.Byte();
    const size_t count = how % 64;
    const bool moveOnly = (how & 0x40) != 0;
    const std::vector<unsigned char> bytes = Fresh(count);
    unsigned long written = 12345;
    const int rv = aSlot.head->Write(moveOnly ? nullptr : bytes.data(), count, &written);
    size_t left = count;
    int expected = ZAR_E_PARTIAL_DATA;
    for (Block& b : aSlot.model) {
      const size_t take = left <= b.Space() ? left : b.Space();
      if (!moveOnly) b.store->replace(b.write, take, reinterpret_cast<const char*>(bytes.data()) + (count - left), take);
      b.write += take;
      left -= take;
      if (left == 0) {
        expected = ZAR_S_OK;
        break;
      }
    }
    FUZZ_CHECK(rv == expected);
    FUZZ_CHECK(written == count - left);
  }

  // A read (or, not advancing, a peek along the chain) or, with no
  // destination, a move of the read positions.
  void Read(Slot& aSlot, bool aAdvance) {
    if (!aSlot.head) return;
    const uint8_t how = m_Program.Byte();
    const size_t count = how % 64;
    const bool moveOnly = aAdvance && (how & 0x40) != 0;
    std::vector<unsigned char> out(count + 1, 0xEE);
    unsigned long done = 12345;
    const int rv = moveOnly ? aSlot.head->AdvanceChainedReadPtr(count, &done)
                            : aSlot.head->Read(out.data(), count, &done, aAdvance);
    std::string expectedBytes;
    size_t left = count;
    int expected = ZAR_E_PARTIAL_DATA;
    for (Block& b : aSlot.model) {
      const size_t take = left <= b.Length() ? left : b.Length();
      expectedBytes.append(*b.store, b.read, take);
      if (aAdvance) b.read += take;
      left -= take;
      if (left == 0) {
        expected = ZAR_S_OK;
        break;
      }
    }
    FUZZ_CHECK(rv == expected);
    FUZZ_CHECK(done == count - left);
    if (!moveOnly) {
      expectedBytes.resize(count + 1, '\xEE');
      FUZZ_CHECK(memcmp(out.data(), expectedBytes.data(), count + 1) == 0);
    }
  }

  void Peek(Slot& aSlot) {
    if (!aSlot.head) return;
    const size_t length = m_Program.Byte() % 48, offset = m_Program.Byte() % 48;
    std::vector<unsigned char> out(length + 1, 0xEE);
    const int rv = aSlot.head->Peek(out.data(), length, offset);
    const std::string all = Readable(aSlot.model);
    if (length == 0) {
      FUZZ_CHECK(rv == ZAR_S_OK);
    } else if (length + offset > all.size()) {
      FUZZ_CHECK(rv == ZAR_E_FAIL);
    } else {
      FUZZ_CHECK(rv == ZAR_S_OK);
      FUZZ_CHECK(memcmp(out.data(), all.data() + offset, length) == 0);
    }
    FUZZ_CHECK(out[length] == 0xEE);
  }

  void Update(Slot& aSlot) {
    if (!aSlot.head) return;
    const size_t length = m_Program.Byte() % 48, offset = m_Program.Byte() % 48;
    const std::vector<unsigned char> bytes = Fresh(length + 1);
    const int rv = aSlot.head->Update(bytes.data(), length, offset);
    if (length == 0) {
      FUZZ_CHECK(rv == ZAR_S_OK);
      return;
    }
    if (length + offset > ChainLength(aSlot.model)) {
      FUZZ_CHECK(rv == ZAR_E_FAIL);
      return;
    }
    FUZZ_CHECK(rv == ZAR_S_OK);
    size_t skip = offset, done = 0;
    for (Block& b : aSlot.model) {
      if (done == length) break;
      if (skip >= b.Length()) {
        skip -= b.Length();
        continue;
      }
      const size_t take = std::min(length - done, b.Length() - skip);
      b.store->replace(b.read + skip, take, reinterpret_cast<const char*>(bytes.data()) + done, take);
      done += take;
      skip = 0;
    }
  }

  // Marks written bytes across the chain, stopping at a block already read
  // from; a step of 0 moves nothing and reports a partial move.
  void AdvanceWrite(Slot& aSlot) {
    if (!aSlot.head) return;
    const size_t step = m_Program.Byte() % 64;
    unsigned long moved = 12345;
    const int rv = aSlot.head->AdvanceChainedWritePtr(step, &moved);
    size_t left = step;
    int expected = ZAR_E_PARTIAL_DATA;
    for (Block& b : aSlot.model) {
      if (left == 0 || b.read != b.begin) break;
      if (left <= b.Space()) {
        b.write += left;
        left = 0;
        expected = ZAR_S_OK;
        break;
      }
      left -= b.Space();
      b.write = b.end;
    }
    FUZZ_CHECK(rv == expected);
    FUZZ_CHECK(moved == step - left);
  }

  void Duplicate(Slot& aSlot) {
    if (!aSlot.head || aSlot.model.size() > kMaxChain) return;
    Slot& to = Target(aSlot);
    to.head = aSlot.head->DuplicateChained();
    FUZZ_CHECK(to.head);
    for (const Block& b : aSlot.model) to.model.push_back(::Duplicate(b));
  }

  // Splits at a readable offset; the tail goes to another slot and holds
  // only duplicated blocks.
  void Disjoint(Slot& aSlot) {
    if (!aSlot.head) return;
    Slot& to = Target(aSlot);
    const size_t start = m_Program.Byte() % (ChainLength(aSlot.model) + 3);
    CCmMessageBlock* tail = aSlot.head->Disjoint(start);
    Chain& head = aSlot.model;
    Chain rest;
    size_t left = start;
    bool split = false;
    for (size_t i = 0; i < head.size(); ++i) {
      Block& b = head[i];
      if (left > 0 && left == b.Length()) {
        rest.assign(head.begin() + i + 1, head.end());
        head.resize(i + 1);
        split = true;
        break;
      }
      if (left < b.Length()) {
        Block t = ::Duplicate(b);
        t.read += left;
        rest.push_back(t);
        rest.insert(rest.end(), head.begin() + i + 1, head.end());
        head[i].write -= head[i].Length() - left;
        head.resize(i + 1);
        split = true;
        break;
      }
      left -= b.Length();
    }
    if (!split || rest.empty()) {
      FUZZ_CHECK(tail == nullptr);
      return;
    }
    for (Block& b : rest) {
      if (!b.duplicated) b = ::Duplicate(b);
    }
    FUZZ_CHECK(tail != nullptr);
    to.head = tail;
    to.model = rest;
  }

  // Another chain goes to the end of this one; a block already in this
  // chain is refused and nothing changes.
  void Append(Slot& aSlot) {
    const uint8_t how = m_Program.Byte();
    Slot& from = m_Slots[how % kSlots];
    if (!from.head || aSlot.model.size() + from.model.size() > kMaxChain) return;
    if (&from == &aSlot) {
      CCmMessageBlock* inside = aSlot.head;
      for (size_t i = (how >> 2) % aSlot.model.size(); i > 0; --i) inside = inside->GetNext();
      aSlot.head->Append(inside);
      return;
    }
    if (aSlot.head) {
      aSlot.head->Append(from.head);
    } else {
      aSlot.head = from.head;
    }
    aSlot.model.insert(aSlot.model.end(), from.model.begin(), from.model.end());
    from.head = nullptr;
    from.model.clear();
  }

  void Combine(Slot& aSlot) {
    if (!aSlot.head || aSlot.model.size() > kMaxChain) return;
    Slot& to = Target(aSlot);
    to.head = aSlot.head->CombineSingleBuffer();
    FUZZ_CHECK(to.head);
    const size_t total = ChainLength(aSlot.model);
    if (aSlot.model[0].Length() == total) {
      for (const Block& b : aSlot.model) to.model.push_back(::Duplicate(b));
      return;
    }
    Block b;
    b.store = std::make_shared<std::string>(Readable(aSlot.model));
    b.write = b.end = total;
    b.duplicated = true;
    to.model.push_back(b);
  }

  // Empty blocks leave the front of the chain; duplicated ones are freed.
  void Reclaim(Slot& aSlot) {
    if (!aSlot.head) return;
    aSlot.head = aSlot.head->ReclaimGarbage();
    size_t empty = 0;
    while (empty < aSlot.model.size() && aSlot.model[empty].Length() == 0) ++empty;
    aSlot.model.erase(aSlot.model.begin(), aSlot.model.begin() + empty);
    FUZZ_CHECK((aSlot.head == nullptr) == aSlot.model.empty());
  }

  void Rewind(Slot& aSlot) {
    if (!aSlot.head) return;
    aSlot.head->RewindChained();
    for (Block& b : aSlot.model) b.read = b.write = b.begin;
  }

  // The chain's duplicated blocks are freed; the others stay with m_Own.
  void Drop(Slot& aSlot) {
    if (aSlot.head) aSlot.head->DestroyChained();
    aSlot.head = nullptr;
    aSlot.model.clear();
  }

  void CheckAll() {
    std::map<const CCmDataBlock*, const std::string*> storeOf;
    std::map<const std::string*, const CCmDataBlock*> blockOf;
    for (Slot& slot : m_Slots) {
      if (!slot.head) {
        FUZZ_CHECK(slot.model.empty());
        continue;
      }
      size_t length = 0, space = 0;
      const CCmMessageBlock* mb = slot.head;
      for (const Block& b : slot.model) {
        FUZZ_CHECK(mb != nullptr);
        FUZZ_CHECK(mb->GetTopLevelLength() == b.Length());
        FUZZ_CHECK(mb->GetTopLevelSpace() == b.Space());
        FUZZ_CHECK(((mb->GetFlag() & CCmMessageBlock::DUPLICATED) != 0) == b.duplicated);
        FUZZ_CHECK(((mb->GetFlag() & CCmMessageBlock::EXTERNAL_DATA) != 0) == b.external);
        if (b.Length()) FUZZ_CHECK(memcmp(mb->GetTopLevelReadPtr(), b.store->data() + b.read, b.Length()) == 0);
        if (const CCmDataBlock* db = mb->GetDataBlock()) {
          FUZZ_CHECK(!b.external);
          const auto s = storeOf.emplace(db, b.store.get()).first;
          const auto d = blockOf.emplace(b.store.get(), db).first;
          FUZZ_CHECK(s->second == b.store.get() && d->second == db);
        }
        length += b.Length();
        space += b.Space();
        mb = mb->GetNext();
      }
      FUZZ_CHECK(mb == nullptr);
      FUZZ_CHECK(slot.head->GetChainedLength() == length);
      FUZZ_CHECK(slot.head->GetChainedSpace() == space);
      FUZZ_CHECK(slot.head->FlattenChained() == Readable(slot.model));
    }
  }

  Program m_Program;
  Slot m_Slots[kSlots];
  std::vector<std::unique_ptr<char[]>> m_Memory;
  std::vector<std::unique_ptr<CCmMessageBlock>> m_Own;
  unsigned m_nNextByte = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
  FuzzQuietTrace();
  Session session(aData, aSize);
  session.Run();
  return 0;
}
