// Metadata, indexed parameters and parameter lists: the exact wire bytes of
// every type, round trips, the type discipline, 64-bit longs against the
// 32-bit wire, copies that own their blocks, replacement of duplicates and
// what malformed input leaves behind.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "CmDebug.h"
#include "TraceCapture.h"
#include "paramlist.h"

namespace {

std::string Hex(const std::string& aBytes) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : aBytes) out += {kHex[c >> 4], kHex[c & 15]};
  return out;
}

std::string Unhex(const std::string& aHex) {
  std::string out;
  for (size_t i = 0; i + 1 < aHex.size(); i += 2) out += static_cast<char>(std::stoi(aHex.substr(i, 2), nullptr, 16));
  return out;
}

// Encodes with a block of exactly GetStreamLength bytes, so a length that is
// too small fails the write and one that is too large leaves space.
template <class T>
std::string Encode(const T& aValue, CmResult* aResult = nullptr) {
  DWORD length = 0;
  EXPECT_EQ(aValue.GetStreamLength(length), ZAR_S_OK);
  CCmMessageBlock mb(length);
  CCmByteStreamNetwork os(mb);
  const CmResult rv = aValue.StreamTo(os);
  if (aResult) *aResult = rv;
  else EXPECT_EQ(rv, ZAR_S_OK);
  EXPECT_EQ(mb.GetTopLevelSpace(), 0u) << "GetStreamLength disagrees with StreamTo";
  return mb.FlattenChained();
}

// Decodes aBytes; aLeft receives the bytes not consumed.
template <class T>
CmResult Decode(T& aValue, const std::string& aBytes, size_t* aLeft = nullptr) {
  CCmMessageBlock mb(aBytes.size(), aBytes.data(), 0, aBytes.size());
  CCmByteStreamNetwork is(mb);
  const CmResult rv = aValue.StreamFrom(is);
  if (aLeft) *aLeft = mb.GetChainedLength();
  return rv;
}

struct Vector {
  const char* name;
  std::function<void(CCmMetaData&)> set;
  const char* hex;
  CM_META_DATA_TYPE type;
  std::function<bool(const CCmMetaData&)> holds;  // the decoded value is the one set
};

template <class T>
std::function<bool(const CCmMetaData&)> Holds(T aExpected) {
  return [aExpected](const CCmMetaData& aData) {
    T value{};
    return aData.Get(value) == ZAR_S_OK && value == aExpected;
  };
}

std::function<bool(const CCmMetaData&)> HoldsText(const char* aExpected) {
  return [aExpected](const CCmMetaData& aData) {
    const char* text = "stale";
    if (aData.Get(text) != ZAR_S_OK) return false;
    return aExpected ? text && strcmp(text, aExpected) == 0 : text == nullptr;
  };
}

std::function<bool(const CCmMetaData&)> HoldsRaw(const std::string& aExpected) {
  return [aExpected](const CCmMetaData& aData) {
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>("stale");
    uint32_t length = 99;
    if (aData.Get(bytes, length) != ZAR_S_OK) return false;
    if (aExpected.empty()) return bytes == nullptr && length == 0;
    return length == aExpected.size() && memcmp(bytes, aExpected.data(), length) == 0;
  };
}

const unsigned char kRaw[] = {0x00, 0xFF, 0x7F};

