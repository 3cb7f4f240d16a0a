// Shared by the install and package tests: shell commands with their status, files and
// modes of an installed tree, desktop-entry keys.
#pragma once

#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>

#include "support/Files.h"
#include "support/Shell.h"

using testsupport::readFile;

namespace installtest {

namespace fs = std::filesystem;

using testsupport::Outcome;
using testsupport::run;
using testsupport::shellWord;

// Runs a command that starts programs which outlive it: they must not hold the pipe that
// run() reads to its end, so the output goes through a file.
inline Outcome launch(const std::string& command, const fs::path& log) {
  Outcome r = run(command + " </dev/null >'" + log.string() + "' 2>&1");
  std::ifstream in(log);
  std::ostringstream s;
  s << in.rdbuf();
  r.output = s.str();
  return r;
}

// Runs an installation command (cmake --install, cpack) of the build. Either rewrites the
// build's install_manifest.txt, which says what a developer's own installation put where:
// it is kept as it was.
inline Outcome keepingInstallManifest(const fs::path& build, const std::string& command) {
  fs::path manifest = build / "install_manifest.txt";
  std::string kept;
  bool had = fs::exists(manifest);
  if (had) {
    std::ifstream in(manifest, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    kept = s.str();
  }
  Outcome r = run(command);
  if (had) {
    std::ofstream(manifest, std::ios::binary | std::ios::trunc) << kept;
  } else {
    std::error_code ec;
    fs::remove(manifest, ec);
  }
  return r;
}

// `cmake --install build --component desktop --prefix prefix` with env's settings (arguments
// of `env`): the desktop side, what the tovalo-desktop package holds.
inline Outcome cmakeInstall(const fs::path& build, const fs::path& prefix, const std::string& env) {
  return keepingInstallManifest(build, "env " + env + " " + shellWord(CMAKE_COMMAND) +
                                           " --install " + shellWord(build.string()) +
                                           " --component desktop --prefix " +
                                           shellWord(prefix.string()));
}

// Every file and link below root (relative path -> mode bits incl. set-user-ID), and the
// folders with their modes under a trailing "/".
inline std::map<std::string, unsigned> tree(const fs::path& root) {
  std::map<std::string, unsigned> found;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root, ec);
       it != fs::recursive_directory_iterator(); it.increment(ec)) {
    struct stat st {};
    if (::lstat(it->path().c_str(), &st) != 0) continue;
    // Lexically: fs::relative would name a link by its target.
    std::string rel = it->path().lexically_relative(root).string();
    if (S_ISDIR(st.st_mode)) rel += "/";
    found[rel] = st.st_mode & 07777;
  }
  return found;
}

// The value of key in a desktop entry's [Desktop Entry] group; "" when missing.
inline std::string entryValue(const std::string& entry, const std::string& key) {
  std::istringstream in(entry);
  bool inGroup = false;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line[0] == '[') inGroup = line == "[Desktop Entry]";
    if (inGroup && line.rfind(key + "=", 0) == 0) return line.substr(key.size() + 1);
  }
  return "";
}

// The program of an Exec value: its first word, unquoted as the desktop entry rules say.
inline std::string execProgram(const std::string& exec) {
  std::string value;  // the string value's own escapes first
  for (size_t i = 0; i < exec.size(); ++i) {
    if (exec[i] == '\\' && i + 1 < exec.size() && exec[i + 1] == '\\') {
      value += '\\';
      ++i;
    } else {
      value += exec[i];
    }
  }
  std::string word;
  if (value.empty() || value[0] != '"') return value.substr(0, value.find(' '));
  for (size_t i = 1; i < value.size(); ++i) {
    if (value[i] == '\\' && i + 1 < value.size()) {
      word += value[++i];
    } else if (value[i] == '"') {
      return word;
    } else {
      word += value[i];
    }
  }
  return "";  // unterminated
}

}  // namespace installtest
