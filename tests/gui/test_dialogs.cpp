// The connection dialogs: device selection, manual IP connect and the controller's network set-up.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>

#include "gui/cabinet_select_form.h"
#include "gui/grid_layout.h"
#include "gui/ip_connect_form.h"
#include "gui/ip_setup_form.h"
#include "gui/scan_modules_form.h"
#include "link/tcp_com.h"
#include "sim/model.h"
#include "tests/gui/gui_rig.h"

namespace vm::gui::test {
namespace {

QLineEdit* Octet(TFormIPSetup& dialog, int i) {
    return dialog.findChild<QLineEdit*>(QString("octet%1").arg(i));
}

// Opens the network dialog and waits for its read.
void ShowSetup(TFormIPSetup& dialog) {
    QSignalSpy read(&dialog, &TFormIPSetup::settingsRead);
    dialog.show();
    ASSERT_TRUE(WaitFor([&] { return read.count() == 1; }));
}

TEST(IpSetup, ShowsTheControllersSettings) {
    struct Case {
        const char* reply;
        bool staticChecked;
        QString firstOctet;
    } cases[] = {
        {"_IPR 2 192 168 1 20 255 255 255 0 192 168 1 1\r", true, "192"},
        {"_IPR 0 10 0 0 7 255 0 0 0 10 0 0 1\r", false, "10"},
        {"_IPR 7 10 0 0 7 255 0 0 0 10 0 0 1\r", false, "10"},  // neither mode: the buttons stay
        {"MNF\r", false, "0"},                                  // not read: nothing changes
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reply);
        GuiRig rig;
        rig.useSimulator("C,O,-,-,-,-");
        rig.start();
        rig.controller->addFault([&] {
            sim::FaultRule rule;
            rule.fault = sim::Fault::Answer;
            rule.word = "IPR";
            rule.text = std::string(c.reply).substr(0, std::string(c.reply).size() - 1);
            return rule;
        }());
        TFormIPSetup& dialog = rig.windows->ipSetup();
        ShowSetup(dialog);
        EXPECT_EQ(dialog.findChild<QRadioButton*>("radioStatic")->isChecked(), c.staticChecked);
        EXPECT_EQ(Octet(dialog, 0)->text(), c.firstOctet);
        for (int i = 0; i < 12; ++i) EXPECT_EQ(Octet(dialog, i)->isEnabled(), c.staticChecked) << i;
    }
}

TEST(IpSetup, OctetsOf256AndMoreBecomeZero) {
    GuiRig rig;
    rig.useSimulator("C,O,-,-,-,-");
    rig.start();
    TFormIPSetup& dialog = rig.windows->ipSetup();
    ShowSetup(dialog);
    dialog.findChild<QRadioButton*>("radioStatic")->setChecked(true);
    const struct {
        const char* typed;
        QString text;
    } cases[] = {{"300", "0"}, {"256", "0"}, {"255", "255"}, {"12a", "12"}};
    for (const auto& c : cases) {
        QLineEdit* edit = Octet(dialog, 5);
        edit->clear();
        QTest::keyClicks(edit, c.typed);
        EXPECT_EQ(edit->text(), c.text) << c.typed;
    }
}

TEST(IpSetup, UseSettingsSendsTheModeAndTheTwelveOctets) {
    for (const bool dynamic : {true, false}) {
        GuiRig rig;
        rig.useSimulator("C,O,-,-,-,-");
        rig.start();
        TFormIPSetup& dialog = rig.windows->ipSetup();
        ShowSetup(dialog);
        dialog.findChild<QRadioButton*>(dynamic ? "radioDynamic" : "radioStatic")->setChecked(true);
        for (int i = 0; i < 12; ++i) Octet(dialog, i)->setText(QString::number(i + 1));
        rig.controller->clearTranscript();
        dialog.findChild<QPushButton*>("buttonUseSettings")->click();
        ASSERT_TRUE(rig.settle());
        EXPECT_EQ(rig.sent(), (std::vector<std::string>{std::string(dynamic ? "IPS 255" : "IPS 2") +
                                                        " 1 2 3 4 5 6 7 8 9 10 11 12\r"}));
        EXPECT_FALSE(dialog.isVisible());
    }
}

// A LAN link to a virtual controller served by this test on 127.0.0.1.
TEST(IpConnect, EnterConnectsOnceClosesAndScans) {
    GuiRig rig;
    rig.useSimulator("C,O,-,-,-,-");
    TMainForm& main = rig.start({"x", "y"});  // no link at start
    rig.links.make = [&rig](LinkKind kind) -> std::unique_ptr<COM_METHOD> {
        if (kind == LinkKind::Lan) return std::make_unique<sim::SimLink>(rig.linkContext, *rig.controller);
        return nullptr;
    };
    int scans = 0;
    QObject::connect(&main, &TMainForm::moduleScanFinished, [&scans] { ++scans; });
    TFormIPConnect& dialog = rig.windows->ipConnect();
    dialog.show();
    auto* edit = dialog.findChild<QLineEdit*>("editAddress");
    EXPECT_EQ(edit->text(), "0.0.0.0");
    edit->setText("192.168.1.20");
    QTest::keyClick(edit, Qt::Key_Return);
    ASSERT_TRUE(rig.settle());
    EXPECT_EQ(scans, 1);
    EXPECT_EQ(std::count(rig.links.requested.begin(), rig.links.requested.end(), LinkKind::Lan), 1);
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_EQ(main.statusText(), "Vellumotor controls ready");
    EXPECT_TRUE(rig.prompts.shown.empty());
}

// A connect while a scan reads the old controller ends that scan and scans the new one.
TEST(IpConnect, ConnectDuringAScanScansTheNewController) {
    GuiRig rig;
    rig.useHeldSimulator("C,O,-,-,-,-");
    TMainForm& main = rig.start();
    sim::Controller other(rig.clock, *sim::ParseRack("C,O,C,-,-,-"));
    rig.links.make = [&](LinkKind kind) -> std::unique_ptr<COM_METHOD> {
        if (kind == LinkKind::Lan) return std::make_unique<sim::SimLink>(rig.linkContext, other);
        return nullptr;
    };
    rig.held.load()->gate.holdAt("STS");
    main.startModuleScan();
    ASSERT_TRUE(WaitFor([&] { return rig.held.load()->gate.holding(); }));
    TFormIPConnect& dialog = rig.windows->ipConnect();
    dialog.show();
    auto* edit = dialog.findChild<QLineEdit*>("editAddress");
    edit->selectAll();
    QTest::keyClicks(edit, "10.0.0.9");
    QTest::keyClick(edit, Qt::Key_Return);
    rig.held.load()->gate.release();  // the exchange under way ends; the connect replaces the link after it
    ASSERT_TRUE(WaitFor([&] { return !dialog.isVisible(); }));
    ASSERT_TRUE(rig.settle());
    const auto lines = other.lines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "GCM \r"), lines.end());
    EXPECT_EQ(main.statusText(), "Vellumotor controls ready");
    EXPECT_FALSE(rig.windows->scanModules().isVisible());
    EXPECT_TRUE(rig.prompts.shown.empty());
    EXPECT_EQ(rig.cell(7, kColChan), "3A") << "the new controller's rack";
    rig.context->current.replace(nullptr);
}

