// "Scan LAN" end to end inside network namespaces created by the test, so nothing is broadcast
// on this machine's own interfaces: the desktop program runs in the "host" namespace (its main
// thread enters it before any window or worker thread exists, so they all live there), virtual
// controllers answer discovery and commands from namespaces of their own.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <unistd.h>

#include <QComboBox>
#include <QPushButton>
#include <memory>

#include "gui/cabinet_select_form.h"
#include "link/tcp_com.h"
#include "link/unique_fd.h"
#include "sim/tcp_server.h"
#include "tests/gui/gui_rig.h"
#include "tests/link/netns.h"

namespace vm::gui::test {
namespace {

using vm::test::Lan;

// One virtual controller answering discovery and commands inside its namespace.
struct NamespacedController {
    NamespacedController(Clock& clock, const std::string& ns, const std::string& name)
        : controller(clock, sim::RackConfig::Default()), server(controller, clock) {
        std::string error;
        vm::test::InNamespace(ns, [&] {
            started = responder.start({"0.0.0.0", LanPorts::kDiscoveryPort}, "ZAV " + name, 1, &error) &&
                      server.start({"0.0.0.0", LanPorts::kCommandPort}, &error);
        });
        EXPECT_TRUE(started) << error;
    }
    sim::Controller controller;
    sim::TcpServer server;
    sim::DiscoveryResponder responder;
    bool started = false;
};

bool EnterNamespace(const std::string& name) {
    UniqueFd ns(::open(("/var/run/netns/" + name).c_str(), O_RDONLY | O_CLOEXEC));
    return ns && ::setns(ns.get(), CLONE_NEWNET) == 0;
}

TEST(ScanLanInNamespaces, FindsConnectsAndScans) {
    Lan lan(2);
    if (!lan.ok())
        GTEST_SKIP()
            << "network namespaces unavailable (needs root and `ip netns`); Scan LAN is not tested so "
               "that nothing is broadcast on this machine's own interfaces";
    SteadyClock real;
    NamespacedController first(real, lan.controller(0), "VMCS-A");
    ASSERT_TRUE(EnterNamespace(lan.host()));
    GuiRig rig(&real);
    RealLinkFactory links(real);
    rig.links.make = [&links](LinkKind kind) { return links.create(kind); };
    TMainForm& main = rig.start({"no", "link"});

    // One controller: connected and scanned.
    main.scanLan();
    ASSERT_TRUE(rig.settle());
    EXPECT_EQ(main.windowTitle(),
              "Vellumotor Control System: " + QString::fromStdString(Lan::controllerAddress(0)));
    EXPECT_EQ(main.statusText(), "Vellumotor controls ready");
    EXPECT_EQ(rig.cell(1, kColType), "PROFILE1");

    // Two controllers: the selection dialog lists both; choosing the second scans it.
    NamespacedController second(real, lan.controller(1), "VMCS-B");
    main.scanLan();
    ASSERT_TRUE(rig.settle());
    TFormCabinetSelect& dialog = rig.windows->cabinetSelect();
    ASSERT_TRUE(dialog.isVisible());
    auto* list = dialog.findChild<QComboBox*>("deviceList");
    ASSERT_EQ(list->count(), 2);
    list->setCurrentIndex(list->findText(QString::fromStdString(Lan::controllerAddress(1))));
    Q_EMIT list->activated(list->currentIndex());
    dialog.findChild<QPushButton*>("buttonSelect")->click();
    ASSERT_TRUE(rig.settle());
    EXPECT_EQ(main.windowTitle(),
              "Vellumotor Control System: " + QString::fromStdString(Lan::controllerAddress(1)));
    EXPECT_EQ(main.statusText(), "Vellumotor controls ready");
    EXPECT_FALSE(second.controller.lines().empty());
    EXPECT_TRUE(rig.prompts.shown.empty());
}

}  // namespace
}  // namespace vm::gui::test
