#include "report.h"

#include <string>

namespace cowguard::tool {

using nlohmann::json;

json stats_json(const Stats& s) {
  auto t = [](const StatsTime& x) { return static_cast<double>(x.tv_sec) + static_cast<double>(x.tv_nsec) / 1e9; };
  return {{"major", s.major}, {"minor", s.minor}, {"state", s.state},
          {"partition_start", s.partitionStart}, {"block_size", s.blockSize},
          {"blocks_per_page", s.blocksPerPage}, {"partition_size_kb", s.partitionSizeKB},
          {"num_blocks", s.numBlocks}, {"max_vm_pages", s.maxVMPages}, {"vm_pages", s.vmPages},
          {"max_cache_blocks", s.maxCacheBlocks}, {"cur_alloc_am_pages", s.curAllocAMPages},
          {"total_alloc_pages", s.totalAllocPages}, {"cur_alloc_pages", s.curAllocPages},
          {"total_alloc_brs", s.totalAllocBRs}, {"cur_alloc_brs", s.curAllocBRs},
          {"total_alloc_cps", s.totalAllocCPs}, {"cur_alloc_cps", s.curAllocCPs},
          {"peak_alloc_cps", s.peakAllocCPs}, {"total_cbs", s.totalCBs}, {"cur_cbs", s.curCBs},
          {"total_read_blocks", s.totalReadBlocks}, {"total_read_cbs", s.totalReadCBs},
          {"total_cleaned_cbs", s.totalCleanedCBs}, {"ioctl_count", s.ioctlCount},
          {"time_to_freeze_seconds", t(s.eTimeToFreeze)}, {"frozen_seconds", t(s.eTimeFrozen)}};
}

json backup_result_json(const agent::BackupResult& r) {
  json j = {{"point", r.sequence},
            {"kind", std::string(agent::kind_name(r.kind))},
            {"requested_incremental", r.requested_incremental},
            {"chain", r.chain},
            {"file", r.file},
            {"major", r.major},
            {"minor", r.minor},
            {"block_size", r.block_size},
            {"total_blocks", r.total_blocks},
            {"all_blocks", r.all_blocks},
            {"blocks_changed", r.blocks_changed},
            {"blocks_taken", r.blocks_wanted},
            {"blocks_from_store", r.blocks_from_store},
            {"blocks_from_disk", r.blocks_from_disk},
            {"bytes_written", r.bytes_written},
            {"frozen_seconds", r.frozen_seconds},
            {"elapsed_seconds", r.elapsed_seconds},
            {"throughput_bytes_per_second", r.throughput},
            {"key_stored", r.key_stored}};
  if (!r.fallback_reason.empty()) j["fallback_reason"] = r.fallback_reason;
  if (!r.catalog_note.empty()) j["catalog_note"] = r.catalog_note;
  if (!r.fs_note.empty()) j["fs_note"] = r.fs_note;
  if (r.stats) j["module_stats"] = stats_json(*r.stats);
  return j;
}

}  // namespace cowguard::tool
