// Interface files keep one layout for every language: their English texts stand in the
// file, and a translation is a table <interface>.strings in the language's .lproj folder
// whose keys are "objectName.property" ("startStopButton.text", "preferencesWindow.windowTitle";
// "page.title" names a tab widget's page).
#pragma once

#include <string>

#include "platform/bundle/Bundle.h"

class QWidget;

namespace tvl::bundle {

// Gives the widgets under root (root included) the texts of the bundle's translation table
// for the interface file interfaceName ("Preferences" for Preferences.ui). English, or a
// language without that table, leaves the file's texts. Keys that name no widget or
// property are reported on standard error, for the translator; the rest still apply.
void localizeInterface(QWidget* root, const Bundle& bundle, const std::string& interfaceName);

}  // namespace tvl::bundle
