// Figure 5: start-up of the real meter-console, launched offscreen as a user
// would start it, from the spawn to the first frame of the window, and its
// resident memory at that moment.
//
// The console prints nothing, so "shown" is taken from Qt's own painting log
// (QT_LOGGING_RULES qt.widgets.painting): the first "Flushing" line is the
// first complete frame handed to the platform. Logging those lines costs the
// console a little, so the figure errs on the slow side. The same harness
// launches a bare Qt window of the same size as the baseline.
#include "BenchReport.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

extern char** environ;

namespace {
constexpr int kLaunches = 9;
constexpr double kTimeBudgetMs = 400;
constexpr double kMemoryBudgetMb = 80;
constexpr int kSteadyAfterMs = 1000;
const char kShownLine[] = "qt.widgets.painting: Flushing QRegion(";

struct Launch {
    double shownMs = 0;
    double rssMbShown = 0;
    double rssMbSteady = 0;
    int logLinesBefore = 0;
};

double ResidentMb(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::atof(line.c_str() + 6) / 1024.0;
    return 0;
}

std::vector<std::string> ChildEnvironment(const std::string& runtimeDir) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        if (entry.rfind("QT_QPA_PLATFORM=", 0) != 0 && entry.rfind("QT_LOGGING_RULES=", 0) != 0 &&
            entry.rfind("XDG_RUNTIME_DIR=", 0) != 0)
            env.push_back(entry);
    }
    env.push_back("QT_QPA_PLATFORM=offscreen");
    env.push_back("QT_LOGGING_RULES=qt.widgets.painting=true");
    env.push_back("XDG_RUNTIME_DIR=" + runtimeDir);
    return env;
}

// Reads the child's stderr until `until`, or until a line starts with
// `wanted` (when given); returns whether that line came.
bool ReadLog(int fd, std::string& pending, BenchClock::time_point until, const char* wanted,
             int& linesBefore) {
    for (;;) {
        size_t eol;
        while ((eol = pending.find('\n')) != std::string::npos) {
            const std::string line = pending.substr(0, eol);
            pending.erase(0, eol + 1);
            if (wanted && line.rfind(wanted, 0) == 0)
                return true;
            ++linesBefore;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(until - BenchClock::now());
        if (left.count() <= 0)
            return false;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0)
            continue;
        char buffer[65536];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0)
            return false;
        pending.append(buffer, static_cast<size_t>(n));
    }
}

