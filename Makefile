# Set-up, build and test entry points; everything else is CMake.
# What building and running the program needs; make run installs no more.
RUN_PACKAGES := cmake make g++ qt6-base-dev qt6-serialport-dev qt6-qpa-plugins libgl-dev
# The tests' HTTP clients, and the display the benchmarks show the window on.
PACKAGES := $(RUN_PACKAGES) curl wget xvfb xauth
# CPack's Debian package: dpkg-shlibdeps finds the libraries' packages, file finds the programs.
PACKAGES += dpkg-dev file
# The listing test looks at the pages in a real browser.
PACKAGES += chromium
# The fuzz targets: clang with its fuzzer runtime; llvm-symbolizer for readable traces.
PACKAGES += clang-14 libclang-rt-14-dev llvm-14
# The package test checks the .deb with the Debian tools that judge packages.
PACKAGES += lintian
BUILD    := build
ASAN     := build-asan
FUZZ     := build-fuzz
JOBS     := $(shell nproc)
# The program's folder for make run: it is served and keeps RIri.ini, so it is not the build tree.
RUNDIR   := run
PREFIX   := /opt/quenvar
# Options for the program, e.g. make run ARGS="--open --log".
ARGS     :=

.PHONY: all deps deps-run build run test test-asan fuzz bench clean
.PHONY: program trackbox install package

all: build

# Installs only what is missing of the packages given: nothing happens when every one is there.
# The names are joined on one line, so the command printed for a normal user works when pasted.
define install-missing
	@missing=$$(for p in $(1); do \
	    dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q '^install ok installed$$' || printf '%s ' $$p; \
	  done); \
	if [ -n "$$missing" ]; then \
	  if [ "$$(id -u)" = 0 ]; then \
	    apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $$missing; \
	  else \
	    echo "Missing packages. Run:"; \
	    echo "  sudo apt-get update && sudo apt-get install -y --no-install-recommends $${missing% }"; \
	    exit 1; \
	  fi; \
	fi
endef

deps:
	$(call install-missing,$(PACKAGES))

deps-run:
	$(call install-missing,$(RUN_PACKAGES))

$(BUILD)/build.ninja $(BUILD)/Makefile: | deps-run
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: deps $(BUILD)/Makefile
	cmake --build $(BUILD) -j $(JOBS)

# Only the program, not the tests and benchmarks.
program: deps-run $(BUILD)/Makefile
	cmake --build $(BUILD) --target quenvar -j $(JOBS)

# The simulated track box, for trying the program without hardware: needs only what make run needs.
trackbox: deps-run $(BUILD)/Makefile
	cmake --build $(BUILD) --target trackbox -j $(JOBS)

# install -C leaves an unchanged program alone, so a capability granted with setcap stays.
run: program
	@mkdir -p $(RUNDIR)
	install -C -m 755 $(BUILD)/program/quenvar $(RUNDIR)/quenvar
	./$(RUNDIR)/quenvar $(ARGS)

install: program
	cmake --install $(BUILD) --prefix $(PREFIX) --strip

package: deps program
	cd $(BUILD) && cpack -G DEB

test: build
	cd $(BUILD) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS)

# Same suite with AddressSanitizer and UndefinedBehaviorSanitizer in a build folder of its own.
test-asan: deps
	cmake -S . -B $(ASAN) -DCMAKE_BUILD_TYPE=Debug -DQUENVAR_SANITIZE=ON
	cmake --build $(ASAN) -j $(JOBS)
	cd $(ASAN) && QT_QPA_PLATFORM=offscreen \
	  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	  LSAN_OPTIONS=suppressions=$(CURDIR)/cmake/lsan.supp:print_suppressions=0 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --output-on-failure -j $(JOBS)

# Each fuzz target for 20 s on its corpus, built with clang++ and libFuzzer in a build folder of its own.
fuzz: deps
	cmake -S . -B $(FUZZ) -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=clang++-14 -DQUENVAR_FUZZ=ON
	cmake --build $(FUZZ) -j $(JOBS)
	tests/fuzz/run $(FUZZ) 20

# Benchmarks of the shown window, on Xvfb when there is no display; SOAK_MINUTES=n adds the soak.
bench: build
	$(call install-missing,wrk python3)
	sh bench/run.sh $(BUILD) $(SOAK_MINUTES)

# Never run/: it holds the user's RIri.ini and the files they serve.
clean:
	rm -rf $(BUILD) $(ASAN) $(FUZZ)
