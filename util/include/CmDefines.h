// CmDefines.h - the export macro and the few fixed-width names every public
// header of the library uses. Include this (directly or through another
// public header) before anything else of the library.
#ifndef CM_DEFINES_H
#define CM_DEFINES_H

#include <cstddef>
#include <cstdint>

// The library is built with hidden visibility; exactly what carries CM_EXPORT
// is its interface. Names the engine calls without C++ mangling are declared
// inside CM_EXTERN_C_BEGIN / CM_EXTERN_C_END.
#define CM_EXPORT __attribute__((visibility("default")))

#ifdef __cplusplus
#define CM_EXTERN_C_BEGIN extern "C" {
#define CM_EXTERN_C_END }
#else
#define CM_EXTERN_C_BEGIN
#define CM_EXTERN_C_END
#endif

// 32-bit unsigned word of the engine's interfaces (thread ids, flags).
typedef uint32_t DWORD;

#endif  // CM_DEFINES_H
