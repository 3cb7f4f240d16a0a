#include "mainapp/Localized.h"

#include "platform/bundle/Bundle.h"

namespace tvl::mainapp {

QString localized(const char* english) {
  return QString::fromStdString(bundle::Bundle::mainBundle().localizedStringForKey(english, ""));
}

}  // namespace tvl::mainapp
