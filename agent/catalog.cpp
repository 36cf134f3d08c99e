// The catalog of a backup directory (its source, its points and the
// tracking key) and the leftovers of writes that never committed.
#include "format.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <system_error>

#include "records.h"

namespace cowguard::agent {

namespace fs = std::filesystem;
using namespace records;

// ---- Catalog ---------------------------------------------------------------------

namespace {

using nlohmann::json;

// A field of an object of the catalog, with a message that names it when it
// is missing or of the wrong type.
template <class T>
T field(const json& j, const char* name, const std::string& where) {
  auto it = j.find(name);
  if (it == j.end()) throw FormatError(Catalog::kFileName, where + " has no field '" + name + "'");
  try {
    return it->get<T>();
  } catch (const json::exception&) {
    throw FormatError(Catalog::kFileName, where + ": field '" + name + "' is not a valid value");
  }
}

Hash64 json_hash(const json& j, const char* name, const std::string& where) {
  auto h = hash_from_hex(field<std::string>(j, name, where));
  if (!h) throw FormatError(Catalog::kFileName, where + ": bad checksum text in '" + name + "'");
  return *h;
}

// A name from the catalog must stay inside the backup directory.
std::string safe_name(const json& j, const char* name, const std::string& where) {
  std::string s = field<std::string>(j, name, where);
  if (s.empty() || s.find('/') != std::string::npos || s == "." || s == "..")
    throw FormatError(Catalog::kFileName, where + ": bad file name in '" + name + "': " + s);
  return s;
}

std::string human_size(std::uint64_t bytes) {
  const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  double v = static_cast<double>(bytes);
  int u = 0;
  while (v >= 1024 && u < 4) {
    v /= 1024;
    u++;
  }
  char buf[32];
  std::snprintf(buf, sizeof buf, u ? "%.1f %s" : "%.0f %s", v, units[u]);
  return buf;
}

}  // namespace

bool SourceIdentity::same_as(const SourceIdentity& o) const {
  if (fs_uuid && o.fs_uuid) return *fs_uuid == *o.fs_uuid;
  return major == o.major && minor == o.minor && device_bytes == o.device_bytes &&
         block_size == o.block_size;
}

std::string SourceIdentity::describe() const {
  std::string s = std::to_string(major) + ":" + std::to_string(minor) + ", " + human_size(device_bytes) +
                  ", " + std::to_string(block_size) + "-byte blocks";
  s += fs_uuid ? ", file system UUID " + *fs_uuid : ", no file system UUID";
  return s;
}

SourceIdentity Catalog::source() const {
  SourceIdentity s;
  s.major = major;
  s.minor = minor;
  s.device_bytes = device_bytes;
  s.block_size = block_size;
  s.fs_uuid = fs_uuid;
  return s;
}

void Catalog::set_source(const SourceIdentity& s) {
  major = s.major;
  minor = s.minor;
  device_bytes = s.device_bytes;
  block_size = s.block_size;
  block_count = s.block_size ? static_cast<std::uint32_t>(s.device_bytes / s.block_size) : 0;
  fs_uuid = s.fs_uuid;
}

std::optional<Catalog> Catalog::load(const fs::path& dir) {
  std::error_code ec;
  if (!fs::exists(dir, ec)) throw FormatError::missing(dir.string(), "no such backup directory");
  if (!fs::is_directory(dir, ec)) throw FormatError::missing(dir.string(), "not a directory");
  fs::path p = dir / kFileName;
  if (!fs::exists(fs::symlink_status(p, ec))) return std::nullopt;
  if (!fs::is_regular_file(p, ec)) throw FormatError(kFileName, "not a regular file");
  std::ifstream in(p, std::ios::binary);
  std::stringstream text;
  if (!in || !(text << in.rdbuf())) throw FormatError(kFileName, "cannot read the catalog");
  Catalog c;
  json j;
  try {
    j = json::parse(text.str());
  } catch (const json::parse_error& e) {
    throw FormatError(kFileName, "not valid JSON (at byte " + std::to_string(e.byte) + ")");
  }
  if (!j.is_object()) throw FormatError(kFileName, "not a JSON object");
  if (j.value("format", std::string()) != "cowguard-catalog")
    throw FormatError(kFileName, "not a cowguard catalog");
  const int version = field<int>(j, "version", "the catalog");
  if (version != 1 && version != 2)
    throw FormatError(kFileName, "catalog version " + std::to_string(version) + " is not supported");
  if (version == 1) {  // the source and geometry of the whole directory
    c.major = field<unsigned>(j, "major", "the catalog");
    c.minor = field<unsigned>(j, "minor", "the catalog");
    c.block_size = field<std::uint32_t>(j, "block_size", "the catalog");
    c.block_count = field<std::uint32_t>(j, "block_count", "the catalog");
    c.device_bytes = static_cast<std::uint64_t>(c.block_size) * c.block_count;
  } else {
    const json src = field<json>(j, "source", "the catalog");
    c.major = field<unsigned>(src, "major", "the source");
    c.minor = field<unsigned>(src, "minor", "the source");
    c.device_bytes = field<std::uint64_t>(src, "device_bytes", "the source");
    c.block_size = field<std::uint32_t>(src, "block_size", "the source");
    if (c.block_size == 0) throw FormatError(kFileName, "the source has a block size of 0");
    c.block_count = static_cast<std::uint32_t>(c.device_bytes / c.block_size);
    if (src.contains("fs_uuid") && !src.at("fs_uuid").is_null())
      c.fs_uuid = field<std::string>(src, "fs_uuid", "the source");
  }
  const json key = field<json>(j, "key", "the catalog");
  if (!key.is_null()) {
    c.key = key.is_string() ? key_from_hex(key.get<std::string>()) : std::nullopt;
    if (!c.key) throw FormatError(kFileName, "bad key text");
  }
  const json chain = field<json>(j, "chain", "the catalog");
  if (!chain.is_array()) throw FormatError(kFileName, "'chain' is not a list");
  for (const json& e : chain) {
    ChainEntry ce;
    ce.sequence = field<std::uint32_t>(e, "sequence", "an entry");
    const std::string where = "entry " + std::to_string(ce.sequence);
    std::string kind = field<std::string>(e, "kind", where);
    if (kind == "full") ce.kind = BackupKind::full;
    else if (kind == "incremental") ce.kind = BackupKind::incremental;
    else throw FormatError(kFileName, where + ": unknown backup kind " + kind);
    const json parent = field<json>(e, "parent", where);
    if (!parent.is_null()) ce.parent = field<std::uint32_t>(e, "parent", where);
    ce.time = field<std::int64_t>(e, "time", where);
    if (version == 1) {
      ce.chain = 1;
      ce.block_size = c.block_size;
      ce.block_count = c.block_count;
    } else {
      ce.chain = field<std::uint32_t>(e, "chain", where);
      ce.block_size = field<std::uint32_t>(e, "block_size", where);
      ce.block_count = field<std::uint32_t>(e, "block_count", where);
    }
    ce.info.file = safe_name(e, "file", where);
    ce.info.checksum = json_hash(e, "checksum", where);
    if (ce.kind == BackupKind::full) {
      ce.info.index = safe_name(e, "index", where);
      ce.info.index_checksum = json_hash(e, "index_checksum", where);
    }
    ce.all_blocks = e.value("all_blocks", false);
    ce.info.blocks = field<std::uint64_t>(e, "blocks", where);
    ce.info.bytes_written = field<std::uint64_t>(e, "bytes", where);
    if ((ce.kind == BackupKind::full) != !ce.parent)
      throw FormatError(kFileName, where + ": a full backup has no parent, an incremental one has one");
    if (c.find(ce.sequence)) throw FormatError(kFileName, where + " is listed twice");
    c.entries.push_back(std::move(ce));
  }
  // Version 1 kept one chain: a later full backup restarted it.
  if (version == 1) {
    std::uint32_t chainNo = 0;
    for (ChainEntry& e : c.entries) {
      if (e.kind == BackupKind::full) chainNo++;
      e.chain = std::max<std::uint32_t>(chainNo, 1);
    }
  }
  return c;
}

void Catalog::save(const fs::path& dir) const {
  json chain = json::array();
  for (const ChainEntry& e : entries) {
    json je = {{"sequence", e.sequence},
               {"chain", e.chain},
               {"kind", std::string(kind_name(e.kind))},
               {"parent", e.parent ? json(*e.parent) : json(nullptr)},
               {"time", e.time},
               {"block_size", e.block_size},
               {"block_count", e.block_count},
               {"file", e.info.file},
               {"checksum", hash_hex(e.info.checksum)},
               {"blocks", e.info.blocks},
               {"bytes", e.info.bytes_written}};
    if (e.all_blocks) je["all_blocks"] = true;
    if (e.kind == BackupKind::full) {
      je["index"] = e.info.index;
      je["index_checksum"] = hash_hex(e.info.index_checksum);
    }
    chain.push_back(std::move(je));
  }
  json j = {{"format", "cowguard-catalog"},
            {"version", kVersion},
            {"source",
             {{"major", major},
              {"minor", minor},
              {"device_bytes", device_bytes},
              {"block_size", block_size},
              {"fs_uuid", fs_uuid ? json(*fs_uuid) : json(nullptr)}}},
            {"key", key ? json(key_to_hex(*key)) : json(nullptr)},
            {"chain", chain}};
  std::string text = j.dump(2) + "\n";
  AtomicFile f(dir / kFileName);
  f.write(text.data(), text.size());
  f.commit();
}

const ChainEntry* Catalog::find(std::uint32_t sequence) const {
  for (const ChainEntry& e : entries)
    if (e.sequence == sequence) return &e;
  return nullptr;
}

const ChainEntry* Catalog::latest() const { return entries.empty() ? nullptr : &entries.back(); }

std::uint32_t Catalog::next_sequence() const {
  std::uint32_t n = 0;
  for (const ChainEntry& e : entries) n = std::max(n, e.sequence);
  return n + 1;
}

std::uint32_t Catalog::next_chain() const {
  std::uint32_t n = 0;
  for (const ChainEntry& e : entries) n = std::max(n, e.chain);
  return n + 1;
}

std::vector<const ChainEntry*> Catalog::chain_to(std::uint32_t sequence) const {
  std::vector<const ChainEntry*> chain;
  const ChainEntry* e = find(sequence);
  if (!e) {
    std::string points;
    for (const ChainEntry& x : entries) points += (points.empty() ? "" : ", ") + std::to_string(x.sequence);
    throw FormatError::missing(kFileName, "no backup point " + std::to_string(sequence) +
                                              (points.empty() ? " (the catalog lists none)"
                                                              : " (points: " + points + ")"));
  }
  while (e) {
    if (chain.size() > entries.size()) throw FormatError(kFileName, "the chain loops");
    chain.push_back(e);
    if (!e->parent) break;
    const ChainEntry* parent = find(*e->parent);
    if (!parent)
      throw FormatError(kFileName, "entry " + std::to_string(e->sequence) + " names a parent " +
                                       std::to_string(*e->parent) + " that is not in the catalog");
    if (parent->block_size != e->block_size || parent->block_count != e->block_count)
      throw FormatError(kFileName, "entry " + std::to_string(e->sequence) +
                                       " has another geometry than its parent");
    e = parent;
  }
  std::reverse(chain.begin(), chain.end());
  return chain;
}

// ---- leftovers ---------------------------------------------------------------------

namespace {

// A data file name the writers use: full-NNNNNN.img, full-NNNNNN.idx, delta-NNNNNN.cgd.
bool data_file_name(const std::string& n) {
  auto digits = [&](std::size_t from) {
    if (n.size() < from + 6) return false;
    for (std::size_t i = from; i < from + 6; i++)
      if (n[i] < '0' || n[i] > '9') return false;
    return true;
  };
  if (n.size() == 15 && n.rfind("full-", 0) == 0 && digits(5))
    return n.compare(11, 4, ".img") == 0 || n.compare(11, 4, ".idx") == 0;
  return n.size() == 16 && n.rfind("delta-", 0) == 0 && digits(6) && n.compare(12, 4, ".cgd") == 0;
}

}  // namespace

Leftovers find_leftovers(const fs::path& dir, const Catalog* cat) {
  Leftovers l;
  std::error_code ec;
  for (const auto& de : fs::directory_iterator(dir, ec)) {
    std::string n = de.path().filename().string();
    if (!de.is_regular_file(ec)) continue;
    if (n.find(".tmp-") != std::string::npos) {
      l.temporary.push_back(n);
      continue;
    }
    if (!data_file_name(n)) continue;
    bool committed = false;
    if (cat)
      for (const ChainEntry& e : cat->entries)
        if (e.info.file == n || e.info.index == n) committed = true;
    if (!committed) l.orphans.push_back(n);
  }
  std::sort(l.temporary.begin(), l.temporary.end());
  std::sort(l.orphans.begin(), l.orphans.end());
  return l;
}

Leftovers remove_leftovers(const fs::path& dir) {
  DirLock lock(dir, DirLock::Mode::exclusive, "a repair of leftover files");
  std::optional<Catalog> cat = Catalog::load(dir);
  Leftovers l = find_leftovers(dir, cat ? &*cat : nullptr);
  for (const auto* names : {&l.temporary, &l.orphans})
    for (const std::string& n : *names)
      if (::unlink((dir / n).c_str()) != 0 && errno != ENOENT) sys_fail("cannot remove", dir / n);
  if (!l.empty()) sync_directory(dir);
  return l;
}

}  // namespace cowguard::agent
