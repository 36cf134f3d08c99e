#include "demo.h"

#include <ostream>

#include "exit_codes.h"

namespace cowguard::tool {

int demo_command(const DemoArgs&, std::ostream&, std::ostream& err) {
  err << "cowguard demo: not built yet\n";
  return kExitFailed;
}

}  // namespace cowguard::tool