const std::vector<Vector>& Vectors() {
  static const std::vector<Vector> vectors = {
      {"byte", [](CCmMetaData& d) { d.Set('A'); }, "0041", CM_DATA_BYTE, Holds('A')},
      {"byte high bit", [](CCmMetaData& d) { d.Set(static_cast<char>(0xE9)); }, "00E9", CM_DATA_BYTE,
       Holds(static_cast<char>(0xE9))},
      {"short", [](CCmMetaData& d) { d.Set(static_cast<short>(-2)); }, "01FFFE", CM_DATA_SHORT,
       Holds(static_cast<short>(-2))},
      {"int", [](CCmMetaData& d) { d.Set(0x01020304); }, "0201020304", CM_DATA_INT, Holds(0x01020304)},
      {"int min", [](CCmMetaData& d) { d.Set(INT_MIN); }, "0280000000", CM_DATA_INT, Holds(INT_MIN)},
      {"long", [](CCmMetaData& d) { d.Set(-5L); }, "03FFFFFFFB", CM_DATA_LONG, Holds(-5L)},
      {"long max", [](CCmMetaData& d) { d.Set(static_cast<long>(INT32_MAX)); }, "037FFFFFFF", CM_DATA_LONG,
       Holds(static_cast<long>(INT32_MAX))},
      {"word", [](CCmMetaData& d) { d.Set(static_cast<unsigned short>(0xBEEF)); }, "04BEEF", CM_DATA_WORD,
       Holds(static_cast<unsigned short>(0xBEEF))},
      {"dword", [](CCmMetaData& d) { d.Set(0xDEADBEEFu); }, "05DEADBEEF", CM_DATA_DWORD, Holds(0xDEADBEEFu)},
      {"unsigned long", [](CCmMetaData& d) { d.Set(0xFFFFFFFFUL); }, "05FFFFFFFF", CM_DATA_DWORD,
       Holds(0xFFFFFFFFUL)},
      {"float one", [](CCmMetaData& d) { d.Set(1.0f); }, "063F800000", CM_DATA_FLOAT, Holds(1.0f)},
      {"float", [](CCmMetaData& d) { d.Set(-2.5f); }, "06C0200000", CM_DATA_FLOAT, Holds(-2.5f)},
      {"string", [](CCmMetaData& d) { d.Set("abc"); }, "070003616263", CM_DATA_STRING, HoldsText("abc")},
      {"string empty", [](CCmMetaData& d) { d.Set(""); }, "070000", CM_DATA_STRING, HoldsText(nullptr)},
      {"string null", [](CCmMetaData& d) { d.Set(static_cast<const char*>(nullptr)); }, "070000", CM_DATA_STRING,
       HoldsText(nullptr)},
      {"raw", [](CCmMetaData& d) { d.Set(kRaw, 3); }, "080000000300FF7F", CM_DATA_RAW,
       HoldsRaw(std::string("\x00\xFF\x7F", 3))},
      {"raw null", [](CCmMetaData& d) { d.Set(nullptr, 5); }, "0800000000", CM_DATA_RAW, HoldsRaw("")},
      {"raw empty", [](CCmMetaData& d) { d.Set(kRaw, 0); }, "0800000000", CM_DATA_RAW, HoldsRaw("")},
  };
  return vectors;
}

TEST(CCmMetaData, EncodesEveryTypeByteForByteAndReadsItBack) {
  for (const Vector& v : Vectors()) {
    SCOPED_TRACE(v.name);
    CCmMetaData value;
    v.set(value);
    EXPECT_EQ(value.GetType(), v.type);
    EXPECT_EQ(Hex(Encode(value)), v.hex);

    CCmMetaData decoded;
    size_t left = 99;
    ASSERT_EQ(Decode(decoded, Unhex(v.hex) + "!", &left), ZAR_S_OK);
    EXPECT_EQ(left, 1u);  // exactly the value was consumed
    EXPECT_EQ(decoded.GetType(), v.type);
    EXPECT_TRUE(v.holds(decoded));
    EXPECT_EQ(Hex(Encode(decoded)), v.hex);
  }
}

TEST(CCmMetaData, DecodingReplacesAnOwnedValueOfAnyType) {
  CCmMetaData value;
  value.Set("a text that is replaced");
  ASSERT_EQ(Decode(value, Unhex("080000000201FF")), ZAR_S_OK);
  EXPECT_TRUE(HoldsRaw("\x01\xFF")(value));
  ASSERT_EQ(Decode(value, Unhex("0500000007")), ZAR_S_OK);
  EXPECT_TRUE(Holds(7u)(value));
}

