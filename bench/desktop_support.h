#pragma once
// What the desktop program's benchmarks share: prompts that answer nothing, and a virtual
// controller served over TCP on 127.0.0.1 in real time.
#include <QString>
#include <string>

#include "gui/prompts.h"
#include "link/clock.h"
#include "sim/controller.h"
#include "sim/rack.h"
#include "sim/tcp_server.h"

namespace vm::bench {

class SilentPrompts final : public gui::Prompts {
  public:
    void message(QWidget*, const QString&, const QString&, gui::PromptIcon) override {}
    bool askYesNo(QWidget*, const QString&, const QString&, gui::PromptIcon) override { return false; }
    QString saveFileName(QWidget*, const QString&, const QString&, const QString&) override { return {}; }
};

// The rack's controller on a free port; ok tells whether the server started.
struct SimServer {
    explicit SimServer(const std::string& rack)
        : controller(clock, *sim::ParseRack(rack)), tcp(controller, clock) {
        std::string error;
        ok = tcp.start({"127.0.0.1", 0}, &error);
    }
    SteadyClock clock;
    sim::Controller controller;
    sim::TcpServer tcp;
    bool ok = false;
};

}  // namespace vm::bench
