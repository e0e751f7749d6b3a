// The restore dialog's tree at 100,000 files in 2,000 folders: filling it, a click on the top
// folder's box (every file below changes), collecting the checked files, and drawing the view
// with that folder open. Prints wall times in milliseconds, best of five.

#include <QApplication>
#include <QElapsedTimer>
#include <QTreeView>
#include <cstdio>
#include <functional>

#include "ui/RestoreTreeModel.h"

namespace {

std::vector<Restore::PlannedFile> MakeFiles(int count) {
    std::vector<Restore::PlannedFile> files;
    files.reserve(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        Restore::PlannedFile file;
        file.path = QStringLiteral("/home/anna/Projekt %1/Ordner %2/Datei %3.txt")
                        .arg(i % 40)
                        .arg(i % 2000)
                        .arg(i)
                        .toUtf8();
        file.version.iArchive = i % 30;
        file.version.lSize = static_cast<uint64_t>(i % 5000) * 100;
        files.push_back(std::move(file));
    }
    std::sort(files.begin(), files.end(),
              [](const auto& a, const auto& b) { return a.path < b.path; });
    return files;
}

double BestMs(const std::function<void()>& step) {
    double best = 1e30;
    for (int run = 0; run < 5; ++run) {
        QElapsedTimer clock;
        clock.start();
        step();
        best = std::min(best, static_cast<double>(clock.nsecsElapsed()) / 1e6);
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    const std::vector<Restore::PlannedFile> files = MakeFiles(100000);
    std::vector<QString> moments(30, QStringLiteral("01.12.2026 10:00"));
    RestoreTreeModel model;
    QTreeView view;
    view.setUniformRowHeights(true);
    view.setModel(&model);
    view.resize(800, 600);
    view.show();

    const double fill = BestMs([&] { model.SetFiles(files, moments); });
    const QModelIndex top = model.IndexOf("/home/anna");
    view.expand(model.IndexOf("/home"));
    view.expand(top);
    bool bChecked = true;
    const double click = BestMs([&] {
        bChecked = !bChecked;
        model.setData(top, bChecked ? Qt::Checked : Qt::Unchecked, Qt::CheckStateRole);
    });
    model.setData(top, Qt::Checked, Qt::CheckStateRole);
    model.setData(model.IndexOf("/home/anna/Projekt 7"), Qt::Unchecked, Qt::CheckStateRole);
    size_t checked = 0;
    const double collect = BestMs([&] { checked = model.CheckedFiles().size(); });
    const double draw = BestMs([&] { view.grab(); });
    std::printf(
        "100000 files: fill %.1f ms, click on the top folder %.1f ms, "
        "checked files (%zu) %.1f ms, drawing %.1f ms\n",
        fill, click, checked, collect, draw);
    return 0;
}
