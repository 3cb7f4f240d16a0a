#include "platform/bundle/InterfaceStrings.h"

#include <QStackedWidget>
#include <QTabWidget>
#include <QWidget>

#include <cstdio>

namespace tvl::bundle {

namespace {

QWidget* widgetNamed(QWidget* root, const QString& name) {
  return root->objectName() == name ? root : root->findChild<QWidget*>(name);
}

// A page of a tab widget lives in the tab widget's stack; its title is the tab's text.
QTabWidget* tabWidgetOf(QWidget* page) {
  auto* stack = qobject_cast<QStackedWidget*>(page->parentWidget());
  return stack ? qobject_cast<QTabWidget*>(stack->parentWidget()) : nullptr;
}

}  // namespace

void localizeInterface(QWidget* root, const Bundle& bundle, const std::string& interfaceName) {
  const StringTable* table = bundle.translationTable(interfaceName);
  if (!root || !table) return;
  for (const auto& [key, text] : *table) {
    size_t dot = key.rfind('.');
    QWidget* w = dot == std::string::npos
                     ? nullptr
                     : widgetNamed(root, QString::fromStdString(key.substr(0, dot)));
    const std::string property = dot == std::string::npos ? "" : key.substr(dot + 1);
    const QString value = QString::fromStdString(text);
    if (w && property == "title") {
      if (QTabWidget* tabs = tabWidgetOf(w)) {
        tabs->setTabText(tabs->indexOf(w), value);
        continue;
      }
    }
    // Only declared properties: setting another would add a dynamic one and show nothing.
    if (w && w->metaObject()->indexOfProperty(property.c_str()) >= 0 &&
        w->setProperty(property.c_str(), value))
      continue;
    std::fprintf(stderr, "%s/%s.strings: \"%s\" names no text of the interface\n",
                 bundle.localization().c_str(), interfaceName.c_str(), key.c_str());
  }
}

}  // namespace tvl::bundle
