#include "tests/link/netns.h"

#include <fcntl.h>
#include <sched.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

#include "link/unique_fd.h"

extern char** environ;

namespace vm::test {

bool RunIp(const std::vector<std::string>& args) {
    std::vector<std::string> words{"ip"};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, "ip", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return false;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return false;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

Lan::Lan(int controllers) {
    const std::string tag = std::to_string(getpid() % 100000);
    host_ = "vmh3-host-" + tag;
    if (geteuid() != 0 || !RunIp({"netns", "add", host_})) {
        host_.clear();
        return;
    }
    ok_ = RunIp({"-n", host_, "link", "add", "br0", "type", "bridge"}) &&
          RunIp({"-n", host_, "addr", "add", std::string(kHostAddress) + "/24", "dev", "br0"}) &&
          RunIp({"-n", host_, "link", "set", "br0", "up"});
    for (int i = 0; ok_ && i < controllers; ++i) {
        const std::string name = "vmh3-ctl" + std::to_string(i) + "-" + tag;
        if (!RunIp({"netns", "add", name})) {
            ok_ = false;
            break;
        }
        controllers_.push_back(name);
        const std::string hostEnd = "vh" + std::to_string(i);
        const std::string controllerEnd = "vc" + std::to_string(i);
        ok_ = RunIp({"-n", host_, "link", "add", hostEnd, "type", "veth", "peer", "name", controllerEnd,
                     "netns", name}) &&
              RunIp({"-n", host_, "link", "set", hostEnd, "master", "br0", "up"}) &&
              RunIp({"-n", name, "addr", "add", controllerAddress(i) + "/24", "dev", controllerEnd}) &&
              RunIp({"-n", name, "link", "set", controllerEnd, "up"});
    }
}

Lan::~Lan() {
    for (const auto& name : controllers_) RunIp({"netns", "del", name});
    if (!host_.empty()) RunIp({"netns", "del", host_});
}

bool InNamespace(const std::string& name, const std::function<void()>& f) {
    bool entered = false;
    std::thread thread([&] {
        UniqueFd ns(::open(("/var/run/netns/" + name).c_str(), O_RDONLY | O_CLOEXEC));
        if (!ns || ::setns(ns.get(), CLONE_NEWNET) != 0) return;
        entered = true;
        f();
    });
    thread.join();
    return entered;
}

}  // namespace vm::test
