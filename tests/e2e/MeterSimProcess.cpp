#include "MeterSimProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

extern char** environ;

std::string MeterSimProcess::Executable() {
    const char* build = std::getenv("METER_BUILD_DIR");
    return std::string(build ? build : ".") + "/tools/meter-sim/meter-sim";
}

MeterSimProcess::MeterSimProcess(const std::vector<std::string>& extraArgs, bool withPty,
                                 bool withTcp) {
    char tmpl[] = "/tmp/meter-e2e-XXXXXX";
    if (!::mkdtemp(tmpl))
        throw std::runtime_error("mkdtemp failed");
    folder_ = tmpl;

    std::vector<std::string> args{Executable(), "--instant"};
    if (withPty) {
        ptyLink_ = folder_ + "/COM1";
        args.insert(args.end(), {"--pty", ptyLink_});
    }
    if (withTcp)
        args.insert(args.end(), {"--tcp", "0"});
    args.insert(args.end(), extraArgs.begin(), extraArgs.end());

    // Output goes to a file, not a pipe: a verbose simulator must never block
    // on a test that does not read it.
    outputPath_ = folder_ + "/meter-sim.out";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outputPath_.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    const int rc = ::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        pid_ = -1;
        return;
    }

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!ready_ && std::chrono::steady_clock::now() < deadline) {
        ::usleep(10000);
        const std::string output = Output();
        for (size_t pos = 0; pos < output.size();) {
            const size_t eol = output.find('\n', pos);
            if (eol == std::string::npos)
                break;
            const std::string line = output.substr(pos, eol - pos);
            if (line.rfind("tcp ", 0) == 0)
                tcpPort_ = std::atoi(line.substr(line.rfind(':') + 1).c_str());
            if (line == "ready")
                ready_ = true;
            pos = eol + 1;
        }
    }
}

MeterSimProcess::~MeterSimProcess() {
    Stop();
    std::error_code ec;
    std::filesystem::remove_all(folder_, ec);
}

std::string MeterSimProcess::Output() const {
    std::ifstream in(outputPath_, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void MeterSimProcess::Stop() {
    if (pid_ <= 0)
        return;
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
}
