// Cost of one block-bitmap bit operation (test, set, clear) on a map of
// 4 Mi blocks (128 pages), in sequential and scattered block order, from one
// and from two threads at once; and the cost of building and releasing such
// a map.  Prints figures; asserts nothing.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <thread>
#include <vector>

#include "cgdlib.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr u32 kBlocks = 4u << 20;
constexpr long kOps = 500000;

enum class Op { test, set, clear };

const char* op_name(Op op) {
  switch (op) {
    case Op::test: return "blockInMap";
    case Op::set: return "setBlock";
    case Op::clear: return "unSetBlock";
  }
  return "?";
}

long run_ops(BlockMap* bm, Op op, bool scattered, u32 seed) {
  u32 n = seed;
  long hits = 0;
  for (long i = 0; i < kOps; i++) {
    n = scattered ? (n * 1664525u + 1013904223u) % kBlocks : (n + 1) % kBlocks;
    switch (op) {
      case Op::test: hits += blockInMap(bm, n) != 0; break;
      case Op::set: hits += setBlock(bm, n); break;
      case Op::clear: hits += unSetBlock(bm, n); break;
    }
  }
  return hits;
}

double ns_per_op(BlockMap* bm, Op op, bool scattered, int threads) {
  std::vector<std::thread> workers;
  auto start = Clock::now();
  for (int t = 0; t < threads; t++)
    workers.emplace_back([=] { run_ops(bm, op, scattered, 12345u * (t + 1)); });
  for (auto& w : workers) w.join();
  double ns = std::chrono::duration<double, std::nano>(Clock::now() - start).count();
  return ns / (double(kOps) * threads);
}

}  // namespace

int main() {
  BlockMap bm{};
  u32 pages = 0, freed = 0;

  auto start = Clock::now();
  const int builds = 50;
  for (int i = 0; i < builds; i++) {
    if (newBlockMap(&bm, kBlocks, nullptr, 0, &pages) != CGD_OK) {
      std::printf("newBlockMap failed\n");
      return 1;
    }
    closeBlockMap(&bm, &freed);
  }
  double us = std::chrono::duration<double, std::micro>(Clock::now() - start).count() / builds;
  std::printf("blockmap: build + release of %u blocks (%u pages): %.1f us\n", kBlocks, pages, us);

  if (newBlockMap(&bm, kBlocks, nullptr, 1, &pages) != CGD_OK) return 1;
  for (Op op : {Op::test, Op::set, Op::clear}) {
    for (bool scattered : {false, true}) {
      for (int threads : {1, 2}) {
        std::printf("blockmap: %-10s %-10s %d thread%s: %7.1f ns/op\n", op_name(op),
                    scattered ? "scattered" : "sequential", threads, threads > 1 ? "s" : " ",
                    ns_per_op(&bm, op, scattered, threads));
      }
    }
  }
  closeBlockMap(&bm, &freed);
  return 0;
}
