// CmConfigInitFile.h - the ini configuration file: its reader, the free
// getters of the engine's main configuration file, and CCmConfigInitFile.
//
// Reading is off until the host calls enable_config_io_feature(true); until
// then every lookup (except get_string_param_from_ini_force) reads as not
// found and the callers' defaults apply. Files are opened per lookup and
// closed at once; nothing is cached, so an edit takes effect on the next
// lookup.
//
// Which to use:
//  - get_string_param / get_bool_param / get_*_param: the engine's main file,
//    <executable's directory>/conf/NAME, NAME being "quillo.cfg" unless
//    set_quillo_config_file_name() changed it.
//  - CCmConfigInitFile: typed getters with defaults over any file (by
//    default <executable's directory>/quillo.cfg), through a lookup function
//    that RegisterFunc can replace (for example by an in-memory source).
//  - get_string_param_from_ini_force: one lookup in a given file, also while
//    reading is off.
//
// File format, line by line (lines longer than 2047 characters are read in
// pieces of 2047, each piece as a line; whitespace is space, tab, CR, LF):
//  - a line whose first non-whitespace character is '#' is a comment;
//  - a line holding both '[' and ']' anywhere is a section header; the name
//    is the text between the first '[' and the first ']', trimmed (empty
//    when the ']' comes first); names compare without regard to case;
//  - inside the wanted section a line with '=' is an entry: key before the
//    first '=', value after it, both trimmed; keys compare without regard to
//    case; other lines are ignored;
//  - a value of two or more characters that begins and ends with the same
//    quotation mark (' or ") loses both marks and the whitespace inside them;
//  - entries before the first header are found only with a null section;
//  - only the first section of the wanted name is searched;
//  - a trailing ';' of the value is dropped after the value is copied out
//    (so a quoted value followed by ';' keeps its marks).
#ifndef CM_CONFIG_INIT_FILE_H
#define CM_CONFIG_INIT_FILE_H

#include "CmDefines.h"
#include "CmString.h"

CM_EXTERN_C_BEGIN

// The lookup behind CCmConfigInitFile: non-zero when a value was found and
// written (terminated, at most aValueSize - 1 characters) to aValue.
typedef unsigned char (*CmConfigLookupFunc)(const char* aPath, const char* aSection, const char* aKey, char* aValue,
                                            int aValueSize);

// Process-wide switch of configuration-file reading (initially off).
CM_EXPORT void enable_config_io_feature(bool aEnable);

// Looks aKey up in aSection (null: before the first header) of the file
// aPath, also while reading is off. aValue receives the value cut to
// aSize - 1 characters (empty when not found). Non-zero when found with a
// non-empty value (a value of ";" alone also counts, leaving ""); zero for a
// missing file, section or key, a null aValue or an aSize of 0 (then aValue
// is not written).
CM_EXPORT unsigned char get_string_param_from_ini_force(const char* aPath, const char* aSection, const char* aKey,
                                                        char* aValue, unsigned long aSize);
// As above, but zero while reading is off.
CM_EXPORT unsigned char get_string_param_from_configfile(const char* aPath, const char* aSection, const char* aKey,
                                                         char* aValue, unsigned long aSize);
// Lookup in the main configuration file; zero while reading is off.
CM_EXPORT unsigned char get_string_param(const char* aSection, const char* aKey, char* aValue, unsigned long aSize);

// Typed lookups in the main file. Found: get_bool_param gives 1 for "TRUE"
// in any case, else 0. The number getters read a decimal number (leading
// whitespace and a sign allowed; text that is no number gives 0):
// get_uint32_param saturates at 4294967295 and wraps a negative value to 32
// bits, get_int_param saturates at the 32-bit limits, get_uint16_param keeps
// the low 16 bits of get_int_param's value. Not found (or reading off):
// get_bool_param gives aDefault, the others 0.
CM_EXPORT unsigned char get_bool_param(const char* aSection, const char* aKey, unsigned char aDefault);
CM_EXPORT unsigned long get_uint32_param(const char* aSection, const char* aKey);
CM_EXPORT unsigned short get_uint16_param(const char* aSection, const char* aKey);
CM_EXPORT int get_int_param(const char* aSection, const char* aKey);

// The executable's directory, ending with '/'. The text stays valid for the
// life of the process.
CM_EXPORT const char* get_quillo_home_dir(void);

CM_EXTERN_C_END

// Sets the main configuration file's name (inside "<exe dir>/conf/").
CM_EXPORT void set_quillo_config_file_name(const CCmString& aName);

// Typed getters over one ini file. The object owns its private state (path,
// lookup function, lock); it is not copyable.
//
// Every getter calls the lookup function with the object's path, the
// section, the key and a 256-byte buffer, and returns its default when
// there is no lookup function or it finds nothing:
//  - GetBoolParam: 1 for "TRUE" in any case, else 0;
//  - GetWordParam: the number as "%hu" reads it (low 16 bits); the default
//    when no number can be read;
//  - GetDwordParam: an unsigned 32-bit decimal number; 4294967295, which is
//    also what an overflow gives, becomes the default;
//  - GetIntParam: a signed 32-bit decimal number; 2147483647 and
//    -2147483648 (overflow) become the default;
//  - GetFloatParam: a float; NaN, infinities and magnitudes of 2^31 or more
//    become the default.
// Text that does not start with a number reads as 0 in the last three.
//
// Thread safety: any thread; lookups of one object are serialised by its
// lock. The static settings may be changed from any thread.
class CM_EXPORT CCmConfigInitFile {
 public:
  // <executable's directory>/quillo.cfg.
  CCmConfigInitFile();
  explicit CCmConfigInitFile(CCmString aFileName);
  ~CCmConfigInitFile();
  CCmConfigInitFile(const CCmConfigInitFile&) = delete;
  CCmConfigInitFile& operator=(const CCmConfigInitFile&) = delete;

  // Kept for the engine's callers: does nothing and returns 0.
  int InitWithFileName(const CCmString& aFileName);
  // Replaces the lookup function (initially the one behind
  // get_string_param_from_configfile, so reading must be enabled); null
  // makes every getter return its default.
  void RegisterFunc(CmConfigLookupFunc aFunc);
  CCmString GetFileName() const;

  int GetBoolParam(const CCmString& aSection, const CCmString& aKey, int aDefault);
  CCmString GetStringParam(const CCmString& aSection, const CCmString& aKey, CCmString aDefault);
  unsigned short GetWordParam(const CCmString& aSection, const CCmString& aKey, unsigned short aDefault);
  unsigned long GetDwordParam(const CCmString& aSection, const CCmString& aKey, unsigned long aDefault);
  int GetIntParam(const CCmString& aSection, const CCmString& aKey, int aDefault);
  float GetFloatParam(const CCmString& aSection, const CCmString& aKey, float aDefault);

  // Sets the main configuration file's name (as set_quillo_config_file_name)
  // and traces it at level 2.
  static void SetQuilloConfigFileName(const CCmString& aName);
  // Stores the first 511 characters of a non-empty text (nothing reads it).
  static void SetQuilloHomeEnv(const CCmString& aText);
  static CCmString GetQuilloHomeDir();

 private:
  struct Impl;
  // Calls the lookup under the lock; false when there is none or it fails.
  bool Lookup(const CCmString& aSection, const CCmString& aKey, char (&aValue)[256]);

  Impl* m_pImpl;
};

#endif  // CM_CONFIG_INIT_FILE_H
