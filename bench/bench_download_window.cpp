// The download window's cost, on Qt's offscreen platform, against nginx on 127.0.0.1:
// - one 1 GiB download through TfrmDownload against the worker alone (throughput, CPU time, and
//   how late a 10 ms timer on the UI thread fires meanwhile);
// - twenty windows at once, 50 MiB each, against `aria2c -j20` fetching the same files (wall
//   time and the process's peak memory; run this one in a process of its own, with
//   --benchmark_filter=Twenty, so the peak is its own).
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QEventLoop>
#include <QLabel>
#include <QTimer>
#include <algorithm>
#include <cstdio>

#include "app/TQtUiThread.h"
#include "bench/BenchFigures.h"
#include "download/TfrmDownload.h"
#include "tests/support/Nginx.h"
#include "tests/support/TempFolder.h"
#include "ui/TDialogs.h"

namespace {

constexpr int kWindows = 20;

struct TWorld {
    TTempFolder Root;
    TTempFolder Out;
    TNginx Server;
    TWorld() {
        SparseFile(Root.File("1024.bin"), int64_t(1) << 30);
        for (int i = 0; i < kWindows; ++i) SparseFile(Root.File(Name(i)), int64_t(50) << 20);
        if (!Server.Start({.Root = Root.Path})) std::abort();
    }
    static std::string Name(int i) { return "part" + std::to_string(i) + ".bin"; }
};

TWorld& World() {
    static TWorld world;
    return world;
}

// Saves every download under its proposed name in the folder given; any message is a failure.
struct TSaveInFolder : TDialogs {
    QString Folder;
    int Messages = 0;
    void MessageBox(QWidget*, const QString&, const QString&, TIcon) override { ++Messages; }
    bool Question(QWidget*, const QString&, const QString&) override { return true; }
    std::optional<QString> SaveFile(QWidget*, const QString& fileName, const QString&,
                                    const QStringList&) override {
        return Folder + fileName;
    }
    std::optional<QString> SelectFolder(QWidget*, const QString&, const QString&, QPoint) override {
        return std::nullopt;
    }
    int ShowModal(QDialog*) override { return 0; }
    bool OpenDocument(const QString&) override { return false; }
};

struct TWindowRun {
    TRunFigures Figures;
    double MaxTimerLateMs = 0;
};

// Opens one window per name, each closing itself when done, and turns the UI loop until all
// have closed, with a 10 ms timer beside them.
TWindowRun RunWindows(const std::vector<std::string>& names, const std::string& folder) {
    TQtUiThread ui;
    SetUiThread(&ui);
    TSaveInFolder dialogs;
    dialogs.Folder = QString::fromStdString(folder + "/");
    TWindowRun run;
    int open = 0, complete = 0;
    QTimer timer;
    timer.setTimerType(Qt::PreciseTimer);
    timer.setInterval(10);
    auto last = std::chrono::steady_clock::now();
    QObject::connect(&timer, &QTimer::timeout, [&] {
        const auto now = std::chrono::steady_clock::now();
        const double late = std::chrono::duration<double, std::milli>(now - last).count() - 10;
        run.MaxTimerLateMs = std::max(run.MaxTimerLateMs, late);
        last = now;
    });
    // Earlier runs' files go first, outside the timing, as the worker's do: freeing a 1 GiB
    // file costs more than the window being measured.
    for (const std::string& name : names) std::remove((folder + "/" + name).c_str());
    const double cpu = SelfCpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    for (const std::string& name : names) {
        auto* w = new TfrmDownload(dialogs);
        w->MediaUrl = World().Server.Url("/" + name);
        w->FileName = name;
        w->MediaFormat = 2;
        w->SetCloseWhenDone(true);
        w->OnClosed = [&](TfrmDownload* x) {
            --open;
            if (x->Label1->text() == "Download complete...") ++complete;
        };
        ++open;
        w->StartDownload();
    }
    last = std::chrono::steady_clock::now();
    timer.start();
    QEventLoop loop;
    while (open > 0) loop.processEvents(QEventLoop::WaitForMoreEvents);
    timer.stop();
    const auto stop = std::chrono::steady_clock::now();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    run.Figures = {std::chrono::duration<double>(stop - start).count(), SelfCpuSeconds() - cpu,
                   complete == int(names.size()) && dialogs.Messages == 0};
    SetUiThread(nullptr);
    return run;
}

// One iteration's figures into the sums; its time is the windows'.
void Tally(benchmark::State& state, const TWindowRun& windows, const TRunFigures& other,
           TRunFigures& windowsSum, TRunFigures& otherSum, double& late) {
    if (!windows.Figures.Ok || !other.Ok) state.SkipWithError("a download failed");
    state.SetIterationTime(windows.Figures.Seconds);
    windowsSum.Seconds += windows.Figures.Seconds;
    windowsSum.Cpu += windows.Figures.Cpu;
    otherSum.Seconds += other.Seconds;
    otherSum.Cpu += other.Cpu;
    late = std::max(late, windows.MaxTimerLateMs);
}

TRunFigures RunFreshWorker(const std::string& url, const std::string& file) {
    std::remove(file.c_str());
    return RunWorker(url, file);
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// Each iteration runs both on the same file, alternating the order, so both meet the same load.
// The iteration time is the window's. A 1 GiB write into the page cache varies by a quarter from
// one run to the next on a shared machine, so the ratios are the median of the pairs' ratios,
// not a ratio of sums one slow run can swing.
void BM_WindowVsWorker(benchmark::State& state) {
    TWorld& w = World();
    TRunFigures window, worker;
    std::vector<double> speedRatios, cpuRatios;
    double late = 0;
    int runs = 0;
    for (auto _ : state) {
        TWindowRun a;
        TRunFigures b;
        if (runs % 2 == 0) {
            a = RunWindows({"1024.bin"}, w.Out.Path);
            b = RunFreshWorker(w.Server.Url("/1024.bin"), w.Out.File("worker.bin"));
        } else {
            b = RunFreshWorker(w.Server.Url("/1024.bin"), w.Out.File("worker.bin"));
            a = RunWindows({"1024.bin"}, w.Out.Path);
        }
        Tally(state, a, b, window, worker, late);
        speedRatios.push_back(b.Seconds / a.Figures.Seconds);
        cpuRatios.push_back(a.Figures.Cpu / b.Cpu);
        ++runs;
    }
    if (runs == 0) return;
    state.counters["window_MiB/s"] = 1024.0 * runs / window.Seconds;
    state.counters["worker_MiB/s"] = 1024.0 * runs / worker.Seconds;
    state.counters["speed_ratio"] = Median(speedRatios);
    state.counters["window_cpu_s"] = window.Cpu / runs;
    state.counters["worker_cpu_s"] = worker.Cpu / runs;
    state.counters["cpu_ratio"] = Median(cpuRatios);
    state.counters["max_timer_late_ms"] = late;
}
BENCHMARK(BM_WindowVsWorker)->Iterations(12)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_TwentyWindowsVsAria2(benchmark::State& state) {
    TWorld& w = World();
    std::vector<std::string> names;
    std::string list;
    for (int i = 0; i < kWindows; ++i) {
        names.push_back(TWorld::Name(i));
        list += w.Server.Url("/" + TWorld::Name(i)) + "\n";
    }
    WriteFile(w.Out.File("urls.txt"), list);
    TRunFigures windows, aria;
    double late = 0;
    int runs = 0;
    for (auto _ : state) {
        const TWindowRun a = RunWindows(names, w.Out.Path);
        const TRunFigures b = RunChild({"aria2c", "-q", "-j" + std::to_string(kWindows), "-x1",
                                        "-s1", "--allow-overwrite=true",
                                        "--auto-file-renaming=false", "--file-allocation=none",
                                        "-d", w.Out.File("aria2"), "-i", w.Out.File("urls.txt")});
        Tally(state, a, b, windows, aria, late);
        ++runs;
    }
    if (runs == 0) return;
    state.counters["windows_s"] = windows.Seconds / runs;
    state.counters["aria2c_s"] = aria.Seconds / runs;
    state.counters["wall_ratio"] = windows.Seconds / aria.Seconds;
    state.counters["windows_cpu_s"] = windows.Cpu / runs;
    state.counters["aria2c_cpu_s"] = aria.Cpu / runs;
    state.counters["max_timer_late_ms"] = late;
    state.counters["peak_rss_MiB"] = double(PeakRssKiB()) / 1024;
}
BENCHMARK(BM_TwentyWindowsVsAria2)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    // The first window of the process loads the fonts; a real program has done so at start-up.
    TSaveInFolder dialogs;
    {
        TfrmDownload first(dialogs);
        first.show();
        QCoreApplication::processEvents();
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
