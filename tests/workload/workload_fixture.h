// Fixture of the workload tests: a temporary folder, images made in it, and
// a watchdog for cases that would hang on a deadlock.
#pragma once
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <memory>
#include <string>

#include "standin/block.h"
#include "workload/workload.h"
#include "support/kernel_test.h"

#include <linux/fs.h>

namespace wltest {

namespace sb = standin::block;
namespace wl = cowguard::workload;

class WorkloadTest : public KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    char tmpl[] = "/tmp/cg-workload-XXXXXX";
    ASSERT_NE(nullptr, ::mkdtemp(tmpl));
    dir_ = tmpl;
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
    KernelTest::TearDown();
  }

  std::string Path(const std::string& name) const { return dir_ + "/" + name; }

  // A disk image of `bytes` with ext4 of the block size, attached and mounted.
  wl::MountedImage Mounted(std::uint32_t block_size = 4096, std::uint64_t bytes = 32 << 20,
                           const std::string& name = "disk.img") {
    wl::MountedImage m;
    std::string err;
    EXPECT_TRUE(wl::make_disk_image(Path(name), bytes, block_size, &layout_, &err)) << err;
    EXPECT_TRUE(wl::attach_and_mount(Path(name), &m, &err)) << err;
    return m;
  }

  std::unique_ptr<wl::Ext4Workload> Open(sb::devnum part, const wl::WorkloadOptions& o = {}) {
    std::string err;
    auto w = wl::Ext4Workload::open(part, o, &err);
    EXPECT_NE(nullptr, w) << err;
    return w;
  }

  // Writes bytes to a file in the folder and returns its path.
  std::string Save(const std::string& name, const std::vector<std::uint8_t>& bytes) {
    std::string p = Path(name);
    EXPECT_TRUE(wl::write_file(p, bytes));
    return p;
  }

  // Expects a partition copy to be a clean file system holding the instant.
  void ExpectImageHolds(const std::string& image, const wl::FrozenInstant& fi) {
    std::string out;
    EXPECT_TRUE(wl::run_e2fsck(image, &out)) << "instant " << fi.seq << ":\n" << out;
    wl::CheckReport rep;
    EXPECT_TRUE(wl::check_image(image, fi, &rep)) << "instant " << fi.seq << ":\n" << rep.text();
    EXPECT_EQ(fi.files.size(), rep.files_checked);
  }

  std::string dir_;
  wl::DiskLayout layout_;
};

// Runs f on another thread; fails (and abandons the thread by exiting the
// test process) when it has not returned within the limit.
template <class F>
void WithinSeconds(int seconds, F&& f, const char* what) {
  auto fut = std::async(std::launch::async, std::forward<F>(f));
  if (fut.wait_for(std::chrono::seconds(seconds)) != std::future_status::ready) {
    ADD_FAILURE() << what << ": no return within " << seconds << " s (deadlock?)";
    std::fflush(nullptr);
    std::_Exit(3);
  }
  fut.get();
}

}  // namespace wltest
