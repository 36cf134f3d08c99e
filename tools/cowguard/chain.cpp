#include "chain.h"

#include <filesystem>
#include <ostream>
#include <system_error>

#include <nlohmann/json.hpp>

#include "exit_codes.h"

#ifdef CG_HAVE_AGENT
#include "format.h"
#endif

namespace cowguard::tool {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

void emit(std::ostream& out, bool as_json, const json& j, const std::string& text) {
  if (as_json) out << j.dump(2) << "\n";
  else if (!text.empty()) out << text << "\n";
}

#ifdef CG_HAVE_AGENT
namespace agent = cowguard::agent;

// Checks what must be there before the agent reads anything: the
// directory, its catalog, the point asked for and every file of its chain.
// kExitOk, or the code of what is missing with *msg saying what.
int check_present(const std::string& dir, std::optional<std::uint32_t> point, std::string* msg,
                  std::optional<agent::Catalog>* cat_out) {
  std::error_code ec;
  if (!fs::is_directory(dir, ec)) {
    *msg = "no backup directory " + dir;
    return kExitMissing;
  }
  if (!fs::exists(fs::path(dir) / agent::Catalog::kFileName, ec)) {
    *msg = dir + " is not a backup directory: it has no " + agent::Catalog::kFileName;
    return kExitMissing;
  }
  std::optional<agent::Catalog> cat = agent::Catalog::load(dir);  // FormatError when corrupt
  if (!cat || cat->entries.empty()) {
    *msg = "the catalog of " + dir + " lists no backup";
    return kExitMissing;
  }
  std::vector<const agent::ChainEntry*> entries;
  if (point) {
    if (!cat->find(*point)) {
      *msg = "no backup point " + std::to_string(*point) + " in " + dir + " (points: ";
      for (std::size_t i = 0; i < cat->entries.size(); i++)
        *msg += (i ? ", " : "") + std::to_string(cat->entries[i].sequence);
      *msg += ")";
      return kExitMissing;
    }
    entries = cat->chain_to(*point);
  } else {
    for (const auto& e : cat->entries) entries.push_back(&e);
  }
  for (const auto* e : entries) {
    for (const std::string& f : {e->info.file, e->info.index}) {
      if (f.empty()) continue;
      if (!fs::exists(fs::path(dir) / f, ec)) {
        *msg = "missing file " + (fs::path(dir) / f).string() + " (backup point " +
               std::to_string(e->sequence) + ", " + std::string(agent::kind_name(e->kind)) + ")";
        return kExitMissing;
      }
    }
  }
  *cat_out = std::move(cat);
  return kExitOk;
}

std::string describe(const agent::FormatError& e) {
  std::string s = e.file() + ": " + e.what();
  if (e.block()) s += " (block " + std::to_string(*e.block()) + ")";
  return s;
}
#endif

}  // namespace

int restore_command(const RestoreArgs& a, std::ostream& out, std::ostream& err) {
#ifdef CG_HAVE_AGENT
  json j = {{"command", "restore"}, {"dir", a.dir}, {"output", a.output}};
  auto fail = [&](int code, const std::string& msg) {
    err << "cowguard restore: " << msg << "\n";
    j["ok"] = false;
    j["error"] = msg;
    j["exit_code"] = code;
    if (a.json) out << j.dump(2) << "\n";
    return code;
  };
  std::error_code ec;
  fs::path outp(a.output);
  if (outp.has_parent_path() && !fs::is_directory(outp.parent_path(), ec))
    return fail(kExitMissing, "no directory " + outp.parent_path().string() + " for the output");
  if (fs::is_directory(outp, ec)) return fail(kExitUsage, "the output " + a.output + " is a directory");
  try {
    std::string msg;
    std::optional<agent::Catalog> cat;
    if (int rc = check_present(a.dir, a.point, &msg, &cat); rc != kExitOk) return fail(rc, msg);
    std::uint32_t point = a.point ? *a.point : cat->latest()->sequence;
    agent::restore(a.dir, point, a.output);
    auto chain = cat->chain_to(point);
    j["ok"] = true;
    j["point"] = point;
    j["files_applied"] = chain.size();
    j["block_size"] = cat->block_size;
    j["blocks"] = cat->block_count;
    j["bytes"] = static_cast<std::uint64_t>(cat->block_count) * cat->block_size;
    emit(out, a.json, j,
         "restored backup point " + std::to_string(point) + " (" + std::to_string(chain.size()) +
             " file" + (chain.size() == 1 ? "" : "s") + ") of " + a.dir + " to " + a.output + ": " +
             std::to_string(cat->block_count) + " blocks of " + std::to_string(cat->block_size) +
             " bytes");
    return kExitOk;
  } catch (const agent::FormatError& e) {
    return fail(kExitCorrupt, describe(e) + "; nothing was written to " + a.output);
  } catch (const std::exception& e) {
    return fail(kExitFailed, e.what());
  }
#else
  (void)a;
  (void)out;
  err << "cowguard restore: this build has no backup agent\n";
  return kExitFailed;
#endif
}

int verify_command(const VerifyArgs& a, std::ostream& out, std::ostream& err) {
#ifdef CG_HAVE_AGENT
  json j = {{"command", "verify"}, {"dir", a.dir}};
  auto fail = [&](int code, const std::string& msg) {
    err << "cowguard verify: " << msg << "\n";
    j["ok"] = false;
    j["error"] = msg;
    j["exit_code"] = code;
    if (a.json) out << j.dump(2) << "\n";
    return code;
  };
  try {
    std::string msg;
    std::optional<agent::Catalog> cat;
    if (int rc = check_present(a.dir, std::nullopt, &msg, &cat); rc != kExitOk) return fail(rc, msg);
    agent::VerifyReport r = agent::verify(a.dir);
    j["files_checked"] = r.files_checked;
    if (!r.ok) {
      std::string m = (r.file.empty() ? "" : r.file + ": ") + r.message;
      if (r.block) m += " (block " + std::to_string(*r.block) + ")";
      if (r.block) j["block"] = *r.block;
      j["file"] = r.file;
      return fail(kExitCorrupt, m);
    }
    j["ok"] = true;
    json points = json::array();
    for (const auto& e : cat->entries)
      points.push_back({{"point", e.sequence}, {"kind", std::string(agent::kind_name(e.kind))},
                        {"file", e.info.file}, {"blocks", e.info.blocks}});
    j["points"] = points;
    emit(out, a.json, j,
         a.dir + ": " + std::to_string(cat->entries.size()) + " backup point" +
             (cat->entries.size() == 1 ? "" : "s") + ", " + std::to_string(r.files_checked) +
             " files checked, every checksum good");
    return kExitOk;
  } catch (const agent::FormatError& e) {
    return fail(kExitCorrupt, describe(e));
  } catch (const std::exception& e) {
    return fail(kExitFailed, e.what());
  }
#else
  (void)a;
  (void)out;
  err << "cowguard verify: this build has no backup agent\n";
  return kExitFailed;
#endif
}

}  // namespace cowguard::tool
