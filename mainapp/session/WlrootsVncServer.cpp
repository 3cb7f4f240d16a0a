#include "mainapp/session/WlrootsVncServer.h"

#include "mainapp/session/PortalVncServer.h"

namespace tvl::session {

bool WlrootsVncServer::start(const Setup& setup, EndCause* problem) {
  return launch(
      setup, portalServerPath(),
      {"--wlroots", "--unix-socket", setup.socket, "--password-file", setup.folder + "/vnc.pw"},
      QProcess::SeparateChannels, problem);
}

}  // namespace tvl::session
