// A running meter-sim for end-to-end tests: started with instant timing on a
// pty link in a temporary folder and a free TCP port, stopped on destruction.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

class MeterSimProcess {
  public:
    // extraArgs go to meter-sim after the transports, e.g. {"--fault", "..."}.
    explicit MeterSimProcess(const std::vector<std::string>& extraArgs = {}, bool withPty = true,
                             bool withTcp = true);
    ~MeterSimProcess();
    MeterSimProcess(const MeterSimProcess&) = delete;
    MeterSimProcess& operator=(const MeterSimProcess&) = delete;

    bool Ready() const { return ready_; }
    const std::string& PtyLink() const { return ptyLink_; }  // symlink to the pty
    int TcpPort() const { return tcpPort_; }
    const std::string& Folder() const { return folder_; }
    // Everything meter-sim printed so far (with --verbose: the frames).
    std::string Output() const;
    void Stop();

    static std::string Executable();

  private:
    pid_t pid_ = -1;
    bool ready_ = false;
    std::string folder_;
    std::string ptyLink_;
    int tcpPort_ = 0;
    std::string outputPath_;
};
