// Full and incremental backups of one device into its backup directory.
//
// A backup opens the control device, starts a session, maps both transfer
// windows, takes the snapshot, chooses the wanted blocks (those the file
// system uses, read from the snapshot's own bitmaps, or every block), loads
// that map and reads the blocks in runs, alternating the windows so that
// reading one overlaps writing the other to the output on a writer thread.
// The catalog (and the tracking key in it) changes only after the backup's
// files are durable.
#pragma once
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "control.h"
#include "format.h"

namespace cowguard::agent {

struct BackupOptions {
  unsigned major = 0, minor = 0;      // the device to back up
  std::filesystem::path dir;          // its backup directory (created 0700 when missing)
  std::string device_node = CGD_DEVICE_NODE;
  bool all_blocks = false;            // take every block, not only those the file system uses
  // Most blocks the module may preserve meanwhile; 0: default_max_cache_blocks.
  std::uint32_t max_cache_blocks = 0;
  // Called with the blocks written so far and the blocks wanted, from the
  // writer thread, after every window or batch of short runs written (and
  // once with 0 before the first).
  std::function<void(std::uint64_t done, std::uint64_t total)> progress;
  // A directory belongs to one source.  Another source's backup is refused
  // (SourceMismatch) unless a new chain is asked for; its points then stay
  // listed and restorable beside the new chain.
  bool new_chain = false;
};

// The device is not the source the directory belongs to.
class SourceMismatch : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A sound store limit: room for every block of a small device, else 64 MiB
// of blocks (at least 1024 blocks).
std::uint32_t default_max_cache_blocks(std::uint32_t total_blocks, std::uint32_t block_size);

struct BackupResult {
  BackupKind kind = BackupKind::full;
  bool requested_incremental = false;
  // Why a full backup was made where an incremental one was asked for.
  std::string fallback_reason;
  // Every block was taken: asked for, or the file system could not be read
  // (fs_note then says why).
  bool all_blocks = false;
  std::string fs_note;
  // A new chain started beside earlier points (resize, another source): why.
  std::string catalog_note;
  std::uint32_t chain = 0;

  std::uint32_t sequence = 0;
  std::string file;           // the data file in the backup directory
  unsigned major = 0, minor = 0;
  std::uint32_t block_size = 0;
  std::uint32_t total_blocks = 0;

  std::uint64_t blocks_changed = 0;  // incremental: blocks in the changed-block map
  std::uint64_t blocks_wanted = 0;
  std::uint64_t blocks_from_store = 0;  // the backup's reads: totalReadCBs added after the map load
  std::uint64_t blocks_from_disk = 0;   // the backup's blocks whose bytes came from the disk
  std::uint64_t bytes_written = 0;
  double frozen_seconds = 0;            // the module's eTimeFrozen
  double elapsed_seconds = 0;
  double throughput = 0;                // bytes written per second
  std::optional<Stats> stats;           // the module's statistics just before close
  bool key_stored = false;              // the catalog now holds the session's new key
};

// A full backup.  Throws Error (control device), FormatError or
// std::system_error (files), SourceMismatch, LockBusy (another writer has
// the directory) or Interrupted; nothing in the catalog changes then, and a
// directory the backup made is removed again.
BackupResult full_backup(const BackupOptions& o);
// An incremental backup; a full one (with the reason) when no usable
// changed-block map exists.
BackupResult incremental_backup(const BackupOptions& o);

}  // namespace cowguard::agent
