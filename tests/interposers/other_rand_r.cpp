// Preloaded into a program in place of the C library's rand_r: another generator with the same
// contract (the whole state in the caller's unsigned int, results 0 to 2147483647), so the
// program must notice at start-up that its fast kernel does not apply.
extern "C" int rand_r(unsigned *seed) {
    unsigned x = *seed + 0x9E3779B9u; // xorshift32 would stay at 0 from a zero seed
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    *seed = x;
    return static_cast<int>(x >> 1);
}
