#include "link/link_settings.h"

namespace vm {

const LinkSettings& LinkSettings::commandLine() {
    static const LinkSettings s{
        .program = Program::CommandLine,
        .ftdiWaitMs = 1000,
        .ftdiAttempts = 5,
        .ftdiAcceptM = false,
        .ftdiPrintListing = true,
        .clearReplyOnFailure = true,
        .hidDiscardLeftover = true,
        .hidListingFillsTable = false,
        .lanConnectFailCode = 2,
        .lanRequireAck = true,
        .lanOpenStoresAddress = false,
    };
    return s;
}

const LinkSettings& LinkSettings::desktop() {
    static const LinkSettings s{
        .program = Program::Desktop,
        .ftdiWaitMs = 200,
        .ftdiAttempts = 10,
        .ftdiAcceptM = true,
        .ftdiPrintListing = false,
        .clearReplyOnFailure = false,
        .hidDiscardLeftover = false,
        .hidListingFillsTable = true,
        .lanConnectFailCode = 1,
        .lanRequireAck = false,
        .lanOpenStoresAddress = true,
    };
    return s;
}

}  // namespace vm
