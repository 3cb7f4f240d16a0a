// Object conveniences of the helper-tool scheme: turning a missing object into an error
// code, and null-tolerant release.
#pragma once

#include "platform/cf/PropertyList.h"

namespace tvl {

// The status code for an object that could not be made or a call that failed.
constexpr int coreFoundationUnknownErr = -4960;

// 0 for an object, coreFoundationUnknownErr for null.
int CFQError(const cf::Object* object) noexcept;
// 0 for true, coreFoundationUnknownErr for false.
int CFQErrorBoolean(bool flag) noexcept;
// Releases the object once; does nothing for null.
void CFQRelease(const cf::Object* object) noexcept;
// *result must be null on entry. On 0 it holds a new empty array (members retained)
// that the caller owns and releases.
int CFQArrayCreateMutable(cf::Array** result);

}  // namespace tvl
