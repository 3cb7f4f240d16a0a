#include "privileged/MoreCFQ.h"

#include "platform/system/Assert.h"

namespace tvl {

int CFQError(const cf::Object* object) noexcept {
  return object ? 0 : coreFoundationUnknownErr;
}

int CFQErrorBoolean(bool flag) noexcept {
  return flag ? 0 : coreFoundationUnknownErr;
}

void CFQRelease(const cf::Object* object) noexcept {
  if (object) object->release();
}

int CFQArrayCreateMutable(cf::Array** result) {
  TVL_ASSERT(result != nullptr);
  TVL_ASSERT(*result == nullptr);
  *result = cf::Array::create().detach();
  return CFQError(*result);
}

}  // namespace tvl
