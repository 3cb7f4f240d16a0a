// The helper-tool scheme's shared part, linked by both ends: the request and response
// frames on a descriptor, and the mapping between errors and the tool's exit statuses.

#include "privileged/MoreSecurity.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "platform/cf/PropertyListXML.h"
#include "platform/system/Assert.h"
#include "platform/system/Paths.h"
#include "privileged/MoreCFQ.h"
#include "privileged/MoreUNIX.h"

namespace tvl {

using cf::Ref;
using tvl::system::kLocalDomain;
using tvl::system::kTemporaryFolderType;
using tvl::system::kUserDomain;

const char kMoreSecErrorNumberKey[] = "com.apple.dts.MoreIsBetter.MoreSec.ErrorNumber";
const char kMoreSecFileDescriptorsKey[] = "com.apple.dts.MoreIsBetter.MoreSec.FDs";

namespace {

// A request or a response is a handful of keys, nested a few levels. These bounds keep
// what a hostile frame can make the reader build (and free, recursively) well inside the
// tool's data and stack limits.
constexpr cf::ReadLimits kFrameLimits{.maxDepth = 64, .maxNodes = 10000};

}  // namespace

// ---- Request protocol ----

int WriteDictionaryToDescriptor(const cf::Dictionary* dict, int fdOut) {
  TVL_ASSERT(dict != nullptr);
  TVL_ASSERT(fdOut >= 0);
  std::string xml;
  if (!cf::createXMLData(dict, &xml)) return coreFoundationUnknownErr;
  std::unique_ptr<char[]> buffer(new (std::nothrow) char[xml.size() + 4]);
  if (!buffer) return memFullErr;
  uint32_t length = static_cast<uint32_t>(xml.size());
  std::memcpy(buffer.get(), &length, 4);
  std::memcpy(buffer.get() + 4, xml.data(), xml.size());
  return MoreUNIXWrite(fdOut, buffer.get(), xml.size() + 4, nullptr);
}

int CopyDictionaryFromDescriptor(int fdIn, cf::Dictionary** dictResult) {
  TVL_ASSERT(fdIn >= 0);
  TVL_ASSERT(dictResult != nullptr && *dictResult == nullptr);
  int32_t length = 0;
  int err = MoreUNIXRead(fdIn, &length, sizeof length, nullptr);
  if (err != 0) return err;
  if (length == 0) return paramErr;
  if (length < 0 || static_cast<uint32_t>(length) > kMoreSecMaxFrameLength) return memFullErr;
  std::unique_ptr<char[]> bytes(new (std::nothrow) char[static_cast<size_t>(length)]);
  if (!bytes) return memFullErr;
  err = MoreUNIXRead(fdIn, bytes.get(), static_cast<size_t>(length), nullptr);
  if (err != 0) return err;
  Ref<cf::Object> plist =
      cf::createFromXML(std::string_view(bytes.get(), size_t(length)), nullptr, kFrameLimits);
  if (!plist) return coreFoundationUnknownErr;
  if (plist->typeID() != cf::TypeID::Dictionary) return paramErr;
  *dictResult = static_cast<cf::Dictionary*>(plist.detach());
  return 0;
}

void MoreSecCloseDescriptorArray(const cf::Array* descArray) {
  if (descArray == nullptr) return;
  for (size_t i = 0; i < descArray->count(); ++i) {
    int32_t fd = -1;
    const cf::Number* number = cf::as<cf::Number>(descArray->valueAt(i));
    TVL_ASSERT(number != nullptr && number->getSInt32(&fd) && fd >= 0);
    int closed = ::close(fd);
    TVL_ASSERT(closed == 0 || errno == EINTR);
  }
}

int MoreSecGetErrorFromResponse(const cf::Dictionary* response) {
  TVL_ASSERT(response != nullptr);
  int32_t err = 0;
  const cf::Number* number = cf::as<cf::Number>(response->valueForKey(kMoreSecErrorNumberKey));
  if (number == nullptr || !number->getSInt32(&err)) return coreFoundationUnknownErr;
  return err;
}

int MoreSecErrorToHelperToolResult(int err) {
  switch (err) {
    case 0:
      return 0;
    case auth::errAuthorizationDenied:
      return 2;
    case auth::errAuthorizationCanceled:
      return 3;
    case kHelperToolNotRootErr:
    case kHelperToolDeniedErr:
    case kHelperToolCanceledErr:
    case kHelperToolRepairFailedErr:
      return err - kMoreSecFirstHelperToolErr;
    default:
      return 4;
  }
}

int MoreSecHelperToolResultToError(int result) {
  if (result == 0) return 0;
  if (result >= 1 && result <= 4) return kMoreSecFirstHelperToolErr + result;
  return kHelperToolRepairFailedErr;
}

}  // namespace tvl
