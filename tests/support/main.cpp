// Test main: runs the cases, and fails the run when the stand-in's lock
// checks saw a violation that no fixture collected.
#include <gtest/gtest.h>

#include <cstdio>

#include "standin/lockcheck.h"

namespace {
class LockCheckListener : public ::testing::EmptyTestEventListener {
 public:
  void OnTestEnd(const ::testing::TestInfo& info) override {
    for (const auto& v : standin::lockcheck::take()) {
      std::fprintf(stderr, "lock check violation in %s.%s: %s\n%s\n", info.test_suite_name(),
                   info.name(), v.kind.c_str(), v.report.c_str());
      failed_ = true;
    }
  }
  bool failed_ = false;
};
}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  auto* listener = new LockCheckListener;
  ::testing::UnitTest::GetInstance()->listeners().Append(listener);
  int rc = RUN_ALL_TESTS();
  return (rc != 0 || listener->failed_) ? 1 : 0;
}
