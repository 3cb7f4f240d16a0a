// libFuzzer target: the bytes the helper tool reads as a request frame (length, then an
// XML property list). Whatever arrives, the reader must answer with a status and never
// crash, leak or hang; a frame it accepts must survive being written and read again; and
// the reader's bounds must hold for what libplist builds, however the tags are spelled.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/cf/PropertyList.h"
#include "platform/cf/PropertyListXML.h"
#include "privileged/MoreCFQ.h"
#include "privileged/MoreSecurity.h"
#include "privileged/MoreUNIX.h"

using namespace tvl;

namespace {

// A pipe holding exactly the given bytes, its write end closed.
int pipeWith(const uint8_t* data, size_t size) {
  int p[2];
  if (::pipe2(p, O_CLOEXEC) != 0) std::abort();
  // Room for the largest input the fuzzer is allowed to make.
  ::fcntl(p[1], F_SETPIPE_SZ, 1 << 20);
  if (size > 0 && MoreUNIXWrite(p[1], data, size, nullptr) != 0) std::abort();
  ::close(p[1]);
  return p[0];
}

cf::Dictionary* readFrame(int fd, int* err) {
  cf::Dictionary* dict = nullptr;
  *err = CopyDictionaryFromDescriptor(fd, &dict);
  if ((*err == 0) != (dict != nullptr)) std::abort();
  return dict;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  MoreUNIXIgnoreSIGPIPE();
  return 0;
}

// The markup scan bounds what libplist may build. With bounds small enough for short
// inputs to reach, libplist must never build more than the scan counted: the reader says
// so with its own reason, which would mean a spelling the scan reads differently.
void checkTheScanSeesWhatLibplistBuilds(const uint8_t* data, size_t size) {
  if (size <= 4) return;
  std::string error;
  cf::createFromXML(std::string_view(reinterpret_cast<const char*>(data) + 4, size - 4), &error,
                    cf::ReadLimits{.maxDepth = 5, .maxNodes = 16});
  if (error == "markup the scan did not see") std::abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  checkTheScanSeesWhatLibplistBuilds(data, size);
  int fd = pipeWith(data, size);
  int err = 0;
  cf::Ref<cf::Dictionary> dict = cf::Ref<cf::Dictionary>::adopt(readFrame(fd, &err));
  ::close(fd);
  if (!dict) return 0;

  // Round trip: what was accepted is written as a frame and read back unchanged.
  int p[2];
  if (::pipe2(p, O_CLOEXEC) != 0) std::abort();
  ::fcntl(p[1], F_SETPIPE_SZ, 1 << 20);
  if (WriteDictionaryToDescriptor(dict.get(), p[1]) != 0) std::abort();
  ::close(p[1]);
  cf::Ref<cf::Dictionary> again = cf::Ref<cf::Dictionary>::adopt(readFrame(p[0], &err));
  ::close(p[0]);
  if (!again || !cf::equal(dict.get(), again.get())) std::abort();
  return 0;
}
