#pragma once
// Helpers for tests of the pipe link and the pipe modes: a private endpoint directory for the
// test, and a fake of the operating-system services the pipe modes use.
#include <stdlib.h>

#include <atomic>
#include <filesystem>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "cli/system.h"
#include "link/pipe_endpoint.h"

namespace vm::test {

// A fresh directory named by VM_PIPE_DIR for the lifetime of the object, removed afterwards.
class PrivatePipeDirectory {
  public:
    PrivatePipeDirectory() {
        char pattern[] = "/tmp/vmpipe-test-XXXXXX";
        path_ = ::mkdtemp(pattern);
        ::setenv(pipe::kDirectoryVariable, path_.c_str(), 1);
    }
    ~PrivatePipeDirectory() {
        ::unsetenv(pipe::kDirectoryVariable);
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    PrivatePipeDirectory(const PrivatePipeDirectory&) = delete;
    PrivatePipeDirectory& operator=(const PrivatePipeDirectory&) = delete;
    const std::string& path() const { return path_; }
    std::string file(std::string_view name) const { return path_ + "/" + std::string(name); }

  private:
    std::string path_;
};

class FakeSystem final : public cli::System {
  public:
    std::string ownBaseName() override { return baseName; }
    int countProcesses(std::string_view name) override {
        std::lock_guard lock(mutex_);
        counted.emplace_back(name);
        return running;
    }
    bool startProcess(std::string_view program, const std::vector<std::string>& arguments) override {
        std::lock_guard lock(mutex_);
        started.emplace_back(std::string(program), arguments);
        return startResult;
    }
    std::string localTime() override { return time; }
    bool keepServing() override { return serving.load(); }

    std::string baseName = "vmcli";
    int running = 1;
    bool startResult = true;
    std::string time = "12:34:56 ";
    std::atomic<bool> serving{true};
    std::vector<std::string> counted;
    std::vector<std::pair<std::string, std::vector<std::string>>> started;

  private:
    std::mutex mutex_;
};

}  // namespace vm::test
