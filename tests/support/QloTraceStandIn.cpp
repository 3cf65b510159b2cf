// A stand-in outside trace library for the tests: it records every call to
// its two entry points. Tests reach the record through the stand_in_*
// functions (dlopen of this same file returns the handle the library holds).
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#define STAND_IN_EXPORT extern "C" __attribute__((visibility("default")))

namespace {
struct Call {
  unsigned level;
  std::string module;
  std::string aux;
  std::string text;
  bool raw;
};
std::mutex g_mutex;
std::vector<Call> g_calls;

void Record(unsigned level, const char* module, const char* aux, const char* text, bool raw) {
  // The library promises to take at most 2047 bytes of each call's text.
  const size_t len = text ? strnlen(text, 2047) : 0;
  std::lock_guard<std::mutex> lock(g_mutex);
  g_calls.push_back({level, module ? module : "", aux ? aux : "", std::string(text ? text : "", len), raw});
}
}  // namespace

STAND_IN_EXPORT int QLOTRACEA(unsigned level, const char* text, const char* aux) {
  Record(level, "", aux, text, false);
  return 0;
}

STAND_IN_EXPORT int QLOTRACERAWA(unsigned level, const char* module, const char* aux, const char* text) {
  Record(level, module, aux, text, true);
  return 0;
}

STAND_IN_EXPORT void stand_in_reset() {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_calls.clear();
}

STAND_IN_EXPORT size_t stand_in_count() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_calls.size();
}

// Copies call i into the caller's buffers; returns false past the end.
STAND_IN_EXPORT bool stand_in_get(size_t i, unsigned* level, char* module, size_t moduleSize, char* text,
                                  size_t textSize, size_t* fullTextLength) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (i >= g_calls.size()) return false;
  const Call& c = g_calls[i];
  *level = c.level;
  snprintf(module, moduleSize, "%s", c.module.c_str());
  snprintf(text, textSize, "%s", c.text.c_str());
  *fullTextLength = c.text.size();
  return true;
}
