// CmError.h - the library's result codes.
//
// Every operation returns a CmResult: 0 for success, any other value has 0x46
// in its top byte and names what went wrong. No operation reports failure by
// throwing (the few standard exceptions that escape are named where they
// can). IS_ZAR_OK(x) is the success test used by callers and assertion texts.
#ifndef CM_ERROR_H
#define CM_ERROR_H

#include "CmDefines.h"

typedef int32_t CmResult;

#define ZAR_S_OK                 ((CmResult)0)
#define ZAR_S_FALSE              ((CmResult)0x46000001)  // done without effect or answer
#define ZAR_E_FAIL               ((CmResult)0x46004001)  // general failure
#define ZAR_E_OUTOFMEMORY        ((CmResult)0x46004002)
#define ZAR_E_INVALIDARG         ((CmResult)0x46004003)
#define ZAR_E_NOTIMPL            ((CmResult)0x46004004)
#define ZAR_E_NOINTERFACE        ((CmResult)0x46004005)
#define ZAR_E_POINTER            ((CmResult)0x46004006)
#define ZAR_E_UNEXPECTED         ((CmResult)0x46004008)  // state forbids the operation
#define ZAR_E_NOT_FOUND          ((CmResult)0x46004103)
#define ZAR_E_ALREADY_CREATED    ((CmResult)0x46004132)
#define ZAR_E_THREAD_UNAVAILABLE ((CmResult)0x46004133)
#define ZAR_E_NOT_AVAILABLE      ((CmResult)0x46004134)
#define ZAR_E_ALREADY_EXISTS     ((CmResult)0x46004136)  // replaced an earlier schedule
#define ZAR_E_PARTIAL_DATA       ((CmResult)0x46004137)
#define ZAR_E_TIMEOUT            ((CmResult)0x46004138)
#define ZAR_E_BUFFER_TOO_SMALL   ((CmResult)0x46004140)
#define ZAR_E_EVENT_HOOKED       ((CmResult)0x46004142)

#define IS_ZAR_OK(x) ((x) == ZAR_S_OK)

#endif  // CM_ERROR_H
