// The loader of interface files (.ui) both applications use.
#pragma once

#include <QCoreApplication>
#include <QStringList>
#include <QUiLoader>

#include <memory>

namespace tvl::bundle {

// A QUiLoader (or a subclass of it) made without Qt Designer's plugins. QUiLoader loads
// every Designer plugin installed on the machine when it is made: with Designer installed,
// that is Qt Quick's widget plugin and Qt Quick and QML behind it, a fifth of Mac Tovalo's
// start. Our interface files hold Qt's own widgets and ours, which the loader makes without
// any plugin. The plugin folders come from the library paths, which are hidden only while
// the loader is made.
template <class Loader = QUiLoader>
std::unique_ptr<Loader> makeInterfaceLoader() {
  const QStringList paths = QCoreApplication::libraryPaths();
  QCoreApplication::setLibraryPaths({});
  auto loader = std::make_unique<Loader>();
  QCoreApplication::setLibraryPaths(paths);
  return loader;
}

}  // namespace tvl::bundle
