// Times "ask ValueExists, then Add" for every path, as the folder scan fills the backup list, at
// two sizes. The lookups must not walk the list, so ten times the paths should take about ten times
// as long.

#include <time.h>

#include <QString>
#include <algorithm>
#include <cstdio>
#include <vector>

#include "list/CListString.h"

namespace {

// CPU time of this thread: on a shared machine wall time mostly measures the other processes.
double threadSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

std::vector<QString> makePaths(int count) {
    std::vector<QString> paths;
    paths.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        paths.push_back(
            QStringLiteral("/home/user/Dokumente/Projekt %1/Unterordner %2/Datei %3.txt")
                .arg(i % 97)
                .arg(i % 1013)
                .arg(i));
    }
    return paths;
}

// Best of several runs, in seconds of CPU time; each run fills a fresh list and asks twice per
// path, since the second pass (every path already there) is what a repeated scan does.
double timeFill(const std::vector<QString>& paths, int runs) {
    double best = 1e30;
    for (int r = 0; r < runs; ++r) {
        const double start = threadSeconds();
        CListString list;
        int added = 0;
        for (int pass = 0; pass < 2; ++pass) {
            for (const QString& p : paths) {
                if (!list.ValueExists(p)) {
                    list.Add(p);
                    ++added;
                }
            }
        }
        const double took = threadSeconds() - start;
        if (added != static_cast<int>(paths.size()) || list.Count() != added) {
            std::fprintf(stderr, "bench_list: wrong count %d\n", added);
            return -1;
        }
        best = std::min(best, took);
    }
    return best;
}

}  // namespace

int main() {
    // A list that walked for each lookup would cost about 10x more per path at each step up.
    double perPath[3] = {};
    const int sizes[3] = {1'000, 10'000, 100'000};
    for (int i = 0; i < 3; ++i) {
        const double t = timeFill(makePaths(sizes[i]), i == 2 ? 3 : 5);
        if (t <= 0) {
            return 1;
        }
        perPath[i] = t * 1e9 / sizes[i];
        std::printf("ValueExists+Add, %6d paths: %8.2f ms CPU (%4.0f ns per path)\n", sizes[i],
                    t * 1e3, perPath[i]);
    }
    std::printf(
        "ratio 100000/10000: %.1fx (linear: about 10x; cache misses add to it once the "
        "list outgrows the cache)\n",
        10.0 * perPath[2] / perPath[1]);
    return 0;
}
