#pragma once
// The vmsim program for end-to-end tests: started on 127.0.0.1 with a free TCP port and without
// discovery, stopped (killed and reaped) when the object goes away, even when a test fails.
#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/process.h"

namespace vm::test {

class SimProcess {
  public:
    // Starts the program at `vmsimPath` with the extra arguments (for example "--rack", "C,O,R,-,-,-")
    // and waits up to 10 s for it to report its port.
    explicit SimProcess(const std::string& vmsimPath, const std::vector<std::string>& extraArgs = {});
    // The same, started through a launcher such as {"/usr/sbin/ip", "netns", "exec", "NAME"}.
    SimProcess(const std::vector<std::string>& launcher, const std::string& vmsimPath,
               const std::vector<std::string>& extraArgs);
    ~SimProcess();
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    // True once the server listens; port() is 0 before that.
    bool ready() const { return port_ != 0; }
    std::uint16_t port() const { return port_; }
    // The program's process id (benchmarks read its peak memory); -1 when it did not start.
    int pid() const { return child_.pid(); }
    // The environment entry that points the LAN link of a started program at this server.
    std::string portEnvironment() const { return "VM_LAN_PORT=" + std::to_string(port_); }

  private:
    static std::vector<std::string> Arguments(const std::string& vmsimPath, const std::string& readyFile,
                                              const std::vector<std::string>& extraArgs,
                                              const std::vector<std::string>& launcher = {});

    std::string directory_;
    std::string readyFile_;
    ChildProcess child_;
    std::uint16_t port_ = 0;
};

}  // namespace vm::test
