// Greets the open window of this user (XDG_RUNTIME_DIR and the rest as the program sees them)
// again and again and reports the longest wait for an answer: how long the window's event loop
// stalled at worst while it did other work.
//
// Usage: bench_instance_probe wait      waits (up to 60 s) until a window answers; status 0 if one
// did
//        bench_instance_probe           probes until SIGTERM or SIGINT, then prints
//                                       "probes N longest_ms M", the longest answer in milliseconds

#include <csignal>
#include <cstdio>
#include <cstring>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

#include "app/SingleInstance.h"

namespace {
volatile std::sig_atomic_t stop = 0;
void Stop(int) {
    stop = 1;
}
}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc > 1 && std::strcmp(argv[1], "wait") == 0) {
        QElapsedTimer waited;
        waited.start();
        while (!SingleInstance::WindowInstanceRunning()) {
            if (waited.hasExpired(60000)) {
                return 1;
            }
            QThread::msleep(20);
        }
        return 0;
    }
    std::signal(SIGTERM, Stop);
    std::signal(SIGINT, Stop);
    long probes = 0;
    qint64 longestNs = 0;
    while (stop == 0) {
        QElapsedTimer answer;
        answer.start();
        SingleInstance::WindowInstanceRunning();
        longestNs = std::max(longestNs, answer.nsecsElapsed());
        ++probes;
        QThread::msleep(5);
    }
    std::printf("probes %ld longest_ms %.1f\n", probes, static_cast<double>(longestNs) / 1e6);
    return 0;
}
