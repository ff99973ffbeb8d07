// Preloaded into a program to make its k-th pthread_create fail with EAGAIN, as it does when
// the system is out of threads; every other call goes through. k is FAIL_PTHREAD_CREATE_AT
// (counting from 1).
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <dlfcn.h>
#include <pthread.h>

namespace {
using create_fn = int (*)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *);
std::atomic<int> calls{0};
} // namespace

extern "C" int pthread_create(pthread_t *thread, const pthread_attr_t *attr, void *(*start)(void *),
                              void *arg) {
    static const auto real = reinterpret_cast<create_fn>(dlsym(RTLD_NEXT, "pthread_create"));
    static const char *at = getenv("FAIL_PTHREAD_CREATE_AT");
    int call = ++calls;
    if (at != nullptr && call == atoi(at))
        return EAGAIN; // no thread made, *thread left untouched
    return real(thread, attr, start, arg);
}
