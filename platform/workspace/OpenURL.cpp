// GIO's headers are read without Qt's: Qt's "signals" macro breaks them.
#include "platform/workspace/OpenURL.h"

#include <gio/gio.h>

namespace tvl::workspace {

bool openWithDefaultHandler(const std::string& url, std::string* why) {
  GError* error = nullptr;
  if (g_app_info_launch_default_for_uri(url.c_str(), nullptr, &error)) return true;
  if (why) *why = error ? error->message : "no handler";
  if (error) g_error_free(error);
  return false;
}

}  // namespace tvl::workspace
