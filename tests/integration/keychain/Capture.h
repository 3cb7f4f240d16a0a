// Helpers of the keychain tests: what a call wrote to a standard stream, and the
// independent client secret-tool to see and plant items.
#pragma once

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

namespace keychaintest {

// Collects what is written to a descriptor (1 or 2) while it lives.
class Capture {
 public:
  explicit Capture(int fd) : fd_(fd) {
    std::fflush(nullptr);
    char name[] = "/tmp/tvl-capture.XXXXXX";
    file_ = mkstemp(name);
    unlink(name);
    saved_ = dup(fd_);
    dup2(file_, fd_);
  }
  ~Capture() { restore(); }
  Capture(const Capture&) = delete;
  Capture& operator=(const Capture&) = delete;

  // Everything written so far; the capture goes on.
  std::string text() {
    std::fflush(nullptr);
    std::string out;
    char buffer[4096];
    for (off_t at = 0;;) {
      const ssize_t n = pread(file_, buffer, sizeof buffer, at);
      if (n <= 0) break;
      out.append(buffer, static_cast<size_t>(n));
      at += n;
    }
    return out;
  }

 private:
  void restore() {
    if (saved_ < 0) return;
    std::fflush(nullptr);
    dup2(saved_, fd_);
    close(saved_);
    close(file_);
    saved_ = -1;
  }
  int fd_;
  int file_ = -1;
  int saved_ = -1;
};

// Runs a shell command with the given standard input; returns its standard output
// (and, with the flag, its standard error instead).
inline std::string run(const std::string& command, const std::string& input = {},
                       bool wantStderr = false) {
  char outName[] = "/tmp/tvl-run.XXXXXX";
  const int out = mkstemp(outName);
  std::string line = "(" + command + ") " + (wantStderr ? "2>" : ">") + outName +
                     (wantStderr ? " >/dev/null" : " 2>/dev/null");
  if (FILE* pipe = popen(line.c_str(), "w")) {
    if (!input.empty()) std::fwrite(input.data(), 1, input.size(), pipe);
    pclose(pipe);
  }
  std::string text;
  char buffer[4096];
  for (ssize_t n; (n = read(out, buffer, sizeof buffer)) > 0;)
    text.append(buffer, static_cast<size_t>(n));
  close(out);
  unlink(outName);
  return text;
}

// Plants an item as another program would. attributes: "key 'value' key 'value' ...".
inline void plant(const std::string& attributes, const std::string& secret) {
  run("secret-tool store --label='Mac Tovalo' " + attributes, secret);
}

// The secrets of all items that carry the attributes, in the service's order.
inline std::vector<std::string> secrets(const std::string& attributes) {
  std::vector<std::string> found;
  const std::string out = run("secret-tool search --all " + attributes);
  const std::string key = "\nsecret = ";
  for (size_t at = out.find(key); at != std::string::npos; at = out.find(key, at + 1)) {
    const size_t start = at + key.size();
    found.push_back(out.substr(start, out.find('\n', start) - start));
  }
  return found;
}

// The attribute lines ("attribute.account = bob") of those items.
inline std::string attributeLines(const std::string& attributes) {
  return run("secret-tool search --all " + attributes, {}, true);
}

}  // namespace keychaintest
