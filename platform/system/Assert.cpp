#include "platform/system/Assert.h"

#include <cstdio>
#include <cstdlib>

namespace tvl {

void assertionFailed(const char* module, unsigned line, const char* expression) noexcept {
  std::fprintf(stderr, "%s:%u: failed assertion `%s'\n", module, line, expression);
  std::fflush(stderr);
  std::abort();
}

}  // namespace tvl
