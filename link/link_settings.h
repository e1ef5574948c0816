#pragma once
// Transport values that differ between the command-line tool and the desktop program. Each
// transport has one implementation and reads its program's values from here.
#include <cstdint>

namespace vm {

enum class Program { CommandLine, Desktop };

struct LinkSettings {
    Program program;

    // FTDI bridge: wait for the receive event per attempt, attempts per exchange, and whether a
    // reply beginning with "M" (as "MNF") counts as complete besides one beginning with "_".
    std::uint32_t ftdiWaitMs;
    int ftdiAttempts;
    bool ftdiAcceptM;
    // FTDI listing: the command-line tool prints every matching bridge and returns 1 whenever the
    // list is not empty; the desktop program fills the device table silently.
    bool ftdiPrintListing;

    // HID and LAN: on a failed exchange the command-line tool empties the reply buffer, the
    // desktop program leaves it unchanged.
    bool clearReplyOnFailure;

    // HID: the command-line tool reads once before writing, discarding text left over from an
    // earlier reply; the desktop program's listing copies the serial strings into the device table.
    bool hidDiscardLeftover;
    bool hidListingFillsTable;

    // LAN: result of a failed connect (desktop 1, command-line tool 2); the command-line tool also
    // fails with 2 on a reply that does not begin with "_"; the desktop program writes the
    // address of Open into device-table entry 0.
    int lanConnectFailCode;
    bool lanRequireAck;
    bool lanOpenStoresAddress;

    static const LinkSettings& commandLine();
    static const LinkSettings& desktop();
};

}  // namespace vm