TEST(IpConnect, AFailedOpenWarnsAndScansAllTheSame) {
    GuiRig rig;
    TMainForm& main = rig.start({"x", "y"});
    rig.links.make = [&rig](LinkKind) { return std::make_unique<AbsentLink>(rig.linkContext); };
    rig.windows->ipConnect().show();
    rig.windows->ipConnect().findChild<QPushButton*>("buttonConnect")->click();
    ASSERT_TRUE(rig.settle());
    EXPECT_EQ(rig.prompts.texts(),
              (QStringList{"No Ethernet devices found",
                           "Vellumotor Control System not available\n\n-Make sure the correct "
                           "channel is selected on the PC interface\n-try to scan again \n   "
                           "or\n-try to restart the PC interface"}));
    EXPECT_EQ(main.windowTitle(), "Vellumotor Control System: ");
}

// The real LAN link desktop settings: Open stores the address as the first identifier.
TEST(IpConnect, TheCaptionNamesTheAddress) {
    GuiRig rig;
    TMainForm& main = rig.start({"x", "y"});
    rig.links.make = [&rig](LinkKind) {
        // Port 9 on loopback: nothing listens, so the open succeeds and the scan finds nothing.
        return std::make_unique<TCP_COM>(rig.linkContext, LanPorts{9, 9});
    };
    rig.windows->ipConnect().findChild<QLineEdit*>("editAddress")->setText("127.0.0.1");
    rig.windows->ipConnect().connectToAddress();
    ASSERT_TRUE(rig.settle());
    EXPECT_EQ(main.windowTitle(), "Vellumotor Control System: 127.0.0.1");
    main.refreshLinkStatus();
    EXPECT_EQ(main.linkStatusText(), "LAN 127.0.0.1: not answering");
}

TEST(CabinetSelect, SelectOpensTheChosenDeviceAndScans) {
    GuiRig rig;
    rig.controller = std::make_unique<sim::Controller>(rig.clock, sim::RackConfig::Default());
    std::vector<std::string> opened;
    struct RecordingLink final : COM_METHOD {
        RecordingLink(const LinkContext& c, sim::Controller& s, std::vector<std::string>& o)
            : COM_METHOD(c), inner(c, s), opened(o) {}
        bool OpenDefault() override { return false; }
        bool Open(std::string_view name) override {
            opened.emplace_back(name);
            return inner.Open(name);
        }
        void Close() override {}
        int Exchange() override {
            inner.command().assign(command().view());
            const int result = inner.Exchange();
            reply().assign(inner.reply().view());
            return result;
        }
        int ListDevices() override {
            for (std::size_t i = 0; i < 3; ++i) devices()[i].assign("VM" + std::to_string(i + 1));
            return 3;
        }
        sim::SimLink inner;
        std::vector<std::string>& opened;
    };
    rig.links.make = [&](LinkKind kind) -> std::unique_ptr<COM_METHOD> {
        if (kind == LinkKind::Ftdi)
            return std::make_unique<RecordingLink>(rig.linkContext, *rig.controller, opened);
        return nullptr;
    };
    TMainForm& main = rig.start();
    TFormCabinetSelect& dialog = rig.windows->cabinetSelect();
    ASSERT_TRUE(dialog.isVisible());
    EXPECT_EQ(main.statusText(), "Awaiting Scan...");
    auto* list = dialog.findChild<QComboBox*>("deviceList");
    auto* select = dialog.findChild<QPushButton*>("buttonSelect");
    EXPECT_FALSE(select->isEnabled());
    list->setCurrentIndex(1);
    Q_EMIT list->activated(1);
    EXPECT_TRUE(select->isEnabled());
    select->click();
    ASSERT_TRUE(rig.settle());
    EXPECT_EQ(opened, (std::vector<std::string>{"VM2"}));
    EXPECT_EQ(main.windowTitle(), "Vellumotor Control System: VM2");
    EXPECT_EQ(main.statusText(), "Vellumotor controls ready");
    EXPECT_FALSE(dialog.isVisible());
}

}  // namespace
}  // namespace vm::gui::test
