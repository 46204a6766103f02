# Two entry points for a fresh Debian 12 machine: `make run` and `make test`.
.PHONY: deps build run test test-sanitize mutants bench install package format clean

JOBS ?= 2

deps:
	@bash scripts/install-deps.sh

build: deps
	cmake --preset default
	cmake --build --preset default -j $(JOBS)
	@ln -sf build/compile_commands.json compile_commands.json

run: build
	@bash scripts/run-app.sh

test: build
	ctest --preset default
	$(MAKE) test-sanitize

# The whole suite once more under AddressSanitizer and UBSan, plus a short fixed fuzzing run. The
# real-SIGKILL runs over 200 MB movies stay in the default suite: a killed process tells a
# sanitizer nothing, and they take minutes under it.
test-sanitize: deps
	cmake --preset sanitize
	cmake --build --preset sanitize -j $(JOBS)
	ctest --preset sanitize

# Seeded faults that the tests must catch, in a scratch copy of the last commit; ONLY=07 runs one.
# Not part of `make test` (see tests/mutants/README.md).
mutants: deps
	bash scripts/mutants.sh $(ONLY)

bench: build
	cmake --build --preset default --target benchmarks
	bash bench/run.sh

# System-wide: `sudo make install` puts the programs under /usr/local; PREFIX=... and DESTDIR=...
# choose elsewhere.
install: build
	cmake --install build $(if $(PREFIX),--prefix $(PREFIX))

# A Debian package for /usr in build/, checked by lintian (see docs/packaging.md).
package: build
	cd build && cpack -G DEB
	lintian --fail-on error,warning --display-info build/tintguard_*.deb

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf build build-sanitize compile_commands.json
