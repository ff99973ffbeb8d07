# Thin wrappers over the scripts and the CMake presets; see README.md.
.PHONY: demo test build bench clean
demo:
	./demo.sh
test:
	./test.sh
build:
	cmake --preset default && cmake --build --preset default -j
bench: build
	build/bench/kernel_bench
	bench/compare.sh build
	build/bench/tour_cost
clean:
	rm -rf build build-* # every preset's build, and the portability builds in build-matrix
