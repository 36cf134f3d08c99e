#include "names.h"

#include <cerrno>
#include <cstring>
#include <sstream>

#include "args.h"

namespace cowguard::tool {
namespace {

struct StatusInfo {
  long code;
  const char* name;
  const char* meaning;
};

constexpr StatusInfo kStatuses[] = {
    {CGD_OK, "CGD_OK", "success"},
    {CGD_ERR_NOT_READY, "CGD_ERR_NOT_READY", "module not ready, or the device has no request queue"},
    {CGD_ERR_INVALID, "CGD_ERR_INVALID", "invalid argument, no session, or wrong session state"},
    {CGD_ERR_UNAVAILABLE, "CGD_ERR_UNAVAILABLE", "unavailable (unloading, unusable block size)"},
    {CGD_ERR_BAD_COMMAND, "CGD_ERR_BAD_COMMAND", "unknown command number"},
    {CGD_ERR_NO_MEMORY, "CGD_ERR_NO_MEMORY", "out of memory"},
    {CGD_ERR_COPY_IN, "CGD_ERR_COPY_IN", "a record could not be read from user space"},
    {CGD_ERR_COPY_OUT, "CGD_ERR_COPY_OUT", "a record could not be written to user space"},
    {CGD_ERR_NO_DEVICE, "CGD_ERR_NO_DEVICE", "no file system mounted on the device"},
    {CGD_ERR_BACKUP_OPEN, "CGD_ERR_BACKUP_OPEN", "another backup holds the module"},
    {CGD_ERR_ALREADY_STARTED, "CGD_ERR_ALREADY_STARTED", "this session was already started"},
    {CGD_ERR_IO, "CGD_ERR_IO", "I/O error reading blocks"},
};

struct StateInfo {
  unsigned value;
  const char* name;
};

constexpr StateInfo kStates[] = {
    {CGD_STATE_IDLE, "CGD_STATE_IDLE"},
    {CGD_STATE_STARTING, "CGD_STATE_STARTING"},
    {CGD_STATE_STARTED, "CGD_STATE_STARTED"},
    {CGD_STATE_SNAPPED, "CGD_STATE_SNAPPED"},
    {CGD_STATE_LOADING_MAP, "CGD_STATE_LOADING_MAP"},
    {CGD_STATE_READING, "CGD_STATE_READING"},
    {CGD_STATE_CLOSING, "CGD_STATE_CLOSING"},
    {CGD_STATE_READ_ERROR, "CGD_STATE_READ_ERROR"},
    {CGD_STATE_MAP_ERROR, "CGD_STATE_MAP_ERROR"},
    {CGD_STATE_CACHE_ERROR, "CGD_STATE_CACHE_ERROR"},
    {CGD_STATE_REFUSED, "CGD_STATE_REFUSED"},
    {CGD_STATE_HOOK_ERROR, "CGD_STATE_HOOK_ERROR"},
};

struct CommandInfo {
  unsigned long cmd;
  const char* name;
};

constexpr CommandInfo kCommands[] = {
    {CGD_GET_BLOCK_SIZE, "CGD_GET_BLOCK_SIZE"},
    {CGD_START_BACKUP, "CGD_START_BACKUP"},
    {CGD_SNAPSHOT, "CGD_SNAPSHOT"},
    {CGD_GET_STATE, "CGD_GET_STATE"},
    {CGD_GET_AUTOMAP_STATE, "CGD_GET_AUTOMAP_STATE"},
    {CGD_NO_LOAD_FROM_AUTOMAP, "CGD_NO_LOAD_FROM_AUTOMAP"},
    {CGD_NO_START_AUTOMAP, "CGD_NO_START_AUTOMAP"},
    {CGD_LOAD_BLOCK_MAP, "CGD_LOAD_BLOCK_MAP"},
    {CGD_GET_AUTOMAP, "CGD_GET_AUTOMAP"},
    {CGD_GET_DIRTY_BLOCK, "CGD_GET_DIRTY_BLOCK"},
    {CGD_READ_BLOCKS, "CGD_READ_BLOCKS"},
    {CGD_GET_VERSION_MAJOR, "CGD_GET_VERSION_MAJOR"},
    {CGD_GET_VERSION_MINOR, "CGD_GET_VERSION_MINOR"},
    {CGD_SYNC, "CGD_SYNC"},
    {CGD_SHUTDOWN, "CGD_SHUTDOWN"},
    {CGD_CMD_16, "CGD_CMD_16"},
    {CGD_GET_STATS, "CGD_GET_STATS"},
};

}  // namespace

std::string status_name(long code) {
  for (const auto& s : kStatuses)
    if (s.code == code) return s.name;
  return "";
}

std::optional<long> status_by_name(const std::string& name) {
  for (const auto& s : kStatuses)
    if (name == s.name) return s.code;
  return std::nullopt;
}

std::string status_meaning(long code) {
  for (const auto& s : kStatuses)
    if (s.code == code) return s.meaning;
  return "unknown status";
}

std::string state_name(unsigned state) {
  for (const auto& s : kStates)
    if (s.value == state) return s.name;
  return "";
}

std::string errno_name(int err) {
  const char* n = strerrorname_np(err);
  return n ? n : "E" + std::to_string(err);
}

std::optional<int> errno_by_name(const std::string& name) {
  if (name.size() < 2 || name[0] != 'E') return std::nullopt;
  for (int e = 1; e < 256; e++) {
    const char* n = strerrorname_np(e);
    if (n && name == n) return e;
  }
  return std::nullopt;
}

std::string command_name(unsigned long cmd) {
  for (const auto& c : kCommands)
    if (c.cmd == cmd) return c.name;
  return "";
}

std::string devname(std::uint32_t dev) {
  return std::to_string(dev >> 20) + ":" + std::to_string(dev & 0xfffff);
}

std::string format(const BlockSize& r) {
  std::ostringstream o;
  o << "BlockSize major=" << r.major << " minor=" << r.minor << " blockSize=" << r.blockSize
    << " partitionSizeKB=" << r.partitionSizeKB;
  return o.str();
}

std::string format(const State& r) {
  std::ostringstream o;
  o << "State major=" << r.major << " minor=" << r.minor << " state=" << r.state;
  std::string n = state_name(r.state);
  if (!n.empty()) o << " (" << n << ")";
  o << " blockSize=" << r.blockSize << " mmapSize=" << r.mmapSize;
  return o.str();
}

std::string format(const AutoMapState& r) {
  std::ostringstream o;
  o << "AutoMapState major=" << r.major << " minor=" << r.minor << " state=" << r.state
    << (r.state == CGD_AUTOMAP_IN_SYNC ? " (in sync)" : " (not in sync)") << " mapLen=" << r.mapLen
    << " mapSize=" << r.mapSize << " key=" << to_hex(r.amsKey.key, 8) << "...";
  return o.str();
}

std::string format(const Stats& s, const std::string& indent) {
  std::ostringstream o;
  auto t = [](const StatsTime& v) {
    char buf[48];
    std::snprintf(buf, sizeof buf, "%lld.%09lld", v.tv_sec, v.tv_nsec);
    return std::string(buf);
  };
  o << indent << "Stats major=" << s.major << " minor=" << s.minor << " state=" << s.state
    << " partitionStart=" << s.partitionStart << " blockSize=" << s.blockSize
    << " blocksPerPage=" << s.blocksPerPage << "\n";
  o << indent << "  partitionSizeKB=" << s.partitionSizeKB << " numBlocks=" << s.numBlocks
    << " maxVMPages=" << s.maxVMPages << " vmPages=" << s.vmPages
    << " maxCacheBlocks=" << s.maxCacheBlocks << " curAllocAMPages=" << s.curAllocAMPages << "\n";
  o << indent << "  totalAllocPages=" << s.totalAllocPages << " curAllocPages=" << s.curAllocPages
    << " totalAllocBRs=" << s.totalAllocBRs << " curAllocBRs=" << s.curAllocBRs
    << " totalAllocCPs=" << s.totalAllocCPs << " curAllocCPs=" << s.curAllocCPs
    << " peakAllocCPs=" << s.peakAllocCPs << "\n";
  o << indent << "  totalCBs=" << s.totalCBs << " curCBs=" << s.curCBs
    << " totalReadBlocks=" << s.totalReadBlocks << " totalReadCBs=" << s.totalReadCBs
    << " totalCleanedCBs=" << s.totalCleanedCBs << " ioctlCount=" << s.ioctlCount << "\n";
  o << indent << "  eTimeToFreeze=" << t(s.eTimeToFreeze) << " eTimeFrozen=" << t(s.eTimeFrozen)
    << "\n";
  return o.str();
}

}  // namespace cowguard::tool