// A value keeps its first type: every other Set and Get is refused with the
// assertion naming the type asked for, and nothing changes.
TEST(CCmMetaData, RefusesAnotherTypeWithItsAssertion) {
  struct Case {
    std::function<CmResult(CCmMetaData&)> call;
    const char* condition;
  };
  const std::vector<Case> refusedSets = {
      {[](CCmMetaData& d) { return d.Set('x'); }, "CM_DATA_BYTE == m_nType || m_nType == CM_DATA_UNKNOW"},
      {[](CCmMetaData& d) { return d.Set(short(1)); }, "CM_DATA_SHORT == m_nType || m_nType == CM_DATA_UNKNOW"},
      {[](CCmMetaData& d) { return d.Set(1); }, "CM_DATA_INT == m_nType || m_nType == CM_DATA_UNKNOW"},
      {[](CCmMetaData& d) { return d.Set(1L); }, "CM_DATA_LONG == m_nType || m_nType == CM_DATA_UNKNOW"},
      {[](CCmMetaData& d) { return d.Set(static_cast<unsigned short>(1)); },
       "CM_DATA_WORD == m_nType || m_nType == CM_DATA_UNKNOW"},
      {[](CCmMetaData& d) { return d.Set(1.5f); }, "CM_DATA_FLOAT == m_nType || m_nType == CM_DATA_UNKNOW"},
      {[](CCmMetaData& d) { return d.Set("t"); }, "CM_DATA_STRING == m_nType || m_nType == CM_DATA_UNKNOW"},
      {[](CCmMetaData& d) { return d.Set(kRaw, 1); }, "CM_DATA_RAW == m_nType || m_nType == CM_DATA_UNKNOW"},
  };
  const std::vector<Case> refusedGets = {
      {[](CCmMetaData& d) { char v = 'q'; CmResult r = d.Get(v); return v == 'q' ? r : ZAR_S_OK; }, "CM_DATA_BYTE == m_nType"},
      {[](CCmMetaData& d) { int v = 42; CmResult r = d.Get(v); return v == 42 ? r : ZAR_S_OK; }, "CM_DATA_INT == m_nType"},
      {[](CCmMetaData& d) { long v = 42; CmResult r = d.Get(v); return v == 42 ? r : ZAR_S_OK; }, "CM_DATA_LONG == m_nType"},
      {[](CCmMetaData& d) { float v = 4; CmResult r = d.Get(v); return v == 4 ? r : ZAR_S_OK; }, "CM_DATA_FLOAT == m_nType"},
      {[](CCmMetaData& d) { const char* v = "q"; CmResult r = d.Get(v); return strcmp(v, "q") == 0 ? r : ZAR_S_OK; },
       "CM_DATA_STRING == m_nType"},
      {[](CCmMetaData& d) {
         const unsigned char* p = kRaw;
         uint32_t n = 9;
         CmResult r = d.Get(p, n);
         return p == kRaw && n == 9 ? r : ZAR_S_OK;
       },
       "CM_DATA_RAW == m_nType"},
  };
  CCmMetaData value;
  ASSERT_EQ(value.Set(0xCAFEu), ZAR_S_OK);  // DWORD
  TraceCapture trace;
  for (const Case& c : refusedSets) {
    trace.Clear();
    EXPECT_EQ(c.call(value), ZAR_E_INVALIDARG) << c.condition;
    EXPECT_TRUE(trace.Contains(std::string("Assert failed: ") + c.condition, 0)) << c.condition;
  }
  for (const Case& c : refusedGets) {
    trace.Clear();
    EXPECT_EQ(c.call(value), ZAR_E_INVALIDARG) << c.condition;
    EXPECT_TRUE(trace.Contains(std::string("Assert failed: ") + c.condition, 0)) << c.condition;
  }
  EXPECT_EQ(value.GetType(), CM_DATA_DWORD);
  EXPECT_TRUE(Holds(0xCAFEu)(value));

  CCmMetaData fresh;  // an empty value has no type to get
  int out = 1;
  EXPECT_EQ(fresh.Get(out), ZAR_E_INVALIDARG);
  CCmMetaData asLong;  // INT and LONG share a width, not a type
  asLong.Set(3L);
  EXPECT_EQ(asLong.Set(3), ZAR_E_INVALIDARG);
  EXPECT_EQ(asLong.Get(out), ZAR_E_INVALIDARG);
}

