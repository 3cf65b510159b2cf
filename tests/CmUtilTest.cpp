// CmUtilInit and CmUtilCleanup: exported from the library with C linkage,
// and neither changes anything (the library needs no set-up; shutdown
// clean-up belongs to CCmCleanUpBase::CleanupAll and TPCleanThreadList).
#include <dlfcn.h>

#include <gtest/gtest.h>

#include "CmTrace.h"
#include "CmUtil.h"
#include "CmUtilTemplates.h"

namespace {

struct Probe {
  int value = 7;
};

// The library's own definition of aName, or null.
void* LibrarySymbol(const char* aName) {
  Dl_info info;
  if (!dladdr(reinterpret_cast<void*>(&cm_get_trace_option), &info)) return nullptr;
  void* library = dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD);
  if (!library) return nullptr;
  void* symbol = dlsym(library, aName);
  dlclose(library);
  return symbol;
}

TEST(CmUtil, InitAndCleanupAreExportedAndChangeNothing) {
  // Unmangled names, and the very functions the header declares.
  auto init = reinterpret_cast<int (*)()>(LibrarySymbol("CmUtilInit"));
  auto cleanup = reinterpret_cast<int (*)()>(LibrarySymbol("CmUtilCleanup"));
  ASSERT_NE(init, nullptr);
  ASSERT_NE(cleanup, nullptr);
  EXPECT_EQ(init, &CmUtilInit);
  EXPECT_EQ(cleanup, &CmUtilCleanup);
  const unsigned mask = get_external_trace_mask(), option = cm_get_trace_option();
  set_external_trace_mask(3);
  Probe* probe = CCmSingletonT<Probe>::Instance();
  probe->value = 9;
  EXPECT_EQ(init(), 0);
  EXPECT_EQ(cleanup(), 0);
  EXPECT_EQ(CCmSingletonT<Probe>::Instance(), probe);  // the clean-up list is left alone
  EXPECT_EQ(probe->value, 9);
  EXPECT_EQ(get_external_trace_mask(), 3u);
  EXPECT_EQ(cm_get_trace_option(), option);
  set_external_trace_mask(mask);
}

}  // namespace
