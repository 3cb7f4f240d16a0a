// The process's one instance of a class whose callers ask for "the shared one".
//
// init makes it with the caller's arguments the first time and answers that one to every
// later call; existing() answers it or null. It is never destroyed by the exit handlers:
// a process can end without returning from main (Qt ends it when the display goes away),
// and an instance's window-system objects must not be torn down after the connection
// they belong to. A program that wants its instance ended calls release() while what the
// instance uses still exists.
#pragma once

#include <memory>
#include <utility>

namespace tvl {

template <class T>
class SharedInstance {
 public:
  template <class... Args>
  static T& init(Args&&... args) {
    std::unique_ptr<T>& slot = holder();
    if (!slot) slot = std::make_unique<T>(std::forward<Args>(args)...);
    return *slot;
  }
  static T* existing() { return holder().get(); }
  static void release() { holder().reset(); }

 private:
  static std::unique_ptr<T>& holder() {
    static auto* slot = new std::unique_ptr<T>();
    return *slot;
  }
};

}  // namespace tvl