// long and unsigned long are 64-bit here, the wire carries 32 bits: values
// that fit are kept exactly, wider ones are refused rather than cut.
TEST(CCmMetaData, NarrowsLongsOnlyWhenTheyFit) {
  struct Case {
    std::function<CmResult(CCmMetaData&)> set;
    CmResult result;
    const char* hex;  // the encoding when accepted
  };
  const std::vector<Case> cases = {
      {[](CCmMetaData& d) { return d.Set(static_cast<long>(INT32_MIN)); }, ZAR_S_OK, "0380000000"},
      {[](CCmMetaData& d) { return d.Set(static_cast<long>(INT32_MAX)); }, ZAR_S_OK, "037FFFFFFF"},
      {[](CCmMetaData& d) { return d.Set(static_cast<long>(INT32_MAX) + 1); }, ZAR_E_INVALIDARG, ""},
      {[](CCmMetaData& d) { return d.Set(static_cast<long>(INT32_MIN) - 1); }, ZAR_E_INVALIDARG, ""},
      {[](CCmMetaData& d) { return d.Set(static_cast<unsigned long>(UINT32_MAX)); }, ZAR_S_OK, "05FFFFFFFF"},
      {[](CCmMetaData& d) { return d.Set(static_cast<unsigned long>(UINT32_MAX) + 1); }, ZAR_E_INVALIDARG, ""},
  };
  TraceCapture trace;
  for (const Case& c : cases) {
    CCmMetaData value;
    const unsigned before = cm_get_assertions_count();
    ASSERT_EQ(c.set(value), c.result) << c.hex;
    if (c.result == ZAR_S_OK) {
      EXPECT_EQ(Hex(Encode(value)), c.hex);
    } else {
      EXPECT_EQ(value.GetType(), CM_DATA_UNKNOW);
      EXPECT_EQ(cm_get_assertions_count(), before + 1);
    }
  }
  CCmMetaData negative;
  negative.Set(-7L);
  unsigned long asDword = 0;
  long asLong = 0;
  EXPECT_EQ(negative.Get(asLong), ZAR_S_OK);
  EXPECT_EQ(asLong, -7L);  // sign-extended back to 64 bits
  CCmMetaData high;
  high.Set(0x80000000UL);
  EXPECT_EQ(high.Get(asDword), ZAR_S_OK);
  EXPECT_EQ(asDword, 0x80000000UL);  // zero-extended
}

TEST(CCmMetaData, EmptyAndOverlongValuesCannotBeEncoded) {
  TraceCapture trace;
  CCmMetaData empty;
  DWORD length = 77;
  EXPECT_EQ(empty.GetStreamLength(length), ZAR_E_FAIL);
  EXPECT_EQ(length, 77u);
  CCmMessageBlock mb(16);
  CCmByteStreamNetwork os(mb);
  EXPECT_EQ(empty.StreamTo(os), ZAR_E_FAIL);
  EXPECT_EQ(mb.GetChainedLength(), 0u);
  EXPECT_EQ(trace.Count("Assert failed: m_nType != CM_DATA_UNKNOW", 0), 2u);

  // Texts of 65535 bytes or more do not fit the 16-bit length: refused.
  const std::string longest(65534, 'x');
  CCmMetaData text;
  EXPECT_EQ(text.Set((longest + "y").c_str()), ZAR_E_INVALIDARG);
  EXPECT_EQ(text.GetType(), CM_DATA_UNKNOW);
  ASSERT_EQ(text.Set(longest.c_str()), ZAR_S_OK);
  const std::string bytes = Encode(text);
  EXPECT_EQ(bytes.size(), 65537u);
  EXPECT_EQ(Hex(bytes.substr(0, 4)), "07FFFE78");

  // A block too small for the value is a stream failure.
  CCmMessageBlock small(3);
  CCmByteStreamNetwork tight(small);
  CCmMetaData four;
  four.Set(4);
  trace.Clear();
  EXPECT_EQ(four.StreamTo(tight), ZAR_E_FAIL);
  EXPECT_TRUE(trace.Contains("Assert failed: bGood", 0));
}

