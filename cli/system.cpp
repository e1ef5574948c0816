#include "cli/system.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <ctime>
#include <memory>

#include "link/pipe_endpoint.h"

extern char** environ;

namespace vm::cli {

namespace {

// The process list holds at most this many entries, as the process enumeration it replaces.
constexpr int kMaxProcesses = 1024;
constexpr std::size_t kMaxBaseName = 31;

std::string Lower(std::string_view text) {
    std::string lower(text);
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower;
}

std::string ReadLink(const std::string& path) {
    char target[4096];
    const ssize_t n = ::readlink(path.c_str(), target, sizeof target - 1);
    return n > 0 ? std::string(target, static_cast<std::size_t>(n)) : std::string();
}

bool IsExecutableFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

std::string SearchPath(std::string_view program) {
    const char* path = std::getenv("PATH");
    if (path == nullptr) return {};
    std::string_view rest(path);
    while (!rest.empty()) {
        const auto colon = rest.find(':');
        const std::string_view dir = rest.substr(0, colon);
        rest = colon == std::string_view::npos ? std::string_view{} : rest.substr(colon + 1);
        if (dir.empty()) continue;  // never the working directory by accident
        std::string candidate(dir);
        candidate += '/';
        candidate.append(program);
        if (IsExecutableFile(candidate)) return candidate;
    }
    return {};
}

// The log of a server started without a terminal window: in the endpoint directory, private.
std::string ServerLogPath(std::string_view program) {
    const auto directory = pipe::EndpointDirectory();
    if (!directory) return "/dev/null";
    return *directory + "/" + std::string(program) + "-server.log";
}

class SpawnActions {
  public:
    SpawnActions() { ok_ = ::posix_spawn_file_actions_init(&actions_) == 0; }
    ~SpawnActions() {
        if (ok_) ::posix_spawn_file_actions_destroy(&actions_);
    }
    SpawnActions(const SpawnActions&) = delete;
    SpawnActions& operator=(const SpawnActions&) = delete;
    posix_spawn_file_actions_t* get() { return ok_ ? &actions_ : nullptr; }

  private:
    posix_spawn_file_actions_t actions_{};
    bool ok_ = false;
};

class SpawnAttributes {
  public:
    SpawnAttributes() { ok_ = ::posix_spawnattr_init(&attributes_) == 0; }
    ~SpawnAttributes() {
        if (ok_) ::posix_spawnattr_destroy(&attributes_);
    }
    SpawnAttributes(const SpawnAttributes&) = delete;
    SpawnAttributes& operator=(const SpawnAttributes&) = delete;
    posix_spawnattr_t* get() { return ok_ ? &attributes_ : nullptr; }

  private:
    posix_spawnattr_t attributes_{};
    bool ok_ = false;
};

}  // namespace

std::string ExecutableBaseName(const std::string& procExeLink) {
    std::string target = ReadLink(procExeLink);
    if (target.empty()) return "<unknown>";
    constexpr std::string_view kDeleted = " (deleted)";
    if (target.ends_with(kDeleted)) target.resize(target.size() - kDeleted.size());
    const auto slash = target.rfind('/');
    std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    if (base.size() > kMaxBaseName) base.resize(kMaxBaseName);
    return base;
}

std::string FindProgram(std::string_view program) {
    if (program.empty() || program.find('/') != std::string_view::npos) return {};
    const std::string self = ReadLink("/proc/self/exe");
    const auto slash = self.rfind('/');
    if (slash != std::string::npos) {
        std::string candidate = self.substr(0, slash + 1);
        candidate.append(program);
        if (IsExecutableFile(candidate)) return candidate;
    }
    return SearchPath(program);
}

std::string RealSystem::ownBaseName() { return ExecutableBaseName("/proc/self/exe"); }

int RealSystem::countProcesses(std::string_view baseName) {
    const std::string wanted = Lower(baseName);
    std::unique_ptr<DIR, int (*)(DIR*)> proc(::opendir("/proc"), ::closedir);
    if (!proc) return 0;
    int listed = 0;
    int matching = 0;
    while (listed < kMaxProcesses) {
        const dirent* entry = ::readdir(proc.get());
        if (entry == nullptr) break;
        const std::string_view name(entry->d_name);
        if (name.empty() || name.find_first_not_of("0123456789") != std::string_view::npos) continue;
        ++listed;
        if (Lower(ExecutableBaseName("/proc/" + std::string(name) + "/exe")) == wanted) ++matching;
    }
    return matching;
}

bool RealSystem::startProcess(std::string_view program, const std::vector<std::string>& arguments) {
    const std::string path = FindProgram(program);
    if (path.empty()) return false;

    std::vector<std::string> words;
    // In a window of its own when there is a display and a terminal to show it in.
    const bool display = std::getenv("DISPLAY") != nullptr || std::getenv("WAYLAND_DISPLAY") != nullptr;
    const std::string terminal = display ? SearchPath("x-terminal-emulator") : std::string();
    if (!terminal.empty()) {
        words = {terminal, "-e"};
    }
    words.push_back(path);
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);

    SpawnActions actions;
    SpawnAttributes attributes;
    if (actions.get() == nullptr || attributes.get() == nullptr) return false;
    const std::string log = ServerLogPath(program);
    if (terminal.empty()) {
        ::posix_spawn_file_actions_addopen(actions.get(), STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        ::posix_spawn_file_actions_addopen(actions.get(), STDOUT_FILENO, log.c_str(),
                                           O_WRONLY | O_CREAT | O_APPEND, 0600);
        ::posix_spawn_file_actions_adddup2(actions.get(), STDOUT_FILENO, STDERR_FILENO);
    }
    sigset_t none;
    sigemptyset(&none);
    ::posix_spawnattr_setsigmask(attributes.get(), &none);
    ::posix_spawnattr_setflags(attributes.get(), POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK);
    pid_t pid = 0;
    return ::posix_spawn(&pid, argv[0], actions.get(), attributes.get(), argv.data(), environ) == 0;
}

std::string RealSystem::localTime() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    char text[26] = {};  // at most 25 characters
    if (::localtime_r(&now, &local) == nullptr) return "00:00:00 ";
    std::strftime(text, sizeof text, "%H:%M:%S ", &local);
    return text;
}

}  // namespace vm::cli
