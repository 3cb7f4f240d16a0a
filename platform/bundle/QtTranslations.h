// Qt's own texts (the standard buttons of message boxes and button boxes, the context menu
// of text fields) in the language the bundle chose, from the system's Qt translations.
#pragma once

namespace tvl::bundle {

class Bundle;

// Installs, into the running Qt application, Qt's translation for the bundle's
// localization ("de.lproj": qt_de.qm from Qt's translations folder). English, or a language
// for which the system has no Qt translation, leaves Qt's English texts; false then.
// The translator lives as long as the process.
bool installQtTranslations(const Bundle& bundle);

}  // namespace tvl::bundle
