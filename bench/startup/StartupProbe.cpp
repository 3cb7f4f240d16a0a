// startup-probe --tray|--window CLASS -- command [args...]
//
// Starts command and prints the milliseconds from its exec to the moment the X server
// shows what a user waits for: a viewable window of the class (instance or class name of
// WM_CLASS) at least 100x100 (--window), or one of at most 64x64 inside another window
// (--tray: a tray icon a tray host has embedded). The window tree is looked at every
// millisecond. The command is then ended (SIGTERM, then SIGKILL) and waited for.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

template <class T>
using Reply = std::unique_ptr<T, decltype(&std::free)>;

bool hasClass(xcb_connection_t* c, xcb_window_t w, const std::string& wanted) {
  Reply<xcb_get_property_reply_t> p(
      xcb_get_property_reply(
          c, xcb_get_property(c, 0, w, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 0, 256), nullptr),
      &std::free);
  if (!p) return false;
  const char* value = static_cast<const char*>(xcb_get_property_value(p.get()));
  int length = xcb_get_property_value_length(p.get());
  // "instance\0class\0"
  for (int start = 0; start < length;) {
    std::string name(value + start, strnlen(value + start, length - start));
    if (name == wanted) return true;
    start += int(name.size()) + 1;
  }
  return false;
}

// Depth-first over the tree below w; true once a matching window is found.
bool found(xcb_connection_t* c, xcb_window_t w, bool tray, const std::string& wanted, int depth) {
  Reply<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(c, xcb_query_tree(c, w), nullptr),
                                     &std::free);
  if (!tree) return false;
  xcb_window_t* children = xcb_query_tree_children(tree.get());
  int n = xcb_query_tree_children_length(tree.get());
  for (int i = 0; i < n; ++i) {
    xcb_window_t child = children[i];
    Reply<xcb_get_window_attributes_reply_t> a(
        xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, child), nullptr),
        &std::free);
    if (!a || a->map_state != XCB_MAP_STATE_VIEWABLE) continue;
    Reply<xcb_get_geometry_reply_t> g(
        xcb_get_geometry_reply(c, xcb_get_geometry(c, child), nullptr), &std::free);
    if (g && hasClass(c, child, wanted)) {
      bool fits = tray ? (depth > 0 && g->width <= 64 && g->height <= 64)
                       : (g->width >= 100 && g->height >= 100);
      if (fits) return true;
    }
    if (found(c, child, tray, wanted, depth + 1)) return true;
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5 || (std::strcmp(argv[1], "--tray") != 0 && std::strcmp(argv[1], "--window") != 0) ||
      std::strcmp(argv[3], "--") != 0) {
    std::fprintf(stderr, "usage: startup-probe --tray|--window CLASS -- command [args...]\n");
    return 2;
  }
  bool tray = std::strcmp(argv[1], "--tray") == 0;
  std::string wanted = argv[2];
  xcb_connection_t* c = xcb_connect(nullptr, nullptr);
  if (xcb_connection_has_error(c)) {
    std::fprintf(stderr, "startup-probe: no X display\n");
    return 2;
  }
  xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;

  Clock::time_point start = Clock::now();
  pid_t pid = ::fork();
  if (pid == 0) {
    ::execvp(argv[4], argv + 4);
    std::perror(argv[4]);
    ::_exit(127);
  }
  bool shown = false;
  Clock::time_point end = start + std::chrono::seconds(20);
  while (!(shown = found(c, root, tray, wanted, 0)) && Clock::now() < end) {
    if (::waitpid(pid, nullptr, WNOHANG) == pid) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  ::kill(pid, SIGTERM);
  for (int i = 0; i < 100 && ::waitpid(pid, nullptr, WNOHANG) == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  if (::kill(pid, 0) == 0) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
  }
  xcb_disconnect(c);
  if (!shown) {
    std::fprintf(stderr, "startup-probe: %s showed nothing of class %s\n", argv[4], wanted.c_str());
    return 1;
  }
  std::printf("%.1f\n", ms);
  return 0;
}
