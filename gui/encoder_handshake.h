#pragma once
// How the detector reader and writer borrow the link from a running encoder measurement: the
// borrower sets the link request and waits for the pause acknowledge; the sampler, between two
// samples, sees the request, sets the acknowledge and spins until the request is withdrawn. Each
// flag is written by one side only.
#include <atomic>
#include <cstdint>
#include <thread>

#include "link/clock.h"

namespace vm::gui {

struct EncoderHandshake {
    std::atomic<bool> linkRequest{false};
    std::atomic<bool> pauseAck{false};
};

// Checks of 1 ms that a detector thread waits for the sampler to pause: about 10 s.
inline constexpr int kPauseChecks = 10000;

// Sets the link request and waits up to `checks` checks, 1 ms apart on the clock, for the pause
// acknowledge. On false the request has been withdrawn again.
template <class Interrupted>
bool BorrowLink(EncoderHandshake& handshake, Clock& clock, int checks, Interrupted interrupted) {
    // An acknowledge still standing from the previous borrower's pause (the sampler clears it just
    // after it sees the request withdrawn) must not be taken for this one.
    for (int check = 0; check < checks && handshake.pauseAck.load() && !interrupted(); ++check) {
        clock.sleepMs(1);
        std::this_thread::yield();
    }
    if (handshake.pauseAck.load()) return false;
    handshake.linkRequest.store(true);
    for (int check = 0; check < checks; ++check) {
        if (handshake.pauseAck.load()) return true;
        if (interrupted()) break;
        clock.sleepMs(1);
        std::this_thread::yield();  // a clock that does not pass by itself still lets the sampler run
    }
    if (handshake.pauseAck.load()) return true;
    handshake.linkRequest.store(false);
    return false;
}

inline void ReturnLink(EncoderHandshake& handshake) { handshake.linkRequest.store(false); }

}  // namespace vm::gui
