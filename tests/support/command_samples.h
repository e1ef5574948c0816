#pragma once
// One valid command line for every form of every command of the tool, shared by the tests and the
// fuzz targets that run the handlers against arbitrary replies.
#include <string>
#include <vector>

namespace vm::test {

// Each sample passes the validator in development mode.
const std::vector<std::vector<std::string>>& CommandSamples();

// Empty when every dispatch-table command has a sample and every sample passes the validator;
// otherwise a description of what does not fit.
std::string CommandSampleProblems();

}  // namespace vm::test
