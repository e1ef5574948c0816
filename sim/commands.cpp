// Every module kind's command words, registered once per controller.
#include "sim/firmware.h"
#include "sim/model.h"

namespace vm::sim {

void RegisterCommands(CommandTable& table) {
    RegisterFrontEndCommands(table);
    RegisterDriveCommands(table);
    RegisterEncoderCommands(table);
    RegisterSensorCommands(table);
    RegisterClosedLoopCommands(table);
    RegisterFirmwareCommands(table);
}

}  // namespace vm::sim
