#pragma once
// The state file keeps what a real controller keeps in flash: the committed user-memory records
// and the network settings. Text, one item per line:
//   network 255 192 168 1 100 255 255 255 0 192 168 1 1
//   channel 1 200 100 293 3 6000 PROFILE1 - 0
#include <string>

#include "sim/model.h"

namespace vm::sim {

// Writes the file (through a temporary file and a rename, so a crash leaves the old one).
bool SaveState(const Model& model, const std::string& path);
// True when the file can be written: its temporary file is created and removed again, so a
// directory that does not exist or cannot be written is found before anything is acknowledged.
bool CanWriteState(const std::string& path, std::string* error);
// Reads the file into flash and the working user memory; false with a message on a bad file,
// leaving the model unchanged.
bool LoadState(Model& model, const std::string& path, std::string* error);

}  // namespace vm::sim
