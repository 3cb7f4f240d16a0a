// What every program of the product answers before it does anything else, so that a
// person who starts one from a terminal learns what it is: --help (what it does and how
// it is started) and --version. Both print on standard output and end the program with
// status 0 before any window, bus name, screen or privilege is touched.
#pragma once

#include <optional>
#include <string>

namespace tvl::commandline {

enum class Question { None, Help, Version };

// The question argv asks: --help (or -h) wins over --version; arguments after a lone "--"
// are not looked at. argv[0] is the program's own name.
Question askedOf(int argc, const char* const* argv);

// What a program says of itself.
struct About {
  std::string name;   // as a person knows it: "Mac Tovalo", "tvl-portal-vnc"
  std::string usage;  // the lines after "Usage: "
  std::string text;   // what it is and what it does, ending with a newline
};

// The product's version.
const char* version();

// Answers the question argv asks, if any, and gives the exit status; nullopt when it asks
// none and the program goes on.
std::optional<int> answer(int argc, const char* const* argv, const About& about);

}  // namespace tvl::commandline
