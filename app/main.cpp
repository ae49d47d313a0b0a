#include "app/Engines.h"
#include "app/Headless.h"
#include "app/prevcode.h"
#include "catalogue/Product.h"
#include "platform/Process.h"

#ifdef DRAVIK_DESKTOP
// The desktop front (app/Desktop*.cpp): the main window and its tray; returns the
// exit code.
int RunDesktop();
#endif

int main() {
  if (CheckPreviousInstance(kMainWindowTitle, kInstanceName)) return 0;
  RaiseDescriptorLimit();
  RegisterEngines();
  int code = 0;
#ifdef DRAVIK_DESKTOP
  if (DisplayAvailable())
    code = RunDesktop();
  else
#endif
    code = RunHeadless();
  ReleaseInstanceGuard();
  return code;
}
