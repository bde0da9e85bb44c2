// Time from dlopen of the table library until it returns, in a fresh child
// process per iteration: the library's load-time initialiser has then
// registered every module and made every descriptor singleton. Baseline: the
// same for the runtime library alone, which the table library pulls in.
// Paths come from the build (X2_TABLE_LIBRARY, X2_PLATFORM_LIBRARY).
#include <dlfcn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include <benchmark/benchmark.h>

namespace {

// Seconds one dlopen of `path` takes in a new process; negative on failure.
double loadSeconds(char const* path) {
    int fds[2];
    if (::pipe(fds) != 0) return -1;
    pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        auto t0 = std::chrono::steady_clock::now();
        void* h = ::dlopen(path, RTLD_NOW | RTLD_LOCAL);
        double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        if (!h) s = -1;
        ssize_t n = ::write(fds[1], &s, sizeof s);
        ::_exit(n == ssize_t(sizeof s) ? 0 : 1);
    }
    ::close(fds[1]);
    double s = -1;
    if (::read(fds[0], &s, sizeof s) != ssize_t(sizeof s)) s = -1;
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return s;
}

double gPlatform = 0, gTable = 0;

void run(benchmark::State& state, char const* path, double& mean) {
    double sum = 0;
    for (auto _ : state) {
        double s = loadSeconds(path);
        if (s < 0) {
            state.SkipWithError(dlerror() ? dlerror() : "dlopen failed in the child");
            return;
        }
        sum += s;
        state.SetIterationTime(s);
    }
    mean = sum / double(state.iterations());
    state.counters["ms"] = mean * 1e3;
}

void BM_LoadPlatform(benchmark::State& state) { run(state, X2_PLATFORM_LIBRARY, gPlatform); }
void BM_LoadTableLibrary(benchmark::State& state) {
    run(state, X2_TABLE_LIBRARY, gTable);
    if (gPlatform > 0) state.counters["ratio_vs_platform"] = gTable / gPlatform;
}
BENCHMARK(BM_LoadPlatform)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(30);
BENCHMARK(BM_LoadTableLibrary)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(30);

}  // namespace

BENCHMARK_MAIN();
