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
#include <functional>

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
        auto* w = new TfrmDownload(dialogs, ui);
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
    return run;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// The windows against another client, one pair per iteration, alternating which goes first so
// both meet the same load; the iteration time is the windows'. A gigabyte written into the page
// cache varies by a quarter from one run to the next on a shared machine, so the ratios are the
// median of the pairs' ratios, not a ratio of sums one slow run can swing.
struct TPairs {
    TRunFigures Windows, Other;
    std::vector<double> SpeedRatios, CpuRatios;  // other / windows, windows / other
    double Late = 0;
    int Runs = 0;

    void Run(benchmark::State& state, const std::function<TWindowRun()>& windows,
             const std::function<TRunFigures()>& other) {
        TWindowRun a;
        TRunFigures b;
        if (Runs % 2 == 0) {
            a = windows();
            b = other();
        } else {
            b = other();
            a = windows();
        }
        if (!a.Figures.Ok || !b.Ok) state.SkipWithError("a download failed");
        state.SetIterationTime(a.Figures.Seconds);
        Windows.Seconds += a.Figures.Seconds;
        Windows.Cpu += a.Figures.Cpu;
        Other.Seconds += b.Seconds;
        Other.Cpu += b.Cpu;
        SpeedRatios.push_back(b.Seconds / a.Figures.Seconds);
        CpuRatios.push_back(a.Figures.Cpu / b.Cpu);
        Late = std::max(Late, a.MaxTimerLateMs);
        ++Runs;
    }
};

void BM_WindowVsWorker(benchmark::State& state) {
    TWorld& w = World();
    TPairs pairs;
    for (auto _ : state) {
        pairs.Run(
            state, [&] { return RunWindows({"1024.bin"}, w.Out.Path); },
            [&] {
                std::remove(w.Out.File("worker.bin").c_str());
                return RunWorker(w.Server.Url("/1024.bin"), w.Out.File("worker.bin"));
            });
    }
    if (pairs.Runs == 0) return;
    state.counters["window_MiB/s"] = 1024.0 * pairs.Runs / pairs.Windows.Seconds;
    state.counters["worker_MiB/s"] = 1024.0 * pairs.Runs / pairs.Other.Seconds;
    state.counters["speed_ratio"] = Median(pairs.SpeedRatios);
    state.counters["window_cpu_s"] = pairs.Windows.Cpu / pairs.Runs;
    state.counters["worker_cpu_s"] = pairs.Other.Cpu / pairs.Runs;
    state.counters["cpu_ratio"] = Median(pairs.CpuRatios);
    state.counters["max_timer_late_ms"] = pairs.Late;
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
    const std::string ariaFolder = w.Out.File("aria2");
    TPairs pairs;
    for (auto _ : state) {
        pairs.Run(
            state, [&] { return RunWindows(names, w.Out.Path); },
            [&] {
                // Its earlier files go outside the timing too, as the windows' do.
                for (const std::string& name : names)
                    std::remove((ariaFolder + "/" + name).c_str());
                return RunChild({"aria2c", "-q", "-j" + std::to_string(kWindows), "-x1", "-s1",
                                 "--allow-overwrite=true", "--auto-file-renaming=false",
                                 "--file-allocation=none", "-d", ariaFolder, "-i",
                                 w.Out.File("urls.txt")});
            });
    }
    if (pairs.Runs == 0) return;
    state.counters["windows_s"] = pairs.Windows.Seconds / pairs.Runs;
    state.counters["aria2c_s"] = pairs.Other.Seconds / pairs.Runs;
    state.counters["wall_ratio"] = 1 / Median(pairs.SpeedRatios);
    state.counters["windows_cpu_s"] = pairs.Windows.Cpu / pairs.Runs;
    state.counters["aria2c_cpu_s"] = pairs.Other.Cpu / pairs.Runs;
    state.counters["max_timer_late_ms"] = pairs.Late;
    state.counters["peak_rss_MiB"] = double(PeakRssKiB()) / 1024;
}
BENCHMARK(BM_TwentyWindowsVsAria2)->Iterations(6)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    // The first window of the process loads the fonts; a real program has done so at start-up.
    TSaveInFolder dialogs;
    TQtUiThread ui;
    {
        TfrmDownload first(dialogs, ui);
        first.show();
        QCoreApplication::processEvents();
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
