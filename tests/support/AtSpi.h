// What a screen reader learns of a program: its accessible objects read from the AT-SPI
// bus by tests/support/atspi-tree, and the controls among them that it could not name.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace testsupport::atspi {

struct Object {
  std::string role, name, description, labelledBy, states;
  bool has(const std::string& state) const {
    return ("," + states + ",").find("," + state + ",") != std::string::npos;
  }
};

inline std::string run(const std::string& arguments) {
  const std::string command = std::string(std::getenv("TVL_SOURCE_DIR")) +
                              "/tests/support/atspi-tree " + arguments + " 2>/dev/null";
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), ::pclose);
  std::string out;
  char buffer[4096];
  while (pipe && std::fgets(buffer, sizeof buffer, pipe.get())) out += buffer;
  return out;
}

// Switches the desktop's accessibility on, as a screen reader does: programs started from
// then on put their tree on the accessibility bus.
inline void enable() {
  run("enable");
}

inline std::vector<Object> parse(const std::string& out) {
  std::vector<Object> objects;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    std::vector<std::string> fields;
    std::istringstream cells(line);
    for (std::string cell; std::getline(cells, cell, '\t');) fields.push_back(cell);
    fields.resize(5);
    objects.push_back({fields[0], fields[1], fields[2], fields[3], fields[4]});
  }
  return objects;
}

// Every object of the program's windows (the program's accessible name: its executable's).
inline std::vector<Object> tree(const std::string& program) {
  return parse(run("tree '" + program + "'"));
}

// The object that has the keyboard focus, as a screen reader announces it.
inline std::optional<Object> focused(const std::string& program) {
  auto found = parse(run("focus '" + program + "'"));
  if (found.empty()) return std::nullopt;
  return found.front();
}

// The controls a user operates that a screen reader would announce by their role alone:
// no name, and no label that names them. One line each, for the failure message.
inline std::vector<std::string> unnamedControls(const std::vector<Object>& objects) {
  static const std::set<std::string> controls = {
      "push button", "toggle button", "check box", "radio button", "combo box", "text",
      "entry",       "password text", "page tab",  "spin button",  "slider"};
  std::vector<std::string> unnamed;
  for (const Object& o : objects)
    if (controls.count(o.role) && o.name.empty() && o.labelledBy.empty())
      unnamed.push_back(o.role + " (" + o.states + ")");
  return unnamed;
}

inline const Object* find(const std::vector<Object>& objects, const std::string& role,
                          const std::string& name) {
  for (const Object& o : objects)
    if (o.role == role && o.name == name) return &o;
  return nullptr;
}

}  // namespace testsupport::atspi
