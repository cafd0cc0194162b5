# The two entry points are `make demo` and `make test`; the work is done by
# scripts that CI runs too.

.PHONY: demo test bench tsan root arm64-root dist clean

demo:
	bash scripts/run-demo

test:
	bash scripts/run-tests

bench: ; bash bench/run

# ThreadSanitizer over the free-threaded build: the threaded tests and the
# thread stress on a free-threaded CPython built with it (made once per
# machine; needs root and the network the first time). Not part of `test`.
tsan:
	bash scripts/run-tsan

# The Debian root with the newer and the debug CPython builds that `make test`
# uses when present (needs root and the network; made once per machine).
root:
	bash scripts/provision-root

# The Debian arm64 root in which scripts/check-aarch64 runs the suite under
# emulation (needs root and the network; made once per machine).
arm64-root:
	bash scripts/provision-arm64-root

# The sdist and a manylinux wheel, checked, in dist/release/ (see README).
dist:
	bash scripts/make-dist

# Removes only what the two scripts create; other tools keep their own
# directories under build/ and .venvs/.
clean:
	rm -rf dist dist-faults dist-ft dist-tsan dist-aarch64 build/wheel-* build/tsan build/tsan-unpacked build/faults-* \
		build/aarch64-* build/logs build/unpacked build/unpacked-aarch64 build/wheelhouse \
		.venvs/build-* .venvs/test-* .venvs/faults-* .venvs/tsan-* .venvs/demo .venvs/tools \
		.venvs/dist-[0-9]*