// Malformed input: the result code, what the value holds afterwards and no
// more memory than the input could fill (ASan checks the rest).
TEST(CCmMetaData, MalformedInputIsRefused) {
  struct Case {
    const char* name;
    const char* hex;
    const char* assertion;
    int type;  // what GetType reports afterwards
  };
  const std::vector<Case> cases = {
      {"nothing", "", "m_nType != CM_DATA_UNKNOW", CM_DATA_UNKNOW},
      {"type 9", "09", "m_nType != CM_DATA_UNKNOW", CM_DATA_UNKNOW},
      {"type 200", "C8", "FALSE", 200},
      {"short cut", "0100", "bGood", CM_DATA_SHORT},
      {"int cut", "02010203", "bGood", CM_DATA_INT},
      {"text cut", "070005616263", "bGood", CM_DATA_STRING},
      {"text length cut", "0700", "bGood", CM_DATA_STRING},
      {"raw cut", "08000000040102", "bGood", CM_DATA_RAW},
      {"raw of 4 GiB", "08FFFFFFFF0102030405", "bGood", CM_DATA_RAW},
  };
  TraceCapture trace;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    trace.Clear();
    CCmMetaData value;
    EXPECT_EQ(Decode(value, Unhex(c.hex)), ZAR_E_FAIL);
    EXPECT_TRUE(trace.Contains(std::string("Assert failed: ") + c.assertion, 0));
    EXPECT_EQ(static_cast<int>(value.GetType()), c.type);
    if (c.type == CM_DATA_STRING) {
      EXPECT_TRUE(HoldsText(nullptr)(value));
    }
    if (c.type == CM_DATA_RAW) {
      EXPECT_TRUE(HoldsRaw("")(value));
    }
  }
}

TEST(CCmMetaData, CopiesOwnTheirBlocks) {
  CCmMetaData text;
  text.Set("first");
  CCmMetaData textCopy(text);
  text.Set("second");
  EXPECT_TRUE(HoldsText("first")(textCopy));

  CCmMetaData raw;
  raw.Set(kRaw, 3);
  CCmMetaData rawCopy;
  rawCopy.Set("replaced by the assignment");
  rawCopy = raw;
  const unsigned char* a = nullptr;
  const unsigned char* b = nullptr;
  uint32_t n = 0;
  raw.Get(a, n);
  rawCopy.Get(b, n);
  EXPECT_NE(a, b);
  raw.Set(kRaw + 1, 2);
  EXPECT_TRUE(HoldsRaw(std::string("\x00\xFF\x7F", 3))(rawCopy));

  rawCopy = *&rawCopy;  // self-assignment keeps the block
  EXPECT_TRUE(HoldsRaw(std::string("\x00\xFF\x7F", 3))(rawCopy));
  CCmMetaData scalar;
  scalar.Set(2.0f);
  rawCopy = scalar;  // the raw block is freed, the type taken over
  EXPECT_TRUE(Holds(2.0f)(rawCopy));
}

// A parameter that counts its own destruction.
class TrackedParameter : public CCmParameterByIndex {
 public:
  TrackedParameter(DWORD aIndex, int aValue, int* aDeaths) : CCmParameterByIndex(aIndex, aValue), m_pDeaths(aDeaths) {}
  ~TrackedParameter() override { ++*m_pDeaths; }
  void SetIndex(DWORD aIndex) { m_dwIndex = aIndex; }

 private:
  int* m_pDeaths;
};

