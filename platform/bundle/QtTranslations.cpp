#include "platform/bundle/QtTranslations.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

#include "platform/bundle/Bundle.h"

namespace tvl::bundle {

bool installQtTranslations(const Bundle& bundle) {
  std::string language = bundle.localization();
  const std::string suffix = ".lproj";
  if (language.size() > suffix.size() &&
      language.compare(language.size() - suffix.size(), suffix.size(), suffix) == 0)
    language.resize(language.size() - suffix.size());
  if (language.empty() || language == "English") return false;
  // Never destroyed: Qt looks texts up in it until the application is gone.
  static auto* translator = new QTranslator();
  // "pt_BR" tries qt_pt_BR.qm, then qt_pt.qm: the same fallback as the bundle's languages.
  if (!translator->load(QLocale(QString::fromStdString(language)), "qt", "_",
                        QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
    return false;
  return QCoreApplication::installTranslator(translator);
}

}  // namespace tvl::bundle
