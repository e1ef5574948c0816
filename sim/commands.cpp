// Every module kind's command words, registered once per controller.
#include "sim/model.h"

namespace vm::sim {

void RegisterCommands(CommandTable& table) {
    RegisterFrontEndCommands(table);
    RegisterDriveCommands(table);
    RegisterEncoderCommands(table);
    RegisterSensorCommands(table);
    RegisterClosedLoopCommands(table);
}

}  // namespace vm::sim
