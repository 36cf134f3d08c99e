#include "exit_codes.h"

#include <stdexcept>
#include <system_error>

#include "backup.h"
#include "format.h"

namespace cowguard::tool {

Failure failure_of(const std::exception_ptr& ep) {
  try {
    std::rethrow_exception(ep);
  } catch (const agent::FormatError& e) {
    return {e.kind() == agent::FormatError::Kind::missing ? kExitMissing : kExitCorrupt, e.what()};
  } catch (const agent::LockBusy& e) {
    return {kExitFailed, e.what()};
  } catch (const agent::SourceMismatch& e) {
    return {kExitUsage, e.what()};
  } catch (const agent::Interrupted&) {
    return {kExitInterrupted, "interrupted; what it was writing has been removed"};
  } catch (const std::bad_alloc&) {
    return {kExitFailed, "out of memory"};
  } catch (const std::exception& e) {
    return {kExitFailed, e.what()};
  } catch (...) {
    return {kExitFailed, "unknown error"};
  }
}

}  // namespace cowguard::tool
