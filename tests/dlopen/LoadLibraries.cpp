// Loads the shared libraries named on the command line with dlopen, in that
// order, into this process, which is linked against neither of them: the way
// an agent framework loads a type library it only knows by file name. Exits
// 0 when every load succeeds, 1 with dlerror()'s text otherwise.
//
// Run with default glibc settings: a GLIBC_TUNABLES in the environment could
// enlarge the static TLS surplus and hide the failure this guards against.
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s LIBRARY.so ...\n", argv[0]);
        return 2;
    }
    if (char const* t = std::getenv("GLIBC_TUNABLES")) {
        std::fprintf(stderr, "GLIBC_TUNABLES=%s is set; the loads must succeed with the defaults\n", t);
        return 2;
    }
    for (int i = 1; i < argc; ++i) {
        // RTLD_NOW: every relocation, the thread-local ones included, is
        // resolved here, not at first use.
        void* h = ::dlopen(argv[i], RTLD_NOW | RTLD_LOCAL);
        if (!h) {
            std::fprintf(stderr, "dlopen %s: %s\n", argv[i], ::dlerror());
            return 1;
        }
        std::printf("loaded %s\n", argv[i]);
    }
    return 0;
}
