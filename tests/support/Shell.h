// Shell commands in tests: run one through /bin/sh with its status and output, and quote a
// word for it.
#pragma once

#include <sys/wait.h>

#include <cstdio>
#include <string>

namespace testsupport {

struct Outcome {
  int status = -1;
  std::string output;  // standard output and standard error together
};

// Runs command through /bin/sh; stderr joins stdout.
inline Outcome run(const std::string& command) {
  Outcome r;
  FILE* p = ::popen((command + " 2>&1").c_str(), "r");
  if (!p) return r;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) r.output.append(buf, n);
  int s = ::pclose(p);
  r.status = WIFEXITED(s) ? WEXITSTATUS(s) : 128;
  return r;
}

// One word for /bin/sh, whatever it holds.
inline std::string shellWord(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

}  // namespace testsupport
