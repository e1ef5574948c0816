#include "gui/link_runner.h"

#include <QMetaObject>

namespace vm::gui {

LinkRunner::LinkRunner() : thread_([this] { loop(); }) {}

LinkRunner::~LinkRunner() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        tasks_.clear();
    }
    wake_.notify_all();
    thread_.join();
}

void LinkRunner::post(std::function<void()> task) {
    ++pending_;
    {
        std::lock_guard lock(mutex_);
        tasks_.push_back(std::move(task));
    }
    wake_.notify_one();
}

void LinkRunner::deliver(std::function<void()> apply) {
    // Queued to this object, which lives on the main thread; dropped by Qt if it is gone.
    QMetaObject::invokeMethod(
        this,
        [this, apply = std::move(apply)] {
            apply();
            if (--pending_ == 0) Q_EMIT idle();
        },
        Qt::QueuedConnection);
}

void LinkRunner::loop() {
    for (;;) {
        std::function<void()> task;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || !tasks_.empty(); });
            if (stopping_) return;
            task = std::move(tasks_.front());
            tasks_.pop_front();
        }
        task();
    }
}

}  // namespace vm::gui
