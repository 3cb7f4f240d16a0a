// A stand-in tool that breaks the protocol in the ways a real tool could (chosen by
// FAKE_TOOL_MODE), so that the controller's side of the exchange can be checked.
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "platform/cf/PropertyList.h"
#include "privileged/MoreCFQ.h"
#include "privileged/MoreSecurity.h"
#include "privileged/MoreUNIX.h"

using namespace tvl;

namespace {
void writeLength(int32_t length) {
  MoreUNIXWrite(1, &length, sizeof length, nullptr);
}

void respond(const cf::Object* fds) {
  cf::Ref<cf::Dictionary> response = cf::Dictionary::create();
  response->setValue(kMoreSecErrorNumberKey, cf::Number::createSInt32(0).get());
  if (fds) response->setValue(kMoreSecFileDescriptorsKey, fds);
  WriteDictionaryToDescriptor(response.get(), 1);
}
}  // namespace

int main() {
  MoreUNIXIgnoreSIGPIPE();
  const char* env = std::getenv("FAKE_TOOL_MODE");
  std::string mode = env ? env : "";
  unsigned char form[32];
  if (MoreUNIXRead(0, form, sizeof form, nullptr) != 0) return 4;
  cf::Dictionary* request = nullptr;
  if (CopyDictionaryFromDescriptor(0, &request) != 0) return 4;
  CFQRelease(request);

  if (mode == "signal") ::raise(SIGKILL);
  if (mode == "exit2") {
    respond(nullptr);
    return 2;
  }
  if (mode == "exit9") {
    respond(nullptr);
    return 9;
  }
  if (mode == "fds3") {
    // Three pipes whose read ends carry "X", "Y" and "Z".
    cf::Ref<cf::Array> list = cf::Array::create();
    int ends[3];
    for (int i = 0; i < 3; ++i) {
      int p[2];
      if (::pipe(p) != 0) return 4;
      char c = char('X' + i);
      if (::write(p[1], &c, 1) != 1) return 4;
      ::close(p[1]);
      ends[i] = p[0];
      list->append(cf::Number::createSInt32(p[0]).get());
    }
    respond(list.get());
    for (int fd : ends) MoreUNIXWriteDescriptor(1, fd);
    return 0;
  }
  if (mode == "fdsnumber") {
    respond(cf::Number::createSInt32(0).get());
    MoreUNIXWriteDescriptor(1, 0);
    return 0;
  }
  if (mode == "fdsnegative") {
    cf::Ref<cf::Array> list = cf::Array::create();
    list->append(cf::Number::createSInt32(0).get());
    list->append(cf::Number::createSInt32(-1).get());
    respond(list.get());
    MoreUNIXWriteDescriptor(1, 0);
    return 0;
  }
  if (mode == "len0") writeLength(0);
  if (mode == "lenbig") writeLength(1048577);
  if (mode == "early0") return 0;
  if (mode == "echo") respond(nullptr);
  return 0;
}
