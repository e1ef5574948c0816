#pragma once
// A wait on the program's clock that keeps the event loop running: the time passes on the
// runner's thread and `then` runs on the main thread afterwards, unless the receiver is gone.
// Because it goes through the runner, it keeps its place among the window's link actions: what a
// window asks for after the wait is sent after it. With a virtual clock the wait takes no time.
#include <QObject>
#include <cstdint>
#include <utility>

#include "gui/app_context.h"

namespace vm::gui {

template <class Then>
void WaitOnClock(AppContext& context, std::uint32_t ms, QObject* receiver, Then then) {
    context.runner.run([&clock = context.clock, ms] { clock.sleepMs(ms); }, receiver, std::move(then));
}

}  // namespace vm::gui
