# Set-up and everyday commands over CMake. Each target first installs the
# Debian packages it needs that are missing (which takes root; a machine that
# has them all needs none).

BUILD   ?= build
DEVICE  ?= any
PREFIX  ?= /usr/local
DESTDIR ?=
CMAKE_FLAGS ?=

BUILD_PACKAGES = cmake g++ make pkg-config libpcap-dev
TEST_PACKAGES  = python3 iproute2 util-linux libcap2-bin gdb groff-base dpkg-dev binutils
BENCH_PACKAGES = python3 iproute2 util-linux valgrind

define install
	@missing=; for p in $(1); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q ' installed$$' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  apt-get update -q && apt-get install -y -q --no-install-recommends $$missing; \
	fi
endef

.PHONY: all run test install package bench clean

all:
	$(call install,$(BUILD_PACKAGES))
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD)

run: all
	$(BUILD)/listener $(DEVICE)

test: all
	$(call install,$(TEST_PACKAGES))
	ctest --test-dir $(BUILD) --output-on-failure

install: all
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD) --prefix $(PREFIX)

package: all
	$(call install,dpkg-dev)
	cd $(BUILD) && cpack

# The peer, tcpdump, is optional: without it the benchmark says so and goes on.
bench: all
	$(call install,$(BENCH_PACKAGES))
	-$(call install,tcpdump)
	cmake --build $(BUILD) --target sendframes pcapfloor
	python3 bench/run.py $(BUILD)
	python3 bench/run.py $(BUILD) --callgrind

clean:
	rm -rf $(BUILD)
