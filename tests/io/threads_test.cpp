// The threads a step may use: every core unless OMP_NUM_THREADS asks for fewer, and never less than one.
#include <gtest/gtest.h>

#include <cstdlib>
#include <thread>

#include "io/threads.h"

TEST(WorkerThreads, OmpNumThreadsCapsTheCores) {
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    const struct {
        const char* env;
        unsigned threads;
    } rows[] = {{nullptr, cores}, {"1", 1}, {"1,4", 1}, {"999", cores}, {"0", cores}, {"-2", cores}, {"two", cores},
                {"2x", cores}, {"", cores}};
    for (const auto& r : rows) {
        if (r.env) setenv("OMP_NUM_THREADS", r.env, 1);
        else unsetenv("OMP_NUM_THREADS");
        EXPECT_EQ(velmora::worker_threads(), r.threads) << (r.env ? r.env : "(unset)");
    }
    unsetenv("OMP_NUM_THREADS");
}
