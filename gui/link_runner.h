#pragma once
// Runs the windows' own short link actions (a stop, a counter read, a dialog's open or network
// read) on one thread off the UI thread, in the order they were asked for, and hands each result
// back to the main thread, where the window applies it to its widgets. Long jobs (the scan, the
// position monitor, measurements) are threads of their own; this runner is only for actions that
// take one or a few exchanges, so a job never waits for another job of the runner.
#include <QObject>
#include <QPointer>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <type_traits>
#include <utility>

namespace vm::gui {

class LinkRunner final : public QObject {
    Q_OBJECT

  public:
    // Create on the main thread: results are applied on the thread that created the runner.
    LinkRunner();
    // Drops the jobs not yet started, waits for the running one and ends the thread.
    ~LinkRunner() override;

    // Runs job() off the UI thread, then apply(result) on the main thread unless the receiver
    // is gone by then.
    template <class Job, class Apply>
    void run(Job job, QObject* receiver, Apply apply) {
        using Result = std::invoke_result_t<Job&>;
        QPointer<QObject> guard(receiver);
        if constexpr (std::is_void_v<Result>) {
            post([this, job = std::move(job), guard, apply = std::move(apply)]() mutable {
                job();
                deliver([guard, apply = std::move(apply)]() mutable {
                    if (guard) apply();
                });
            });
        } else {
            post([this, job = std::move(job), guard, apply = std::move(apply)]() mutable {
                auto result = std::make_shared<Result>(job());
                deliver([guard, apply = std::move(apply), result]() mutable {
                    if (guard) apply(std::move(*result));
                });
            });
        }
    }

    // Runs job() off the UI thread; nothing comes back.
    template <class Job>
    void run(Job job) {
        post([this, job = std::move(job)]() mutable {
            job();
            deliver([] {});
        });
    }

    // Jobs asked for whose results have not been applied yet.
    int pending() const { return pending_; }

  Q_SIGNALS:
    // Emitted on the main thread when the last pending result has been applied.
    void idle();

  private:
    void post(std::function<void()> task);
    void deliver(std::function<void()> apply);
    void loop();

    int pending_ = 0;  // main thread only
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> tasks_;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace vm::gui
