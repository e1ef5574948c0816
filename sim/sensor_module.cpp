// Resistive-sensor-module command words. Lines address the module by its wire address, the slot
// number plus 9. The module's readings live in SensorModule; its command words join here.
#include "sim/model.h"

namespace vm::sim {

void RegisterSensorCommands(CommandTable&) {}

}  // namespace vm::sim
