// JSON forms of what a backup reports, shared by the demo and the daemon.
#pragma once
#include <nlohmann/json.hpp>

#include "stats.h"

#include "backup.h"

namespace cowguard::tool {

// The module's statistics record as the stats command returned it.
nlohmann::json stats_json(const Stats& s);

// One backup's result: point, kind, blocks, bytes, times, the reasons for a
// fallback or a new chain, and the module's statistics when it gave them.
nlohmann::json backup_result_json(const agent::BackupResult& r);

}  // namespace cowguard::tool
