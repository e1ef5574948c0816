#pragma once
// What the pipe modes need from the operating system besides the console and the clock: the
// running instances of this tool, starting one, the local time of the server log, and whether
// the serving loops go on. Production uses the real system; tests fake it.
#include <string>
#include <string_view>
#include <vector>

namespace vm::cli {

class System {
  public:
    virtual ~System() = default;
    // The base name of this process's executable, at most 31 characters.
    virtual std::string ownBaseName() = 0;
    // Running processes whose executable base name equals the name, compared in lower case;
    // this process is among them.
    virtual int countProcesses(std::string_view baseName) = 0;
    // Starts the program (a base name, found next to this executable first, then on PATH) with
    // the arguments, detached from this process. No shell is involved.
    virtual bool startProcess(std::string_view program, const std::vector<std::string>& arguments) = 0;
    // The local time as "%H:%M:%S ".
    virtual std::string localTime() = 0;
    // The serving loops run while this is true; the real system always says true.
    virtual bool keepServing() { return true; }
};

// The real system: /proc, posix_spawn, localtime_r.
class RealSystem final : public System {
  public:
    std::string ownBaseName() override;
    int countProcesses(std::string_view baseName) override;
    bool startProcess(std::string_view program, const std::vector<std::string>& arguments) override;
    std::string localTime() override;
};

// Process list helpers, exposed for tests.
// The base name of the executable a /proc/<pid>/exe link points to, " (deleted)" removed, cut
// to 31 characters; "<unknown>" when the link cannot be read.
std::string ExecutableBaseName(const std::string& procExeLink);
// Where a program named by its base name is started from: next to this executable when it is
// there and executable, else the first match on PATH; empty when neither has it.
std::string FindProgram(std::string_view program);

}  // namespace vm::cli
