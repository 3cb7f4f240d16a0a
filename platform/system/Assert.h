// Precondition checks. A broken precondition is a programming error, not a runtime
// failure: print one line "<module>:<line>: failed assertion `<expr>'" and abort.
// Unlike <cassert> this stays on in release builds: the helper tool runs as root and
// must never go on with a broken invariant.
#pragma once

namespace tvl {
[[noreturn]] void assertionFailed(const char* module, unsigned line,
                                  const char* expression) noexcept;
}

#define TVL_ASSERT(expr) \
  ((expr) ? static_cast<void>(0) : ::tvl::assertionFailed(__FILE__, __LINE__, #expr))
