# Set-up and everyday commands over CMake. Each target first installs the
# Debian packages it needs that are missing, which takes root: through sudo
# for anyone else. A machine that has them all needs none.

BUILD   ?= build
PREFIX  ?= /usr/local
DESTDIR ?=
CMAKE_FLAGS ?=

BUILD_PACKAGES   = cmake g++ make pkg-config libpcap-dev
# ss, by which the README's opening example waits for the capture.
EXAMPLE_PACKAGES = iproute2
# dpkg-shlibdeps (in dpkg-dev) works out the package's dependencies, with file.
PACKAGE_PACKAGES = dpkg-dev file
TEST_PACKAGES    = python3 iproute2 util-linux libcap2-bin groff-base binutils lintian iptables dbus-daemon \
                   $(PACKAGE_PACKAGES)
LINT_PACKAGES    = clang-tidy cppcheck
BENCH_PACKAGES   = python3 iproute2 util-linux valgrind iptables linux-perf dbus-daemon

SUDO := $(if $(filter 0,$(shell id -u)),,sudo)

# Under sudo, what a target wrote in a build goes back to whoever ran sudo.
GIVE_BACK = $(if $(SUDO_UID),chown -hR $(SUDO_UID):$(SUDO_GID) $(1),true)

# The Debian 13 and 14 roots, root's and kept between runs: outside the
# build, which stays its owner's, cleanable by make clean.
DEBIAN13_ROOT ?= /var/tmp/listener-debian13
DEBIAN14_ROOT ?= /var/tmp/listener-debian14

# What make install put in place, by their real paths, for make uninstall:
# a list for each DESTDIR, so that a staged install is never taken for one
# into the live system.
MANIFEST = $(BUILD)/installed$(abspath $(DESTDIR))/files

# The package lists are updated only where they lack a package, or the
# install from them fails: at most once, then.
define install
	@missing=; for p in $(1); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q ' installed$$' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  { apt-cache show $$missing >/dev/null 2>&1 && \
	    $(SUDO) apt-get install -y -q --no-install-recommends $$missing; } || \
	  { $(SUDO) apt-get update -q && $(SUDO) apt-get install -y -q --no-install-recommends $$missing; }; \
	fi
endef

.PHONY: all test test-debian13 test-debian14 sanitize lint install uninstall package bench cost clean

all:
	$(call install,$(BUILD_PACKAGES) $(EXAMPLE_PACKAGES))
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS) && cmake --build $(BUILD); status=$$?; $(call GIVE_BACK,$(BUILD)); exit $$status

# Then says what was skipped, and why: one line for each reason.
test: all
	$(call install,$(TEST_PACKAGES))
	ctest --test-dir $(BUILD) --output-on-failure; status=$$?; $(call GIVE_BACK,$(BUILD)); exit $$status
	@sed -n "s/.* \.\.\. skipped '\(.*\)'$$/\1/p" $(BUILD)/Testing/Temporary/LastTest.log | \
	  sort | uniq -c | awk '{ n = $$1; $$1 = ""; printf "skipped %d test%s:%s\n", n, (n > 1 ? "s" : ""), $$0 }'

# The test suite on Debian 13 or 14, in a minimal root that debootstrap
# makes at $(DEBIAN13_ROOT) or $(DEBIAN14_ROOT) from the archive this
# machine's apt uses. Takes root.
test-debian13:
	$(call install,debootstrap util-linux)
	tests/debian.sh trixie $(DEBIAN13_ROOT) test CMAKE_FLAGS="$(CMAKE_FLAGS)"

test-debian14:
	$(call install,debootstrap util-linux)
	tests/debian.sh forky $(DEBIAN14_ROOT) test CMAKE_FLAGS="$(CMAKE_FLAGS)"

# The whole test suite again, on a build with AddressSanitizer and
# UndefinedBehaviorSanitizer: any finding fails it.
sanitize:
	$(MAKE) test BUILD=$(BUILD)-sanitize \
	  CMAKE_FLAGS="$(CMAKE_FLAGS) -DLISTENER_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo"