TEST(CCmParameterByIndex, EncodesIndexThenValueAndRefusesIndexZero) {
  CCmParameterByIndex param(0x01020304, static_cast<unsigned short>(7));
  EXPECT_EQ(Hex(Encode(param)), "01020304" "040007");
  CCmParameterByIndex decoded(0);
  ASSERT_EQ(Decode(decoded, Unhex("FFFFFFFF070001") + "z"), ZAR_S_OK);
  EXPECT_EQ(decoded.GetIndex(), 0xFFFFFFFFu);
  EXPECT_TRUE(HoldsText("z")(decoded.GetMetaData()));

  TraceCapture trace;
  CCmParameterByIndex zero(0, 5);
  DWORD length = 0;
  EXPECT_EQ(zero.GetStreamLength(length), ZAR_E_FAIL);
  CCmMessageBlock mb(16);
  CCmByteStreamNetwork os(mb);
  EXPECT_EQ(zero.StreamTo(os), ZAR_E_FAIL);
  EXPECT_EQ(mb.GetChainedLength(), 0u);
  EXPECT_EQ(trace.Count("Assert failed: m_dwIndex != 0", 0), 2u);
}

TEST(CCmParameterByIndex, CopiesStartACountOfTheirOwn) {
  auto* original = new CCmParameterByIndex(3, "shared?");
  original->AddReference();
  original->AddReference();
  auto* copy = new CCmParameterByIndex(*original);
  EXPECT_EQ(copy->GetReference(), 0u);
  copy->AddReference();
  EXPECT_EQ(copy->ReleaseReference(), 0u);  // deleted here, the original untouched

  CCmParameterByIndex target(9, "old");
  target.AddReference();
  target = *original;
  EXPECT_EQ(target.GetReference(), 1u);  // assignment keeps the target's count
  EXPECT_EQ(target.GetIndex(), 3u);
  const char* a = nullptr;
  const char* b = nullptr;
  target.GetMetaData().Get(a);
  original->GetMetaData().Get(b);
  EXPECT_NE(a, b);
  EXPECT_STREQ(a, "shared?");
  EXPECT_EQ(original->ReleaseReference(), 1u);
  EXPECT_EQ(original->ReleaseReference(), 0u);
}

TEST(CCmParameterList, EncodesInAscendingIndexOrder) {
  CCmParameterList list;
  list.AddParameter(new CCmParameterByIndex(3, "hi"));
  list.AddParameter(new CCmParameterByIndex(1, 'k'));
  list.AddParameter(new CCmParameterByIndex(2, 1.0f));
  EXPECT_EQ(Hex(Encode(list)), "00000003" "00000001" "006B" "00000002" "063F800000" "00000003" "0700026869");
  EXPECT_EQ(Hex(Encode(CCmParameterList())), "00000000");

  CCmParameterList decoded;
  ASSERT_EQ(Decode(decoded, Encode(list)), ZAR_S_OK);
  EXPECT_EQ(decoded.GetParameterCount(), 3u);
  EXPECT_EQ(Hex(Encode(decoded)), Hex(Encode(list)));
  ASSERT_NE(decoded.FindParameter(2), nullptr);
  EXPECT_TRUE(Holds(1.0f)(decoded.FindParameter(2)->GetMetaData()));
  EXPECT_EQ(decoded.FindParameter(4), nullptr);
}

TEST(CCmParameterList, ADuplicateIndexReplacesAndReleasesTheOld) {
  int deaths = 0;
  CCmParameterList list;
  auto* first = new TrackedParameter(5, 1, &deaths);
  auto* second = new TrackedParameter(5, 2, &deaths);
  ASSERT_EQ(list.AddParameter(first), ZAR_S_OK);
  ASSERT_EQ(list.AddParameter(first), ZAR_S_OK);  // itself again: kept, one reference
  EXPECT_EQ(first->GetReference(), 1u);
  ASSERT_EQ(list.AddParameter(second), ZAR_S_OK);
  EXPECT_EQ(deaths, 1);
  EXPECT_EQ(list.FindParameter(5), second);
  EXPECT_EQ(list.GetParameterCount(), 1u);

  // Decoding into a list with entries keeps them; a decoded index replaces.
  ASSERT_EQ(Decode(list, Unhex("00000002" "00000005" "0200000009" "00000006" "00" "41")), ZAR_S_OK);
  EXPECT_EQ(deaths, 2);
  EXPECT_TRUE(Holds(9)(list.FindParameter(5)->GetMetaData()));
  EXPECT_EQ(list.GetParameterCount(), 2u);

  TraceCapture trace;
  EXPECT_EQ(list.AddParameter(nullptr), ZAR_E_POINTER);
  EXPECT_TRUE(trace.Contains("Assert failed: pParam", 0));
  list.ClearParameters();
  EXPECT_EQ(list.GetParameterCount(), 0u);
}

