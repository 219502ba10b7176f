// libFuzzer's entry point, with a budget of input bytes: with FUZZ_BYTES set,
// the process ends once that many input bytes have been run through the harness
// and prints what it did. libFuzzer itself only knows budgets of runs and time.
#include "tests/fuzz/FuzzSupport.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace {

struct Budget {
    unsigned long long limit = 0;  // 0: no budget, libFuzzer's own options decide
    unsigned long long runs = 0;
    unsigned long long bytes = 0;
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();

    Budget()
    {
        if (const char *v = std::getenv("FUZZ_BYTES"))
            limit = std::strtoull(v, nullptr, 10);
    }

    void account(size_t size)
    {
        ++runs;
        bytes += size;
        if (limit == 0 || bytes < limit)
            return;
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::fprintf(stderr, "\nfuzz-budget: runs=%llu bytes=%llu seconds=%.1f\n", runs, bytes, seconds);
        std::fflush(stderr);
        // Inside the callback libFuzzer counts exit() as a failure of the target;
        // new corpus units are on disk already, so nothing is lost by leaving here.
        std::_Exit(0);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static Budget budget;
    TalvexFuzzOne(data, size);
    budget.account(size);
    return 0;
}
