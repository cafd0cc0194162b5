# The two entry points are `make demo` and `make test`; the work is done by
# scripts that CI runs too.

.PHONY: demo test bench clean

demo:
	bash scripts/run-demo

test:
	bash scripts/run-tests

bench: ; bash bench/run

# Removes only what the two scripts create; other tools keep their own
# directories under build/ and .venvs/.
clean:
	rm -rf dist dist-faults build/wheel-* build/faults-* build/logs build/unpacked \
		.venvs/build-* .venvs/test-* .venvs/faults-* .venvs/demo .venvs/tools
