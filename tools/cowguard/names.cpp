#include "names.h"

#include <cerrno>
#include <cstring>
#include <sstream>

#include "args.h"
#include "cgd-names.h"

namespace cowguard::tool {
namespace {

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
  const CgdName* s = cgdFindName(cgdStatusNames, CGD_NAME_COUNT(cgdStatusNames), code);
  return s ? s->name : "";
}

std::optional<long> status_by_name(const std::string& name) {
  for (const auto& s : cgdStatusNames)
    if (name == s.name) return s.value;
  return std::nullopt;
}

std::string status_meaning(long code) {
  const CgdName* s = cgdFindName(cgdStatusNames, CGD_NAME_COUNT(cgdStatusNames), code);
  return s ? s->meaning : "unknown status";
}

std::string state_name(unsigned state) {
  const CgdName* s = cgdFindName(cgdStateNames, CGD_NAME_COUNT(cgdStateNames), state);
  return s ? s->name : "";
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
