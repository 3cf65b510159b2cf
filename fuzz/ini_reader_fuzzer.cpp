// Fuzzes the ini reader: the input is "<section>\x01<key>\x01<file text>"
// (a section of "\x02" means the null section). The reader must agree with
// a plain model of the format for several value-buffer sizes, never write
// past the buffer, and always leave a terminated text.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "CmConfigInitFileInternal.h"

namespace {

bool Blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string Trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && Blank(s[b])) ++b;
  while (e > b && Blank(s[e - 1])) --e;
  return s.substr(b, e - b);
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return s;
}

// The lines as the reader sees them: pieces of at most 2047 bytes ending
// after a newline, each cut at its first NUL byte.
std::vector<std::string> Lines(const std::string& aText) {
  std::vector<std::string> lines;
  size_t pos = 0;
  while (pos < aText.size()) {
    size_t len = 0;
    while (len < 2047 && pos + len < aText.size()) {
      if (aText[pos + len++] == '\n') break;
    }
    std::string piece = aText.substr(pos, len);
    lines.push_back(piece.substr(0, piece.find('\0')));
    pos += len;
  }
  return lines;
}

// Model: returns whether found and the value before the buffer cut.
bool Model(const std::string& aText, const char* aSection, const std::string& aKey, std::string& aValue) {
  bool inside = aSection == nullptr;
  for (const std::string& line : Lines(aText)) {
    const std::string t = Trim(line);
    if (!t.empty() && t[0] == '#') continue;
    const size_t open = line.find('['), close = line.find(']');
    if (open != std::string::npos && close != std::string::npos) {
      if (inside) return false;
      const std::string name = open < close ? Trim(line.substr(open + 1, close - open - 1)) : "";
      inside = aSection && Lower(name) == Lower(aSection);
      continue;
    }
    const size_t eq = line.find('=');
    if (!inside || eq == std::string::npos || Lower(Trim(line.substr(0, eq))) != Lower(aKey)) continue;
    std::string v = Trim(line.substr(eq + 1));
    if (v.size() >= 2 && (v[0] == '"' || v[0] == '\'') && v.back() == v[0]) v = Trim(v.substr(1, v.size() - 2));
    aValue = v;
    return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
  const std::string input(reinterpret_cast<const char*>(aData), aSize);
  const size_t first = input.find('\x01');
  const size_t second = first == std::string::npos ? std::string::npos : input.find('\x01', first + 1);
  std::string section = "s", key = "k", text = input;
  if (second != std::string::npos) {
    section = input.substr(0, first);
    key = input.substr(first + 1, second - first - 1);
    text = input.substr(second + 1);
  }
  // Names end at a NUL as the C interface reads them.
  section = section.substr(0, section.find('\0'));
  key = key.substr(0, key.find('\0'));
  const char* sectionArg = section == "\x02" ? nullptr : section.c_str();

  std::string modelValue;
  const bool modelFound = Model(text, sectionArg, key, modelValue);
  for (const unsigned long size : {1ul, 2ul, 7ul, 256ul, 4096ul}) {
    std::vector<char> buf(size + 16, '\x5a');
    const unsigned char found = CmIniLookupInText(text.data(), text.size(), sectionArg, key.c_str(), buf.data(), size);
    for (size_t i = size; i < buf.size(); ++i) {
      if (buf[i] != '\x5a') __builtin_trap();  // wrote past the buffer
    }
    const size_t len = strnlen(buf.data(), size);
    if (len == size) __builtin_trap();  // not terminated
    std::string expect = modelFound ? modelValue.substr(0, size - 1) : "";
    const bool expectFound = !expect.empty();
    if (expectFound && expect.back() == ';') expect.pop_back();
    if ((found != 0) != expectFound || std::string(buf.data(), len) != expect) __builtin_trap();
  }
  return 0;
}
