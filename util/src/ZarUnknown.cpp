#include "ZarUnknown.h"

namespace zar {

CZarUnknownImpl::~CZarUnknownImpl() = default;

CmResult CZarUnknownImpl::QueryInterface(const _tagUUID& aIid, void** aOut) {
  if (!aOut) return ZAR_E_POINTER;
  if (aIid != IID_IZarUnknown) {
    *aOut = nullptr;
    return ZAR_E_NOINTERFACE;
  }
  *aOut = this;
  AddReference();
  return ZAR_S_OK;
}

void CZarUnknownImpl::OnReferenceDestory() { delete this; }

}  // namespace zar
