#include "common/CommandLine.h"

#include <cstdio>
#include <string_view>

namespace tvl::commandline {

Question askedOf(int argc, const char* const* argv) {
  Question asked = Question::None;
  for (int i = 1; i < argc && argv[i]; ++i) {
    std::string_view arg = argv[i];
    if (arg == "--") break;
    if (arg == "--help" || arg == "-h") return Question::Help;
    if (arg == "--version") asked = Question::Version;
  }
  return asked;
}

const char* version() {
  return TVL_VERSION;
}

std::optional<int> answer(int argc, const char* const* argv, const About& about) {
  switch (askedOf(argc, argv)) {
    case Question::None:
      return std::nullopt;
    case Question::Version:
      std::printf("%s %s\n", about.name.c_str(), version());
      break;
    case Question::Help:
      std::printf(
          "Usage: %s\n\n%s\nOptions that every program of the product answers:\n"
          "  -h, --help     show this help and exit\n"
          "      --version  show the version and exit\n",
          about.usage.c_str(), about.text.c_str());
      break;
  }
  return std::fflush(stdout) == 0 ? 0 : 1;
}

}  // namespace tvl::commandline