# Every C++ file: the program, the tests' and the benchmark's. clang-tidy's
# count of what it left out of the headers is no finding.
lint: all
	$(call install,$(LINT_PACKAGES))
	clang-tidy -p $(BUILD) --quiet $(wildcard src/*.cpp tests/*.cpp bench/*.cpp) 2>$(BUILD)/clang-tidy.err; \
	  status=$$?; grep -v '^[0-9]* warnings\? generated\.$$' $(BUILD)/clang-tidy.err >&2; exit $$status
	cppcheck --enable=warning,style,performance,portability --std=c++17 \
	  --inline-suppr --error-exitcode=1 --quiet src/ tests/ bench/

# Installs the build that `make` made, and neither configures nor builds,
# so that `sudo make install` leaves no file of root's in the build. It
# replaces no file that a Debian package owns, as staged first it says.
install:
	@test -f $(BUILD)/listener || { echo "make install: no build in $(BUILD): run make first" >&2; exit 1; }
	@rm -rf $(BUILD)/staged && DESTDIR=$(abspath $(BUILD))/staged cmake --install $(BUILD) --prefix $(PREFIX) >/dev/null
	@owned=; for file in $$(cd $(BUILD)/staged && find . ! -type d | sed 's|^\.||'); do \
	  if owner=$$(dpkg-query -S "$(abspath $(DESTDIR))$$file" 2>/dev/null); then \
	    echo "make install: $(abspath $(DESTDIR))$$file belongs to the Debian package $${owner%%:*}: not replaced" >&2; \
	    owned=1; \
	  fi; \
	done; rm -rf $(BUILD)/staged; test -z "$$owned"
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD) --prefix $(PREFIX)
	@mkdir -p $(dir $(MANIFEST)) && touch $(MANIFEST)
	@sed 's|^|$(abspath $(DESTDIR))|' $(BUILD)/install_manifest.txt | sort -u -o $(MANIFEST) - $(MANIFEST)
	@chown -R --reference=$(BUILD) $(BUILD)/installed $(BUILD)/install_manifest.txt

# Removes what make install put in place under the same DESTDIR, and no
# file that a Debian package owns.
uninstall:
	@test -s $(MANIFEST) || { echo "make uninstall: nothing installed from $(BUILD)$(if $(DESTDIR), into $(DESTDIR))" >&2; exit 1; }
	@while read -r file; do \
	  if owner=$$(dpkg-query -S "$$file" 2>/dev/null); then \
	    echo "make uninstall: $$file belongs to the Debian package $${owner%%:*}: left in place"; \
	  else \
	    rm -fv "$$file"; \
	  fi; \
	done < $(MANIFEST)
	@sed -n 's|/copyright$$||p' $(MANIFEST) | xargs -r rmdir --ignore-fail-on-non-empty
	@rm $(MANIFEST)

package: all
	$(call install,$(PACKAGE_PACKAGES))
	(cd $(BUILD) && umask 022 && cpack); status=$$?; $(call GIVE_BACK,$(BUILD)); exit $$status

# The peer, tcpdump, is optional: without it the benchmark says so and goes
# on. MODE, if given, runs run.py's one mode with those options alone.
bench: all
	$(call install,$(BENCH_PACKAGES))
	-$(call install,tcpdump)
ifdef MODE
	python3 bench/run.py $(BUILD) $(MODE); status=$$?; $(call GIVE_BACK,$(BUILD)); exit $$status
else
	python3 bench/run.py $(BUILD) --frames 500000 --rounds 9
	python3 bench/run.py $(BUILD) --size 1514 --frames 500000 --rounds 9
	python3 bench/run.py $(BUILD) --loopback
	python3 bench/run.py $(BUILD) --callgrind
	python3 bench/run.py $(BUILD) --slow-reader
	python3 bench/run.py $(BUILD) --bursts
	python3 bench/run.py $(BUILD) --stops
	python3 bench/run.py $(BUILD) --stop-in-flood
	python3 bench/run.py $(BUILD) --nflog --frames 200000
	python3 bench/run.py $(BUILD) --nfqueue --frames 200000
	python3 bench/run.py $(BUILD) --dbus --frames 1200000
	$(call GIVE_BACK,$(BUILD))
endif

# The listener's instructions a packet, which repeat exactly under callgrind:
# fails above 1.10 times the floor's.
cost: all
	$(call install,$(BENCH_PACKAGES))
	python3 bench/run.py $(BUILD) --callgrind --check; \
	  status=$$?; $(call GIVE_BACK,$(BUILD)); exit $$status

clean:
	rm -rf $(BUILD) $(BUILD)-sanitize