TEST(CCmParameterList, ACopyHoldsCopiesOfTheParameters) {
  int deaths = 0;
  auto* list = new CCmParameterList;
  list->AddParameter(new TrackedParameter(1, 10, &deaths));
  list->AddParameter(new CCmParameterByIndex(2, kRaw, 3));
  CCmParameterList copy(*list);
  CCmParameterList assigned;
  assigned.AddParameter(new TrackedParameter(7, 70, &deaths));
  assigned = *list;
  EXPECT_EQ(deaths, 1);  // the old entry of the assigned list
  EXPECT_NE(copy.FindParameter(1), list->FindParameter(1));
  list->FindParameter(1)->GetMetaData().Set(11);
  delete list;
  EXPECT_EQ(deaths, 2);
  EXPECT_TRUE(Holds(10)(copy.FindParameter(1)->GetMetaData()));
  EXPECT_EQ(Hex(Encode(copy)), Hex(Encode(assigned)));
}

TEST(CCmParameterList, AFailingParameterStopsTheEncoding) {
  int deaths = 0;
  TraceCapture trace;
  CCmParameterList list;
  list.AddParameter(new CCmParameterByIndex(1, 'a'));
  list.AddParameter(new CCmParameterByIndex(2));  // no value
  CCmMessageBlock mb(64);
  CCmByteStreamNetwork os(mb);
  EXPECT_EQ(list.StreamTo(os), ZAR_E_FAIL);
  EXPECT_EQ(Hex(mb.FlattenChained()), "00000002" "00000001" "0061" "00000002");
  EXPECT_TRUE(trace.Contains("Assert failed: IS_ZAR_OK(ret)", 0));

  // An index changed to 0 after it was added: refused, its result returned.
  CCmParameterList zero;
  auto* param = new TrackedParameter(4, 1, &deaths);
  zero.AddParameter(param);
  param->SetIndex(0);
  CCmMessageBlock mb2(64);
  CCmByteStreamNetwork os2(mb2);
  EXPECT_EQ(zero.StreamTo(os2), ZAR_E_FAIL);
  EXPECT_EQ(Hex(mb2.FlattenChained()), "00000001");
  EXPECT_TRUE(trace.Contains("Assert failed: m_dwIndex != 0", 0));
}

TEST(CCmParameterList, MalformedInputKeepsWhatWasReadBeforeIt) {
  struct Case {
    const char* name;
    const char* hex;
    CmResult result;
    size_t entries;
  };
  const std::vector<Case> cases = {
      {"empty input", "", ZAR_S_OK, 0},  // the count reads as 0
      {"count cut", "0000", ZAR_S_OK, 0},
      {"count zero", "00000000", ZAR_S_OK, 0},
      {"one of two", "00000002" "00000001" "0041", ZAR_E_FAIL, 1},
      {"huge count", "FFFFFFFF" "00000001" "0041" "00000002" "0042", ZAR_E_FAIL, 2},
      {"bad type second", "00000002" "00000001" "0041" "00000002" "0A", ZAR_E_FAIL, 1},
      {"index cut", "00000001" "0000", ZAR_E_FAIL, 0},
      {"raw longer than input", "00000001" "00000003" "08" "7FFFFFFF" "00", ZAR_E_FAIL, 0},
  };
  TraceCapture trace;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CCmParameterList list;
    EXPECT_EQ(Decode(list, Unhex(c.hex)), c.result);
    EXPECT_EQ(list.GetParameterCount(), c.entries);
  }
}

}  // namespace
