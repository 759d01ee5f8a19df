# make        install what is missing, build build/korimo
# make run    ... and start the server (console, port 8080 unless PORT=...)
# make test   ... and run every test
# make fuzz   run every fuzz target for FUZZ_SECONDS (default 300)
# make bench  the benchmark beside a reference server
# make stress the long fault run (about 4 min): the 60 s limits, slow-client
#             attacks (slowhttptest), 10 000 silent connections at the cap
# make install  install under PREFIX (default /usr/local), DESTDIR honoured
# make deb    build korimo_<version>_<arch>.deb in DEB_DIR (default build/deb)
BUILD ?= build
PORT ?= 8080
PREFIX ?= /usr/local
DEB_DIR ?= $(BUILD)/deb
CMAKE_FLAGS ?=
ifdef CI
CMAKE_FLAGS += -DKORIMO_WERROR=ON
endif

.PHONY: all deps build run test fuzz bench stress install deb clean

all: build

deps:
	@scripts/install-deps.sh build

build: deps
	@cmake -S . -B $(BUILD) -G Ninja $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(BUILD) -j2

run: build
	$(BUILD)/korimo --port $(PORT)

test:
	@scripts/install-deps.sh test
	@scripts/setup-browser-test.sh
	@$(MAKE) --no-print-directory build
	@scripts/run-tests.sh $(BUILD)

fuzz:
	@scripts/install-deps.sh test
	@FUZZ_SECONDS=$${FUZZ_SECONDS:-300} scripts/fuzz.sh

bench: build
	@scripts/install-deps.sh bench
	@BUILD_DIR=$(CURDIR)/$(BUILD) scripts/bench.sh

install: deps
	@cmake -S . -B $(BUILD) -G Ninja $(CMAKE_FLAGS) -DCMAKE_INSTALL_PREFIX=$(PREFIX) >/dev/null
	@cmake --build $(BUILD) -j2
	@DESTDIR=$(DESTDIR) cmake --install $(BUILD)

deb:
	@scripts/install-deps.sh package
	@scripts/build-deb.sh $(DEB_DIR)

stress: build
	@BUILD_DIR=$(CURDIR)/$(BUILD) scripts/stress.sh

clean:
	rm -rf $(BUILD) build-asan build-tsan build-fuzz
