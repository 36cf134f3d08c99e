// Checks of an image against the record of a frozen instant, e2fsck, and
// the content checksum.
#include <xxhash.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>

#include "fstree.h"
#include "process.h"
#include "workload/workload.h"

namespace cowguard::workload {

std::uint64_t checksum(const void* data, std::size_t len) { return XXH3_64bits(data, len); }

std::string CheckReport::text() const {
  std::string out;
  for (const auto& p : problems) out += p + "\n";
  return out;
}

namespace {

struct ImageFs {
  ext2_filsys fs = nullptr;
  ~ImageFs() {
    if (fs) ext2fs_close_free(&fs);
  }
};

std::string hex(std::uint64_t v) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(v));
  return buf;
}

void compare(ext2_filsys fs, const std::vector<TreeEntry>& tree, const FrozenInstant& expected,
             CheckReport* r) {
  std::map<std::string, const TreeEntry*> found_files;
  std::set<std::string> found_dirs;
  for (const auto& e : tree) {
    if (e.dir)
      found_dirs.insert(e.path);
    else if (e.regular)
      found_files[e.path] = &e;
  }
  for (const auto& want : expected.files) {
    auto it = found_files.find(want.path);
    if (it == found_files.end()) {
      r->problems.push_back("missing file " + want.path);
      continue;
    }
    std::vector<std::uint8_t> data;
    errcode_t err = read_file(fs, it->second->ino, &data);
    found_files.erase(it);
    r->files_checked++;
    if (err) {
      r->problems.push_back(ext2_error("cannot read " + want.path, err));
      continue;
    }
    if (data.size() != want.size) {
      r->problems.push_back(want.path + ": size " + std::to_string(data.size()) + ", expected " +
                            std::to_string(want.size));
      continue;
    }
    std::uint64_t sum = checksum(data.data(), data.size());
    if (sum != want.checksum)
      r->problems.push_back(want.path + ": checksum " + hex(sum) + ", expected " +
                            hex(want.checksum));
  }
  for (const auto& [path, e] : found_files) r->problems.push_back("unexpected file " + path);
  for (const auto& d : expected.dirs)
    if (!found_dirs.erase(d)) r->problems.push_back("missing directory " + d);
  for (const auto& d : found_dirs) r->problems.push_back("unexpected directory " + d);
}

}  // namespace

bool check_image(const std::string& image_path, const FrozenInstant& expected,
                 CheckReport* report) {
  CheckReport local;
  CheckReport* r = report ? report : &local;
  *r = {};
  ImageFs img;
  errcode_t err = ext2fs_open2(image_path.c_str(), nullptr, EXT2_FLAG_64BITS, 0, 0,
                               unix_io_manager, &img.fs);
  if (err) {
    img.fs = nullptr;
    r->problems.push_back(ext2_error("cannot open " + image_path, err));
    return false;
  }
  std::vector<TreeEntry> tree;
  err = walk_tree(img.fs, &tree);
  if (err) {
    r->problems.push_back(ext2_error("cannot walk the tree of " + image_path, err));
    return false;
  }
  compare(img.fs, tree, expected, r);
  r->ok = r->problems.empty();
  return r->ok;
}

BlockSumCompare compare_block_sums(const std::string& image_path, const FrozenInstant& fi) {
  BlockSumCompare c;
  if (fi.block_sums_file.empty() || fi.block_size == 0) {
    c.error = "no block checksums were recorded at instant " + std::to_string(fi.seq);
    return c;
  }
  std::FILE* sums = std::fopen(fi.block_sums_file.c_str(), "rbe");
  if (!sums) {
    c.error = "cannot read " + fi.block_sums_file + ": " + std::strerror(errno);
    return c;
  }
  int fd = ::open(image_path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    c.error = "cannot open " + image_path + ": " + std::strerror(errno);
    std::fclose(sums);
    return c;
  }
  std::vector<std::uint8_t> block(fi.block_size);
  std::uint64_t rec[2];
  bool ok = true;
  while (ok && std::fread(rec, sizeof rec, 1, sums) == 1) {
    ssize_t got = ::pread(fd, block.data(), block.size(), static_cast<off_t>(rec[0] * fi.block_size));
    if (got != static_cast<ssize_t>(block.size())) {
      c.error = image_path + " ends before block " + std::to_string(rec[0]);
      ok = false;
      break;
    }
    c.compared++;
    if (checksum(block.data(), block.size()) != rec[1]) {
      if (!c.differing) c.first_differing = rec[0];
      c.differing++;
    }
  }
  if (ok && std::ferror(sums)) {
    c.error = "cannot read " + fi.block_sums_file;
    ok = false;
  }
  if (ok && c.compared != fi.used_blocks) {
    c.error = fi.block_sums_file + " holds " + std::to_string(c.compared) + " records, not " +
              std::to_string(fi.used_blocks);
    ok = false;
  }
  ::close(fd);
  std::fclose(sums);
  c.readable = ok;
  return c;
}

bool run_e2fsck(const std::string& image_path, std::string* output) {
  ProcessResult r = run_process({"e2fsck", "-fn", image_path});
  if (output) *output = r.output;
  return r.started && r.exit_code == 0;
}

bool write_file(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ::close(fd);
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return ::close(fd) == 0;
}

}  // namespace cowguard::workload
