// Shared by the peer harnesses: load the benchmark's complex64 samples, run a
// block routine over them repeatedly and print the median cost per sample.
//
// Usage of every harness: <program> SAMPLES_FILE RUNS [peer options]
// Output, one line: <median ns per sample> <mean output power of the last run>
//
// Time is this thread's CPU time, as on the Python side, so that other
// processes on a shared machine are not counted.
#pragma once

#include <algorithm>
#include <complex>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

namespace bench {

using cf = std::complex<float>;

inline double thread_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + 1e-9 * double(ts.tv_nsec);
}

inline std::vector<cf> load(const char *path) {
    std::vector<cf> x;
    FILE *f = std::fopen(path, "rb");
    if (!f) return x;
    cf buf[4096];
    size_t got;
    while ((got = std::fread(buf, sizeof(cf), 4096, f)) > 0) x.insert(x.end(), buf, buf + got);
    std::fclose(f);
    return x;
}

// `block(in, out, n)` processes n samples, keeping its state between calls.
template <class Block>
int time_block(int argc, char **argv, Block &&block) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s SAMPLES_FILE RUNS [options]\n", argv[0]);
        return 2;
    }
    std::vector<cf> in = load(argv[1]);
    const int runs = std::atoi(argv[2]);
    if (in.empty() || runs < 1) {
        std::fprintf(stderr, "%s: no samples in %s or RUNS < 1\n", argv[0], argv[1]);
        return 2;
    }
    const auto n = unsigned(in.size());
    std::vector<cf> out(n);
    block(in.data(), out.data(), n);  // warm-up: caches, lazy setup, loop settling
    std::vector<double> ns(runs);
    for (auto &t : ns) {
        const double t0 = thread_seconds();
        block(in.data(), out.data(), n);
        t = (thread_seconds() - t0) * 1e9 / n;
    }
    std::nth_element(ns.begin(), ns.begin() + runs / 2, ns.end());
    double power = 0;
    for (const cf &y : out) power += std::norm(y);
    std::printf("%.4f %.6g\n", ns[runs / 2], power / n);
    return 0;
}

}  // namespace bench
