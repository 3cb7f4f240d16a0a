// Mac Tovalo: the scripting framework's initializer first, then the application.
#include "mainapp/MainApplication.h"

using namespace tvl;

int main(int argc, char** argv) {
  mainapp::callScriptingInitializer();
  return mainapp::NSApplicationMain(argc, argv);
}
