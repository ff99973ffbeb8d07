# Thin wrappers over the CMake presets; see README.md.
.PHONY: demo test build clean
demo:
	./demo.sh
test:
	./test.sh
build:
	cmake --preset default && cmake --build --preset default -j
clean:
	rm -rf build build-asan build-tsan
