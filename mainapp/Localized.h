// The main application's texts in the user's language: looked up by their English text in
// the bundle's Localizable.strings, so that a text without translation shows in English.
#pragma once

#include <QString>

namespace tvl::mainapp {

QString localized(const char* english);

}  // namespace tvl::mainapp
