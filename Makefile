# Top-level entry points: build, test, demo, serve, install, asan, bench.
BUILD      ?= build
ASAN_BUILD ?= build-asan
JOBS       ?= $(shell nproc)
PREFIX     ?= /usr/local
# make serve: the port, and an application folder instead of the example shop
PORT       ?= 8080
APP        ?=

.PHONY: all setup build test demo serve install asan bench clean

all: build

setup:
	@bash scripts/setup

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null

build: setup $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

demo: build
	@bash examples/demo.sh $(BUILD)/braxel

serve: build
	@PORT='$(PORT)' APP='$(APP)' bash scripts/serve $(BUILD)/braxel

install: build
	cmake --install $(BUILD) --prefix '$(PREFIX)'

$(ASAN_BUILD)/build.ninja:
	cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DBRAXEL_SANITIZE=ON >/dev/null

asan: setup $(ASAN_BUILD)/build.ninja
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ctest --output-on-failure -j $(JOBS)

bench: build
	@bash bench/run.sh $(BUILD)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)
