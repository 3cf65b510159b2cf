// ScopedTempDir / ScopedEnv - a private temporary directory for one test and
// environment variables set for the life of a scope, so tests never touch
// the user's real directories.
//
//   ScopedTempDir dir;                         // /tmp/zar-test-XXXXXX, removed at the end
//   ScopedEnv env("USERPROFILE", dir.Path());  // restored at the end
#ifndef ZAR_TEST_SCOPED_TEMP_DIR_H
#define ZAR_TEST_SCOPED_TEMP_DIR_H

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

class ScopedTempDir {
 public:
  ScopedTempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "zar-test-XXXXXX").string();
    if (mkdtemp(pattern.data())) m_strPath = pattern;
  }
  ~ScopedTempDir() {
    std::error_code ec;
    if (!m_strPath.empty()) std::filesystem::remove_all(m_strPath, ec);
  }
  ScopedTempDir(const ScopedTempDir&) = delete;
  ScopedTempDir& operator=(const ScopedTempDir&) = delete;

  const std::string& Path() const { return m_strPath; }
  std::string File(const std::string& aName) const { return m_strPath + "/" + aName; }
  // Writes aContents to aName inside the directory; returns the full path.
  std::string Write(const std::string& aName, const std::string& aContents) const {
    const std::string path = File(aName);
    std::ofstream(path, std::ios::binary) << aContents;
    return path;
  }

 private:
  std::string m_strPath;
};

inline std::string ReadWholeFile(const std::string& aPath) {
  std::ifstream in(aPath, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

class ScopedEnv {
 public:
  // A null aValue unsets the variable for the scope.
  ScopedEnv(const char* aName, const char* aValue) : m_strName(aName) {
    const char* old = getenv(aName);
    m_bHadValue = old != nullptr;
    if (old) m_strOld = old;
    if (aValue) setenv(aName, aValue, 1);
    else unsetenv(aName);
  }
  ScopedEnv(const char* aName, const std::string& aValue) : ScopedEnv(aName, aValue.c_str()) {}
  ~ScopedEnv() {
    if (m_bHadValue) setenv(m_strName.c_str(), m_strOld.c_str(), 1);
    else unsetenv(m_strName.c_str());
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string m_strName;
  std::string m_strOld;
  bool m_bHadValue;
};

#endif  // ZAR_TEST_SCOPED_TEMP_DIR_H
