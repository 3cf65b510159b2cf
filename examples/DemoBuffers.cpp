// Buffers and byte utilities: a chained message block, the byte stream,
// CRC-16, Base64 and the memory pool.
#include <cstring>
#include <string>

#include "CmByteStream.h"
#include "CmMessageBlock.h"
#include "CmUtilMisc.h"
#include "Demo.h"
#include "ZarMemoryPool.h"

namespace {

int Check(bool aOk, const char* aWhat) {
  printf("  %-58s %s\n", aWhat, aOk ? "ok" : "FAILED");
  return aOk ? 0 : 1;
}

std::string HexOf(const std::string& aBytes) {
  std::string out;
  char byte[4];
  for (unsigned char c : aBytes) {
    snprintf(byte, sizeof(byte), "%02X ", c);
    out += byte;
  }
  return out;
}

int ShowChain() {
  int failures = 0;
  DemoTitle("Message block chain");
  CCmMessageBlock first(6), second(6), third(6);
  first.Append(&second);
  second.Append(&third);
  const char text[] = "media payload";  // 13 bytes over 6-byte blocks
  unsigned long written = 0;
  first.Write(text, 13, &written);
  printf("  wrote %lu bytes: [%.*s][%.*s][%.*s]\n", written, (int)first.GetTopLevelLength(), first.GetTopLevelReadPtr(),
         (int)second.GetTopLevelLength(), second.GetTopLevelReadPtr(), (int)third.GetTopLevelLength(),
         third.GetTopLevelReadPtr());
  failures += Check(written == 13 && third.GetTopLevelLength() == 1, "13 bytes across three 6-byte blocks");

  CCmMessageBlock* copy = first.DuplicateChained();  // shares the storage
  CCmMessageBlock* tail = copy->Disjoint(8);          // "media pa" | "yload"
  printf("  duplicate split at 8: \"%s\" + \"%s\"\n", copy->FlattenChained().c_str(), tail->FlattenChained().c_str());
  failures += Check(copy->FlattenChained() == "media pa" && tail->FlattenChained() == "yload", "Disjoint inside a block");

  char back[16] = {};
  unsigned long n = 0;
  first.Read(back, sizeof(back), &n);
  failures += Check(n == 13 && memcmp(back, text, 13) == 0, "read back across the blocks (original untouched)");
  tail->DestroyChained();
  copy->DestroyChained();
  return failures;
}

int ShowByteStream() {
  int failures = 0;
  DemoTitle("Byte stream (network byte order)");
  CCmMessageBlock mb(64);
  CCmByteStreamNetwork out(mb);
  out << uint8_t(7) << uint16_t(0x1234) << uint32_t(0xCAFEF00D) << CCmString("zar");
  const CCmString wire = mb.FlattenChained();
  printf("  wire: %s\n", HexOf(wire).c_str());
  failures += Check(HexOf(wire) == "07 12 34 CA FE F0 0D 00 03 7A 61 72 ", "big-endian integers, length-prefixed string");

  CCmByteStreamNetwork in(mb);
  uint8_t a = 0;
  uint16_t b = 0;
  uint32_t c = 0;
  CCmString s;
  in >> a >> b >> c >> s;
  failures += Check(in.IsGood() && a == 7 && b == 0x1234 && c == 0xCAFEF00D && s == "zar", "round trip");
  in >> a;  // nothing left: the stream reports it (and traces)
  failures += Check(!in.IsGood() && in.GetResultRead() == ZAR_E_PARTIAL_DATA, "reading past the end is refused");
  return failures;
}

int ShowCodecs() {
  int failures = 0;
  DemoTitle("CRC-16 and Base64");
  unsigned char digits[] = "123456789";
  unsigned short arc = 0, modbus = 0xFFFF;
  CalcCRC16(arc, digits, 9);
  CalcCRC16(modbus, digits, 9);
  printf("  CRC-16 of \"123456789\": ARC 0x%04X, MODBUS 0x%04X\n", arc, modbus);
  failures += Check(arc == 0xBB3D && modbus == 0x4B37, "CRC-16 check values");

  std::string text, back;
  const char sample[] = "media engine";
  CM_Base64Encode(reinterpret_cast<const unsigned char*>(sample), 12, text);
  CM_Base64Decode(text.c_str(), back);
  printf("  Base64 of \"%s\": %s\n", sample, text.c_str());
  failures += Check(text == "bWVkaWEgZW5naW5l" && back == sample, "Base64 round trip");
  return failures;
}

int ShowPool() {
  int failures = 0;
  DemoTitle("Memory pool");
  IZARMemPool* pool = CreateZARMemPool(1500, 25);
  pool->Init();
  void* blocks[26] = {};
  int handed = 0;
  for (void*& b : blocks) handed += (b = pool->Alloc(1500)) != nullptr ? 1 : 0;
  printf("  pool of 1500-byte blocks, limit 25: %d of 26 requests served\n", handed);
  failures += Check(handed == 25 && blocks[25] == nullptr, "grows in steps of 10 up to the limit");
  pool->Free(blocks[3]);
  failures += Check(pool->Alloc(100) == blocks[3], "a freed block comes back first");
  for (void* b : blocks) {
    if (b) pool->Free(b);
  }
  pool->Release();
  return failures;
}

}  // namespace

int DemoBuffers() { return ShowChain() + ShowByteStream() + ShowCodecs() + ShowPool(); }
