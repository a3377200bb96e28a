# Front door of the build. Build trees live under build/:
#   build/native   pure files under ASan/UBSan, fuzz targets, operator tools
#   build/win      the Windows program for the loopback endpoints, and its tests
#   build/release  the Windows program for the production endpoints
#   build/operator the operator's tools alone (make operator-tools)
JOBS ?= $(shell nproc)
CTEST_ARGS ?=
FUZZ_SECONDS ?= 300

.PHONY: all setup operator-tools configure native win test test-native test-win exe exe-loopback fuzz demo dist bench clean

all: exe-loopback

setup:
	@bash scripts/setup

# The operator's tools for Linux, and only what they need: no tests,
# sanitizers, fuzz targets, mingw or Wine.
operator-tools:
	@bash scripts/setup operator
	cmake -S . -B build/operator -DCMAKE_BUILD_TYPE=Release -DRP_OPERATOR_TOOLS_ONLY=ON >/dev/null
	cmake --build build/operator -j $(JOBS) --target realmporter-manifest
	@echo "built build/operator/realmporter-manifest"

build/native/CMakeCache.txt:
	cmake -S . -B build/native -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang

build/win/CMakeCache.txt:
	cmake -S . -B build/win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DREALMPORTER_LOOPBACK=ON

build/release/CMakeCache.txt:
	cmake -S . -B build/release -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake \
	  -DCMAKE_BUILD_TYPE=Release -DREALMPORTER_LOOPBACK=OFF

native: build/native/CMakeCache.txt
	cmake --build build/native -j $(JOBS)

win: build/win/CMakeCache.txt
	cmake --build build/win -j $(JOBS)

test: setup
	$(MAKE) native win
	$(MAKE) test-native test-win

test-native:
	cd build/native && ctest --output-on-failure -j $(JOBS) $(CTEST_ARGS)

# The window tests drive a real program under Wine and Xvfb. A test that
# fails now and then has found a fault: tests/ui/repeat.sh runs chosen ones
# many times to count how often.
test-win:
	cd build/win && ctest --output-on-failure -j 2 $(CTEST_ARGS)

# A release build (`make exe`, `make dist`) refuses placeholder endpoints or
# server list and a missing key (unless REALMPORTER_UNSIGNED=1), naming the
# setting. REALMPORTER_OPERATOR_KEY in the environment is taken by a new configure run
# and then stays in the build tree's cache (cmake/operator_keys.cmake); set
# but empty, it takes the key out again. REALMPORTER_VERSION is taken the
# same way (cmake/version.cmake) and stays until another is given.
settings_given = $(filter environment command,$(origin REALMPORTER_OPERATOR_KEY) $(origin REALMPORTER_VERSION) \
  $(origin REALMPORTER_SITE_URL) $(origin REALMPORTER_MIRRORS) $(origin REALMPORTER_SERVER_LIST) \
  $(origin REALMPORTER_UNSIGNED))
exe: setup build/release/CMakeCache.txt
	$(if $(settings_given),cmake build/release >/dev/null)
	cmake --build build/release -j $(JOBS) --target RealmPorter
	@echo "built build/release/RealmPorter.exe"

exe-loopback: setup build/win/CMakeCache.txt
	$(if $(settings_given),cmake build/win >/dev/null)
	$(MAKE) win
	@echo "built build/win/RealmPorter.exe (loopback endpoints)"

fuzz: setup native
	cd build/native && for f in fuzz_*; do \
	  [ -x "$$f" ] || continue; mkdir -p fuzz-corpus/$$f; \
	  ./$$f -max_total_time=$(FUZZ_SECONDS) -rss_limit_mb=2048 fuzz-corpus/$$f ../../tests/fuzz/corpus/$$f || exit 1; \
	done

demo:
	bash scripts/demo

# The release package: the production launcher (or the endpoints passed as
# REALMPORTER_SITE_URL / REALMPORTER_MIRRORS to this run), its shipped
# background and a player's read-me, zipped, with a SHA-256 sum and the
# operator's realmporter-fetch.exe beside it. It prints the endpoints it
# built in.
dist: setup
	bash scripts/dist

bench: setup
	bash bench/run.sh

clean:
	rm -rf build