std::optional<Launch> LaunchOnce(const std::string& executable, const std::string& runtimeDir,
                                 std::string& failure) {
    int err[2];
    if (::pipe2(err, O_CLOEXEC) != 0) {
        failure = "pipe failed";
        return std::nullopt;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    std::vector<std::string> env = ChildEnvironment(runtimeDir);
    std::vector<char*> envp;
    for (std::string& e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string exe = executable;
    char* argv[] = {exe.data(), nullptr};

    pid_t pid = -1;
    const auto start = BenchClock::now();
    const int rc = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(err[1]);
    if (rc != 0) {
        ::close(err[0]);
        failure = "could not start " + executable;
        return std::nullopt;
    }

    Launch launch;
    std::string pending;
    const bool shown = ReadLog(err[0], pending, start + std::chrono::seconds(10), kShownLine,
                               launch.logLinesBefore);
    const auto shownAt = BenchClock::now();
    if (shown) {
        launch.rssMbShown = ResidentMb(pid);
        launch.shownMs = MillisecondsBetween(start, shownAt);
        int ignored = 0;
        ReadLog(err[0], pending, shownAt + std::chrono::milliseconds(kSteadyAfterMs), nullptr,
                ignored);
        launch.rssMbSteady = ResidentMb(pid);
    }
    ::kill(pid, SIGTERM);  // no closing handler runs: nothing is saved
    ::close(err[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!shown) {
        failure = executable + " showed no window within 10 s";
        return std::nullopt;
    }
    return launch;
}

struct Series {
    std::vector<double> shownMs, rssShown, rssSteady;
    int logLines = 0;
    std::string failure;
};

// A copy beside nothing: the console reads Config.ini beside itself, and the
// copy keeps the build folder's file out of the measurement.
std::string CopyInto(const std::filesystem::path& folder, const std::string& executable) {
    const auto target = folder / std::filesystem::path(executable).filename();
    std::filesystem::copy_file(executable, target,
                               std::filesystem::copy_options::overwrite_existing);
    return target.string();
}
}  // namespace

int main() {
    const std::string build = BuildDir();
    const std::string console = build + "/console/meter-console";
    const std::string bare = build + "/bench/bench_bare_window";
    const char timeFigure[] = "Start-up: process start to window shown (offscreen)";
    const char memoryFigure[] = "Start-up: resident memory when shown";
    if (!std::filesystem::exists(console)) {
        EmitNotMeasured("5a", timeFigure, "<= 400 ms", console + " is not built");
        EmitNotMeasured("5b", memoryFigure, "<= 80 MB", console + " is not built");
        return 1;
    }

    char folderTemplate[] = "/tmp/meter-bench-start-XXXXXX";
    const std::filesystem::path folder = ::mkdtemp(folderTemplate);
    std::filesystem::permissions(folder, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::replace);
    const std::string consoleCopy = CopyInto(folder, console);
    const bool haveBare = std::filesystem::exists(bare);
    const std::string bareCopy = haveBare ? CopyInto(folder, bare) : "";

    Series consoleRuns, bareRuns;
    // A program that failed once is not launched again: each failure costs
    // the whole 10 s wait.
    auto run = [&](const std::string& exe, Series& series, bool keep) {
        if (exe.empty() || !series.failure.empty())
            return;
        std::string failure;
        const auto launch = LaunchOnce(exe, folder.string(), failure);
        if (!launch) {
            series.failure = failure;
            return;
        }
        if (!keep)
            return;
        series.shownMs.push_back(launch->shownMs);
        series.rssShown.push_back(launch->rssMbShown);
        series.rssSteady.push_back(launch->rssMbSteady);
        series.logLines = launch->logLinesBefore;
        std::printf("%s: shown after %.1f ms, %.1f MB; %.1f MB a second later; %d log lines\n",
                    exe.c_str(), launch->shownMs, launch->rssMbShown, launch->rssMbSteady,
                    launch->logLinesBefore);
    };
    // One unmeasured launch each warms the page cache; then they alternate,
    // so a busy moment on the machine hits both alike.
    run(consoleCopy, consoleRuns, false);
    run(bareCopy, bareRuns, false);
    for (int i = 0; i < kLaunches; ++i) {
        run(consoleCopy, consoleRuns, true);
        run(bareCopy, bareRuns, true);
    }
    std::filesystem::remove_all(folder);

    if (consoleRuns.shownMs.empty()) {
        EmitNotMeasured("5a", timeFigure, "<= 400 ms", consoleRuns.failure);
        EmitNotMeasured("5b", memoryFigure, "<= 80 MB", consoleRuns.failure);
        return 1;
    }
    const double shown = Median(consoleRuns.shownMs);
    const double rss = Median(consoleRuns.rssShown);
    const bool bareOk = !bareRuns.shownMs.empty();
    const double bareShown = bareOk ? Median(bareRuns.shownMs) : 0;
    const double bareRss = bareOk ? Median(bareRuns.rssShown) : 0;
    const std::string launches = "median of " + std::to_string(consoleRuns.shownMs.size());
    EmitRow({"5a", timeFigure, Fixed(shown, 1) + " ms", "<= 400 ms",
             bareOk ? "bare Qt window " + Fixed(bareShown, 1) + " ms" : "-",
             Ratio(shown, bareShown), Verdict(shown <= kTimeBudgetMs),
             launches + "; p90 " + Fixed(Quantile(consoleRuns.shownMs, 0.9), 1) + " ms"});
    EmitRow({"5b", memoryFigure, Fixed(rss, 1) + " MB", "<= 80 MB",
             bareOk ? "bare Qt window " + Fixed(bareRss, 1) + " MB" : "-", Ratio(rss, bareRss),
             Verdict(rss <= kMemoryBudgetMb),
             launches + "; " + Fixed(Median(consoleRuns.rssSteady), 1) + " MB a second later"});
    return 0;
}
