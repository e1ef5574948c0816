#pragma once
// Network namespaces for discovery tests, so no broadcast ever leaves on the machine's own
// interfaces. A Lan is one "host" namespace with a bridge and one namespace per controller, each
// linked to the bridge by a veth pair; everything is removed when the Lan goes out of scope.
#include <functional>
#include <string>
#include <vector>

namespace vm::test {

// Runs `ip` with the arguments (no shell); true when it exits with 0. Output is discarded.
bool RunIp(const std::vector<std::string>& args);

class Lan {
  public:
    static constexpr const char* kHostAddress = "10.231.0.1";
    static constexpr const char* kBroadcast = "10.231.0.255";

    // Creates the host namespace and `controllers` controller namespaces with the addresses
    // 10.231.0.11, .12, ... ok() tells whether it worked (it needs root).
    explicit Lan(int controllers);
    ~Lan();
    Lan(const Lan&) = delete;
    Lan& operator=(const Lan&) = delete;

    bool ok() const { return ok_; }
    const std::string& host() const { return host_; }
    const std::string& controller(int i) const { return controllers_[i]; }
    static std::string controllerAddress(int i) { return "10.231.0." + std::to_string(11 + i); }

  private:
    bool ok_ = false;
    std::string host_;
    std::vector<std::string> controllers_;
};

// Runs f on a thread that has entered the named network namespace; sockets f creates live
// there. False when the namespace cannot be entered.
bool InNamespace(const std::string& name, const std::function<void()>& f);

}  // namespace vm::test
