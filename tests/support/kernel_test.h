// Fixtures shared by the test suites.
#pragma once
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "standin/standin.h"

// Records what the stand-in holds when a test starts, so that the test can
// check that it gave everything back, and collects lock-check violations.
class KernelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    standin::lockcheck::take();
    before_ = standin::mem::usage();
    mark_ = standin::log::mark();
  }
  void TearDown() override { ExpectNoLockViolations(); }

  void ExpectNoLockViolations() {
    for (const auto& v : standin::lockcheck::take()) ADD_FAILURE() << v.kind << "\n" << v.report;
  }
  void ExpectNoLeaks() { EXPECT_EQ("", standin::mem::leak_report(before_)); }
  // Kernel log lines written since the test started (or since Remark()).
  std::vector<std::string> NewLog() const { return standin::log::since(mark_); }
  void Remark() { mark_ = standin::log::mark(); }

  standin::mem::Usage before_;
  std::size_t mark_ = 0;
};

// Loads the module of this kernel line for the test and unloads it after,
// checking that the unload gave back everything the module took.
class ModuleTest : public KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    ASSERT_EQ(0, standin::modules::insmod(CG_MODULE_PATH)) << "insmod " << CG_MODULE_PATH;
  }
  void TearDown() override {
    if (standin::modules::loaded("cowguard")) {
      EXPECT_EQ(0, standin::modules::rmmod("cowguard"));
    }
    EXPECT_TRUE(standin::task::wait_kernel_threads(5000));
    ExpectNoLeaks();
    KernelTest::TearDown();
  }
};
