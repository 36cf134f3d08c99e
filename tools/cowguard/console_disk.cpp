// Console steps for the machine: disks, partition tables, file systems,
// mounts, device I/O and fault injection.
#include <cerrno>
#include <cstring>
#include <ostream>

#include "console.h"
#include "names.h"
#include "proc.h"
#include "standin/fault.h"

namespace cowguard::tool {

namespace blk = standin::block;
namespace fault = standin::fault;

namespace {

Console::Outcome from_errno(int neg) { return Console::Outcome{false, neg, 0, ""}; }
Console::Outcome from_bool(bool ok) {
  return ok ? Console::Outcome{} : Console::Outcome{false, -1, 0, "FAILED"};
}

struct SiteName {
  fault::Site site;
  const char* name;
};
constexpr SiteName kSites[] = {
    {fault::Site::kmalloc, "kmalloc"},         {fault::Site::vmalloc, "vmalloc"},
    {fault::Site::slab_alloc, "slab_alloc"},   {fault::Site::slab_create, "slab_create"},
    {fault::Site::page_alloc, "page_alloc"},   {fault::Site::kthread, "kthread"},
    {fault::Site::bio_alloc, "bio_alloc"},     {fault::Site::bh_alloc, "bh_alloc"},
};

}  // namespace

// The disk's settings from the fields of a disk step.
blk::DiskConfig Console::disk_config(const Fields& f) const {
  blk::DiskConfig cfg;
  cfg.major = static_cast<unsigned>(uint_field(f, "major", cfg.major));
  cfg.minors = static_cast<int>(uint_field(f, "minors", 0));
  if (auto v = f.get("first-minor")) cfg.first_minor = static_cast<int>(uint_arg(*v, "first-minor"));
  if (auto v = f.get("name")) cfg.name = *v;
  if (auto v = f.get("queue")) cfg.with_queue = *v == "1" || *v == "yes";
  if (auto v = f.get("sparse")) cfg.sparse = *v == "1" || *v == "yes";
  if (auto v = f.get("direct")) cfg.direct = *v == "1" || *v == "yes";
  cfg.workers = static_cast<int>(uint_field(f, "workers", 2));
  return cfg;
}

// Keeps a disk the disk step made and prints it with its partitions.
Console::Outcome Console::disk_added(std::unique_ptr<blk::Disk> d, std::string path) {
  if (!d) return Outcome{false, -1, errno, errno ? "" : "FAILED"};
  out_ << "  disk " << d->name() << " " << devname(d->dev()) << " sectors=" << d->sectors()
       << (d->queue() ? "" : " (no queue)") << "\n";
  for (const auto& p : d->partitions())
    out_ << "  partition " << d->name() << p.number << " " << devname(d->part_dev(p.number))
         << " start=" << p.start << " sectors=" << p.sectors << "\n";
  disks_.push_back(DiskEntry{std::move(d), std::move(path)});
  return Outcome{};
}

Console::Outcome Console::step_disk(const Fields& f) {
  std::string kind = need(f, 0, "ram or file");
  auto cfg = disk_config(f);
  errno = 0;
  if (kind == "ram") {
    auto bytes = size_arg(need(f, 1, "SIZE"), "SIZE");
    return disk_added(blk::Disk::ram(bytes / 512, cfg), "");
  }
  if (kind == "file") {
    std::string path = need(f, 1, "PATH");
    std::uint64_t sectors = 0;
    if (f.positional().size() > 2) sectors = size_arg(f.positional()[2], "SIZE") / 512;
    return disk_added(blk::Disk::file(path, sectors, cfg), path);
  }
  throw UsageError("disk kind must be ram or file");
}

Console::Outcome Console::step_disks(const Fields&) {
  for (const auto& d : disks_) {
    out_ << "  disk " << d.disk->name() << " " << devname(d.disk->dev())
         << " sectors=" << d.disk->sectors();
    if (!d.path.empty()) out_ << " file=" << d.path;
    out_ << (mounted_.count(d.disk->dev()) ? " mounted" : "") << "\n";
    for (const auto& p : d.disk->partitions()) {
      auto dev = d.disk->part_dev(p.number);
      out_ << "  partition " << d.disk->name() << p.number << " " << devname(dev)
           << " start=" << p.start << " sectors=" << p.sectors
           << (mounted_.count(dev) ? " mounted" : "") << "\n";
    }
  }
  return Outcome{};
}

Console::Outcome Console::step_mbr(const Fields& f) {
  auto& d = disk(need(f, 0, "DISK"));
  std::vector<blk::MbrEntry> parts;
  for (std::size_t i = 1; i < f.positional().size(); i++) {
    const std::string& w = f.positional()[i];
    auto c1 = w.find(':');
    if (c1 == std::string::npos) throw UsageError("partition '" + w + "' is not START:SIZE");
    auto c2 = w.find(':', c1 + 1);
    blk::MbrEntry e;
    e.start = size_arg(w.substr(0, c1), "START") / 512;
    if (e.start == 0 || e.start >= d.disk->sectors())
      throw UsageError("partition '" + w + "' does not start inside the disk, after sector 0");
    std::string len = w.substr(c1 + 1, c2 == std::string::npos ? std::string::npos : c2 - c1 - 1);
    e.sectors = len == "rest" ? d.disk->sectors() - e.start : size_arg(len, "SIZE") / 512;
    if (c2 != std::string::npos) e.type = static_cast<std::uint8_t>(uint_arg(w.substr(c2 + 1), "TYPE"));
    parts.push_back(e);
  }
  if (!blk::write_mbr(*d.disk, parts)) return from_bool(false);
  int rc = d.disk->rescan();
  for (const auto& p : d.disk->partitions())
    out_ << "  partition " << d.disk->name() << p.number << " " << devname(d.disk->part_dev(p.number))
         << " start=" << p.start << " sectors=" << p.sectors << "\n";
  return from_errno(rc);
}

Console::Outcome Console::step_rescan(const Fields& f) {
  return from_errno(disk(need(f, 0, "DISK")).disk->rescan());
}

Console::Outcome Console::step_mkfs(const Fields& f) {
  std::string type = need(f, 0, "testfs or ext4");
  auto dev = device(need(f, 1, "DEV"));
  if (type == "testfs") {
    auto bs = uint_arg(need(f, 2, "BLOCKSIZE"), "BLOCKSIZE");
    return from_bool(blk::format_testfs(dev, static_cast<std::uint32_t>(bs)));
  }
  if (type != "ext4") throw UsageError("file system must be testfs or ext4");
  std::uint64_t bs = f.positional().size() > 2 ? uint_arg(f.positional()[2], "BLOCKSIZE") : 4096;
  if (mounted_.count(dev)) throw UsageError(devname(dev) + " is mounted");
  std::string path;
  for (const auto& d : disks_) {
    if (d.path.empty()) continue;
    bool mine = d.disk->dev() == dev;
    for (const auto& p : d.disk->partitions()) mine = mine || d.disk->part_dev(p.number) == dev;
    if (mine) path = d.path;
  }
  if (path.empty()) throw UsageError("ext4 needs a partition of a file disk");
  std::uint64_t offset = blk::device_start(dev) * 512;
  std::uint64_t blocks = blk::device_sectors(dev) * 512 / bs;
  std::string output;
  int rc = run_program({"mke2fs", "-t", "ext4", "-b", std::to_string(bs), "-E",
                        "offset=" + std::to_string(offset), "-F", "-q", path,
                        std::to_string(blocks)},
                       &output);
  if (rc != 0) {
    std::string line;
    for (char c : output) {
      if (c == '\n') {
        out_ << "  mke2fs: " << line << "\n";
        line.clear();
      } else {
        line += c;
      }
    }
    if (!line.empty()) out_ << "  mke2fs: " << line << "\n";
    return Outcome{false, rc, 0, "mke2fs FAILED"};
  }
  out_ << "  ext4 blocks=" << blocks << " blockSize=" << bs << "\n";
  return Outcome{};
}

Console::Outcome Console::step_mount(const Fields& f) {
  auto dev = device(need(f, 0, "DEV"));
  int rc = blk::mount(dev);
  if (rc == 0) {
    mounted_.insert(dev);
    blk::FsInfo info;
    if (blk::fs_info(dev, &info)) out_ << "  " << info.type << " blockSize=" << info.block_size << "\n";
  }
  return from_errno(rc);
}

Console::Outcome Console::step_umount(const Fields& f) {
  auto dev = device(need(f, 0, "DEV"));
  int rc = blk::umount(dev);
  if (rc == 0) mounted_.erase(dev);
  return from_errno(rc);
}

Console::Outcome Console::step_fsinfo(const Fields& f) {
  blk::FsInfo i;
  if (!blk::fs_info(device(need(f, 0, "DEV")), &i)) return from_errno(-EINVAL);
  out_ << "  " << i.type << " blockSize=" << i.block_size << " frozen=" << i.frozen
       << " lockfs=" << i.lockfs_calls << " unlockfs=" << i.unlockfs_calls << "\n";
  return Outcome{};
}

Console::Outcome Console::step_write(const Fields& f) {
  auto dev = device(need(f, 0, "DEV"));
  auto sector = uint_arg(need(f, 1, "SECTOR"), "SECTOR");
  auto count = uint_arg(need(f, 2, "COUNT"), "COUNT");
  auto pattern = uint_field(f, "pattern", 0xa5);
  std::string via = f.get("via").value_or("bio");
  if (count == 0 || count > 8192) throw UsageError("COUNT must be 1 to 8192 sectors");
  std::vector<std::uint8_t> buf(count * 512, static_cast<std::uint8_t>(pattern));
  if (via == "fs") return from_errno(blk::fs_write(dev, sector * 512, buf.data(), buf.size()));
  if (via != "bio") throw UsageError("via must be bio or fs");
  return from_errno(blk::rw_sectors(dev, 1, sector, buf.data(), buf.size()));
}

Console::Outcome Console::step_read(const Fields& f) {
  auto dev = device(need(f, 0, "DEV"));
  auto sector = uint_arg(need(f, 1, "SECTOR"), "SECTOR");
  auto count = uint_arg(need(f, 2, "COUNT"), "COUNT");
  auto show = uint_field(f, "show", 64);
  if (count == 0 || count > 8192) throw UsageError("COUNT must be 1 to 8192 sectors");
  std::vector<std::uint8_t> buf(count * 512);
  int rc = blk::rw_sectors(dev, 0, sector, buf.data(), buf.size());
  if (rc == 0) hexdump(buf.data(), std::min<std::uint64_t>(show, buf.size()), sector * 512);
  return from_errno(rc);
}

Console::Outcome Console::step_disk_fault(const Fields& f) {
  auto& d = disk(need(f, 0, "DISK"));
  std::string first = need(f, 1, "FIRST or clear");
  if (first == "clear") {
    d.disk->clear_faults();
    return Outcome{};
  }
  blk::FaultRange r;
  r.first_sector = uint_arg(first, "FIRST");
  r.sectors = uint_arg(need(f, 2, "SECTORS"), "SECTORS");
  if (f.positional().size() > 3) {
    const std::string& k = f.positional()[3];
    if (k == "reads") r.writes = false;
    else if (k == "writes") r.reads = false;
    else if (k != "rw") throw UsageError("fault kind must be reads, writes or rw");
  }
  d.disk->add_fault(r);
  return Outcome{};
}

Console::Outcome Console::step_disk_delay(const Fields& f) {
  auto& d = disk(need(f, 0, "DISK"));
  d.disk->set_delay_us(static_cast<unsigned>(uint_arg(need(f, 1, "MICROSECONDS"), "MICROSECONDS")));
  return Outcome{};
}

Console::Outcome Console::step_fault(const Fields& f) {
  auto site_of = [](const std::string& w) {
    for (const auto& s : kSites)
      if (w == s.name) return s.site;
    throw UsageError("no fault site '" + w + "'");
  };
  std::string w = need(f, 0, "SITE");
  if (w == "clear") {
    if (f.positional().size() > 1) fault::clear(site_of(f.positional()[1]));
    else fault::clear_all();
    return Outcome{};
  }
  if (w == "show") {
    auto s = site_of(need(f, 1, "SITE"));
    out_ << "  " << f.positional()[1] << " calls=" << fault::calls(s)
         << " failures=" << fault::failures(s) << "\n";
    return Outcome{};
  }
  auto site = site_of(w);
  std::string prefix;
  fault::Attr a;
  a.nth = static_cast<long>(uint_field(f, "nth", 0));
  a.interval = static_cast<long>(uint_field(f, "interval", 0));
  if (auto t = f.get("times")) {
    auto v = parse_int(*t);
    if (!v) throw UsageError("bad times '" + *t + "'");
    a.times = static_cast<long>(*v);
  }
  if (auto n = f.get("name")) {
    prefix = *n;
    a.name_prefix = prefix.c_str();
  }
  if (a.nth == 0 && a.interval == 0) throw UsageError("give nth= or interval=");
  fault::set(site, a);
  return Outcome{};
}


}  // namespace cowguard::tool
