# cowguard: the commands a newcomer types.
#   make demo      build, then back up a live ext4 file system, restore and check every point
#   make test      install what is missing, build, run every test on both kernel lines
#   make sanitize  the same suite under ASan+UBSan and under TSan
#   make bench     build and run the benchmarks
#   make soak      backups in a loop under stamped writers, every point checked
#   make kill9     kill the daemon during 200 backups per line and check every committed point
#   make sweep     fail every fault site at its 1st, 2nd, ... call in a whole backup cycle, both lines
#   make fuzz      coverage-guided fuzzing of the control device for FUZZ_SECONDS (default 60)
#   make fuzz-long the same for FUZZ_RUNS executions (default 10 million)
JOBS ?= $(shell nproc)
GEN := -G Ninja

.PHONY: all deps build demo test asan tsan sanitize bench kill9 soak sweep fuzz fuzz-build fuzz-long clean

all: build

deps:
	@tools/install-deps.sh

build: deps
	cmake -S . -B build $(GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build build -j $(JOBS)

# DEMO_ARGS passes options on, e.g. make demo DEMO_ARGS="--rounds 5 --block-size 1024".
demo: deps
	cmake -S . -B build $(GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build build -j $(JOBS) --target cowguard-cmd-2.6.18
	build/cowguard demo $(DEMO_ARGS)

test: build
	ctest --test-dir build --output-on-failure -j $(JOBS)

asan: deps
	cmake -S . -B build-asan $(GEN) -DCMAKE_BUILD_TYPE=Debug -DCG_SANITIZE=address
	cmake --build build-asan -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
		ctest --test-dir build-asan --output-on-failure -j $(JOBS)

tsan: deps
	cmake -S . -B build-tsan $(GEN) -DCMAKE_BUILD_TYPE=Debug -DCG_SANITIZE=thread
	cmake --build build-tsan -j $(JOBS)
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
		ctest --test-dir build-tsan --output-on-failure -j $(JOBS)

sanitize: asan tsan

bench: build
	@for b in build/lines/*/bench_*; do [ -x "$$b" ] && "$$b"; done; true

# The daemon killed (SIGKILL) during 200 backups per kernel line; every
# committed point restored and compared with its frozen instant.
kill9: build
	@for k in build/lines/*/kill9-*; do "$$k" 200; done

# Chains of a full backup and 25 incrementals under stamped writers for 10
# minutes per kernel line, every point checked byte for byte and by its stamps.
soak: build
	@for k in build/lines/*/soak-*; do "$$k" 600 32 25; done

# Every fault site of the kernel the module reaches, failed at its Nth call
# for N = 1, 2, ... until a cycle no longer reaches it; each run checked for
# wrong images, lost writes, leaks and lock violations.
sweep: build
	@for k in build/lines/*/sweep-*; do "$$k" --jobs $(JOBS) || exit 1; done

# libFuzzer (clang) with ASan+UBSan in build-fuzz, the gcc builds untouched.
# The seeds of tools/fuzz/corpus are copied into build-fuzz/corpus-2.6.X,
# which keeps what the runs find; crashes go to build-fuzz/artifacts/.
# FUZZ_LINE picks the kernel line (12 or 18); FUZZ_ARGS passes more options.
FUZZ_SECONDS ?= 60
FUZZ_RUNS ?= 10000000
FUZZ_LINE ?= 18
FUZZ_DIR := build-fuzz
FUZZ_BIN := $(FUZZ_DIR)/lines/2.6.$(FUZZ_LINE)/cowguard-fuzz
FUZZ_CORPUS := $(FUZZ_DIR)/corpus-2.6.$(FUZZ_LINE)
FUZZ_ENV := ASAN_OPTIONS=abort_on_error=1:detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
FUZZ_OPTS = -dict=tools/fuzz/cowguard.dict -max_len=1024 -timeout=60 -rss_limit_mb=4096 \
	-artifact_prefix=$(FUZZ_DIR)/artifacts/ -print_final_stats=1 $(FUZZ_ARGS)

fuzz-build:
	@tools/install-deps.sh fuzz
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_DIR) $(GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DCG_SANITIZE=address -DCG_FUZZ=ON -DCG_USER_PARTS=""
	cmake --build $(FUZZ_DIR) -j 2 --target cowguard-fuzz-2.6.$(FUZZ_LINE)
	mkdir -p $(FUZZ_CORPUS) $(FUZZ_DIR)/artifacts
	cp -n tools/fuzz/corpus/* $(FUZZ_CORPUS)/

fuzz: fuzz-build
	$(FUZZ_ENV) $(FUZZ_BIN) $(FUZZ_OPTS) -max_total_time=$(FUZZ_SECONDS) $(FUZZ_CORPUS)

fuzz-long: fuzz-build
	$(FUZZ_ENV) $(FUZZ_BIN) $(FUZZ_OPTS) -runs=$(FUZZ_RUNS) $(FUZZ_CORPUS)

clean:
	rm -rf build build-asan build-tsan build-fuzz
