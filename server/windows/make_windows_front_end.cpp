// The factory that ties the windows to the server core; built only beside velweb_core.
#include "web_server_core.h"
#include "windows_front_end.h"

namespace vel {

std::unique_ptr<FrontEnd> MakeWindowsFrontEnd(WebServerCore& core) {
  return std::make_unique<WindowsFrontEnd>(WindowsFrontEnd::CoreHandlers{
      [&core] { core.Form_Activate(); },
      [&core] { return core.Form_QueryUnload(UnloadReason::kUserClose); },
  });
}

}  // namespace vel
