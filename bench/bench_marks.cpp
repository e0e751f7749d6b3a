// The archive-mark store at the size of a home folder: 1,000,000 records (paths of a believable
// length below one folder) loaded for a search in one pass, its time and the memory it holds
// (resident set before and after, and the peak while loading), and a lookup of every path in
// memory against one query per path.
//
// Usage: bench_marks [records]. The store lives in a temporary folder.

#include <stdlib.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/archivemarks/ArchiveMarkStore.h"

namespace {

// A field of /proc/self/status in kB ("VmRSS", "VmHWM").
long StatusKb(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    const std::string prefix = std::string(field) + ":";
    while (std::getline(status, line)) {
        if (line.rfind(prefix, 0) == 0) {
            return std::stol(line.substr(prefix.size()));
        }
    }
    return -1;
}

// Lets VmHWM start again from the present resident set.
void ResetPeak() {
    std::ofstream("/proc/self/clear_refs") << "5";
}

double MillisSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}

// /home/anna/Dokumente/Projekt 0042/Unterordner 17/Datei 0123456.txt and the like.
std::string PathOf(int i) {
    static const char* kTop[] = {"Dokumente", "Bilder/Urlaub", "Musik/Alben", "Projekte/Quellen",
                                 ".local/share/Daten"};
    char buffer[160];
    std::snprintf(buffer, sizeof buffer,
                  "/home/anna/%s/Ordner %04d/Unterordner %02d/Datei %07d.txt", kTop[i % 5],
                  i / 1000 % 1000, i / 37 % 50, i);
    return buffer;
}

ArchiveMarkStore::Signature SigOf(int i) {
    return {2049, static_cast<uint64_t>(i) + 1000, i % 100000, 1700000000000000000LL + i,
            1700000000000000000LL + 2 * i};
}

}  // namespace

int main(int argc, char** argv) {
    const int records = argc > 1 ? std::max(1000, atoi(argv[1])) : 1000000;
    char pattern[] = "/tmp/bench-marks-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        std::fprintf(stderr, "no temporary folder\n");
        return 1;
    }
    const std::string folder = pattern;
    const std::string file = folder + "/archive-marks.sqlite3";
    size_t pathBytes = 0;
    {
        ArchiveMarkStore store(file);
        const auto start = std::chrono::steady_clock::now();
        store.BeginBatch();
        for (int i = 0; i < records; ++i) {
            const std::string path = PathOf(i);
            pathBytes += path.size();
            store.Clear(path, SigOf(i));
        }
        if (!store.EndBatch()) {
            std::fprintf(stderr, "cannot write the store\n");
            return 1;
        }
        std::printf(
            "store: %d records (paths %.0f bytes on average), written in %.0f ms, %.0f MB\n",
            records, static_cast<double>(pathBytes) / records, MillisSince(start),
            static_cast<double>(std::filesystem::file_size(file)) / (1 << 20));
    }

    ArchiveMarkStore store(file);
    const long before = StatusKb("VmRSS");
    ResetPeak();
    auto start = std::chrono::steady_clock::now();
    if (store.Preload("/home/anna") != ArchiveMarkStore::Load::Loaded) {
        std::fprintf(stderr, "cannot read the store\n");
        return 1;
    }
    const double loadMs = MillisSince(start);
    const long after = StatusKb("VmRSS");
    const long peak = StatusKb("VmHWM");
    start = std::chrono::steady_clock::now();
    int wrong = 0;
    for (int i = 0; i < records; ++i) {
        wrong += store.IsSet(PathOf(i), SigOf(i)) ? 1 : 0;
    }
    const double lookupMs = MillisSince(start);

    ArchiveMarkStore queried(file);
    const int sample = std::min(records, 100000);
    start = std::chrono::steady_clock::now();
    for (int i = 0; i < sample; ++i) {
        wrong += queried.IsSet(PathOf(i), SigOf(i)) ? 1 : 0;
    }
    const double queryMs = MillisSince(start) * records / sample;

    const double heldMb = static_cast<double>(after - before) / 1024;
    const double peakMb = static_cast<double>(peak - before) / 1024;
    std::printf("load in one pass:    %8.1f ms\n", loadMs);
    std::printf("memory held:         %8.1f MB (peak while loading %.1f MB; target < 300)\n",
                heldMb, peakMb);
    std::printf("every mark, memory:  %8.1f ms\n", lookupMs);
    std::printf("every mark, queried: %8.1f ms (one query per path, from %d)\n", queryMs, sample);
    std::filesystem::remove_all(folder);
    if (wrong != 0) {
        std::fprintf(stderr, "%d marks read as set\n", wrong);
        return 1;
    }
    return peakMb < 300 ? 0 : 2;
}
