#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "gui/model/current_link.h"
#include "gui/model/oem.h"
#include "gui/model/pci.h"
#include "gui/model/vmdm.h"
#include "link/clock.h"
#include "link/link_settings.h"
#include "link/text_out.h"

namespace vm::gui {
namespace {

// A link that answers from the command itself, so every reply tells which request it belongs to,
// and that notices when two exchanges overlap or the command buffer changes during one.
class EchoLink final : public COM_METHOD {
  public:
    EchoLink(const LinkContext& context, std::atomic<int>& overlaps)
        : COM_METHOD(context), overlaps_(overlaps) {}

    bool OpenDefault() override { return true; }
    bool Open(std::string_view) override { return true; }
    void Close() override {}
    int ListDevices() override { return 1; }

    int Exchange() override {
        if (inFlight_.fetch_add(1) != 0) ++overlaps_;
        const std::string line = command().str();
        for (int i = 0; i < 20; ++i) std::this_thread::yield();  // widen the window for a second caller
        if (command().view() != line) ++overlaps_;
        reply().assign(Answer(line));
        inFlight_.fetch_sub(1);
        return 0;
    }

    static std::string Answer(const std::string& line) {
        unsigned a = 0, b = 0;
        if (std::sscanf(line.c_str(), "CGV %u %u", &a, &b) == 2)
            return "_CGV " + std::to_string(131072 + a * 100 + b) + " " + std::to_string(a) + "\r";
        if (std::sscanf(line.c_str(), "STS %u", &a) == 1) return "_ST" + std::to_string(a) + "\r";
        if (std::sscanf(line.c_str(), "CLS %u", &a) == 1)
            return "_CLS " + std::to_string(a) + " " + std::to_string(a * 10) +
                   " 50 293 3 6000 PROFILE1 tag" + std::to_string(a) + " 0\r";
        if (line == "GCM \r") return "_GCM 1 2 3 4 5 6\r";
        if (line == "GOM \r") return "_GOM 11 12 13 14 15 16\r";
        return "CNR\r";
    }

  private:
    std::atomic<int>& overlaps_;
    std::atomic<int> inFlight_{0};
};

struct SharedModel {
    VirtualClock clock;
    StringTextOut out;
    LinkContext context{LinkSettings::desktop(), clock, out};
    std::atomic<int> overlaps{0};
    CurrentLink current{clock};
    OEM oem{current};
    VMDM vmdm{current};
    PCI pci{current};
    SharedModel() { current.replace(std::make_unique<EchoLink>(context, overlaps)); }
};

TEST(Concurrency, OperationsFromSeveralThreadsNeverInterleave) {
    SharedModel model;
    constexpr int kRounds = 300;
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (std::uint8_t module = 1; module <= 3; ++module) {
        threads.emplace_back([&, module] {
            for (int i = 0; i < kRounds; ++i) {
                const auto channel = static_cast<std::uint8_t>(1 + i % 3);
                // Holding the lock makes the operation and the read of its fields one unit.
                auto hold = model.current.hold();
                if (model.oem.GetCounter(module, channel) ||
                    model.oem.count() != (module + 10) * 100 + channel || model.oem.analog() != module + 10)
                    ++wrong;
                if (model.vmdm.Status(module) || model.vmdm.status() != "_ST" + std::to_string(module))
                    ++wrong;
            }
        });
    }
    threads.emplace_back([&] {
        for (int i = 0; i < kRounds; ++i) {
            const auto m = static_cast<std::uint8_t>(1 + i % 6);
            auto hold = model.current.hold();
            if (model.pci.LoadChannel(m, 2) || model.pci.channelRecord().frequency != (3 * m - 1) * 10 ||
                model.pci.channelRecord().tag != "tag" + std::to_string(3 * m - 1))
                ++wrong;
        }
    });
    threads.emplace_back([&] {
        // Two exchanges in one operation, without holding the lock around the read.
        for (int i = 0; i < kRounds; ++i) {
            model.pci.ReadModuleMap();
            if (model.pci.encoderModules() != ModuleMap{11, 12, 13, 14, 15, 16}) ++wrong;
            if (model.pci.driveModules() != ModuleMap{1, 2, 3, 4, 5, 6}) ++wrong;
        }
    });
    for (auto& t : threads) t.join();
    EXPECT_EQ(model.overlaps.load(), 0);
    EXPECT_EQ(wrong.load(), 0);
}

TEST(Concurrency, ReplacingTheLinkWaitsForTheOperationInFlight) {
    SharedModel model;
    std::atomic<bool> done{false};
    std::atomic<int> failures{0};
    std::thread worker([&] {
        while (!done) {
            if (model.oem.GetCounter(1, 1)) ++failures;
        }
    });
    for (int i = 0; i < 200; ++i)
        model.current.replace(std::make_unique<EchoLink>(model.context, model.overlaps));
    done = true;
    worker.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(model.overlaps.load(), 0);
}

// A link whose exchange blocks until the test releases it (bounded, so a failure cannot hang).
class GateLink final : public COM_METHOD {
  public:
    using COM_METHOD::COM_METHOD;
    bool OpenDefault() override { return true; }
    bool Open(std::string_view) override { return true; }
    void Close() override {}
    int ListDevices() override { return 1; }
    int Exchange() override {
        std::unique_lock lock(mutex_);
        entered_ = true;
        changed_.notify_all();
        changed_.wait_for(lock, std::chrono::seconds(5), [this] { return released_; });
        reply().assign("_STP\r");
        return 0;
    }
    bool waitEntered() {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(5), [this] { return entered_; });
    }
    void release() {
        std::lock_guard lock(mutex_);
        released_ = true;
        changed_.notify_all();
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool entered_ = false;
    bool released_ = false;
};

template <class Link>
concept LocksFields = requires(const Link& link) {
    link.fieldsLock();
};

// Every getter takes the fields lock, which is not recursive: a window that held it and read a
// field would deadlock. Only the device model itself can take it; windows hold the operation lock.
TEST(Concurrency, OnlyTheModelTakesTheFieldsLock) { static_assert(!LocksFields<CurrentLink>); }

TEST(Concurrency, ReadingFieldsDoesNotWaitForAnExchangeInFlight) {
    SharedModel model;
    auto gate = std::make_unique<GateLink>(model.context);
    GateLink* gateRaw = gate.get();
    model.current.replace(std::move(gate));
    std::thread worker([&] { model.vmdm.Status(1); });
    ASSERT_TRUE(gateRaw->waitEntered());
    // The worker holds the operation lock inside its exchange; the fields stay readable.
    EXPECT_EQ(model.vmdm.status(), "");
    EXPECT_EQ(model.oem.count(), 0);
    EXPECT_EQ(model.pci.driveModules(), ModuleMap{});
    gateRaw->release();
    worker.join();
    EXPECT_EQ(model.vmdm.status(), "_STP");
}

}  // namespace
}  // namespace vm::gui
