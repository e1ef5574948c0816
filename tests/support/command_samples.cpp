#include "tests/support/command_samples.h"

#include <algorithm>

#include "cli/dispatch.h"
#include "cli/validator.h"
#include "link/text_out.h"

namespace vm::test {

const std::vector<std::vector<std::string>>& CommandSamples() {
    static const std::vector<std::vector<std::string>> samples = {
        {"MOV", "1", "ASPEN1", "4", "1", "300", "100", "5000"},
        {"MOV", "6", "ASPEN1B", "300", "0", "2000", "1", "0", "30"},
        {"EXT", "1", "ASPEN1", "4", "1", "300", "100"},
        {"EXT", "2", "ELM1.X", "4", "0", "1", "1", "2"},
        {"SDC", "1", "1023"},
        {"STP", "1"},
        {"STS", "1"},
        {"RFS", "1"},
        {"SCM", "1"},
        {"SAM", "1"},
        {"FBP", "1", "ASPEN1", "4"},
        {"FBP", "1", "ASPEN1", "300", "30"},
        {"FBM", "1", "1", "300"},
        {"FBS", "1"},
        {"FBX", "1"},
        {"DESC", "1"},
        {"POS", "1", "1"},
        {"POSA", "1"},
        {"RST", "1", "1"},
        {"SLD", "1", "500"},
        {"DSG", "1", "1", "128"},
        {"DSH", "1", "2", "255"},
        {"DSL", "1", "3", "0"},
        {"MLS", "1", "1"},
        {"MSS", "1", "1"},
        {"OEMC", "2", "1", "ASPEN1-ENC", "300", "0", "100"},
        {"OEMC", "2", "3", "TESTPROFILE", "4", "1", "600", "400", "5"},
        {"CAL", "1", "1"},
        {"CAS", "1"},
        {"CCT", "1"},
        {"CRP", "1"},
        {"CCU", "1", "1"},
        {"CCD", "1", "1"},
        {"CSH", "1", "1"},
        {"PGV", "5", "1", "CEDAR1-POT"},
        {"PGVA", "5", "CEDAR1-POT", "ELM1-POT.X", "MAPLE1-ENC"},
        {"EXS", "5", "50"},
        {"EXS", "5", "5000", "0"},
        {"EXR", "5"},
        {"MIS", "5", "1"},
        {"MAS", "5", "1"},
        {"MIR", "5", "1", "CEDAR1-POT"},
        {"MAR", "5", "1", "CEDAR1-POT"},
        {"MMR", "5", "1"},
        {"SKS", "5", "1", "8"},
        {"SKR", "5", "1"},
        {"HFM", "5", "1", "CEDAR1-POT"},
        {"RSS", "5"},
        {"INF", "5", "CEDAR1-POT", "CEDAR1-POT", "TESTPROFILE"},
        {"INFO", "6", "3"},
        {"FBEN", "ASPEN1", "0.5", "ELM1.X", "0", "CEDAR1", "1", "300"},
        {"FBEN", "ASPEN1", "0.5", "ELM1.X", "0", "CEDAR1", "1", "4", "30"},
        {"FBEN", "ASPEN1", "1", "0.5", "ELM1.X", "0", "0", "CEDAR1", "1", "1", "4"},
        {"FBEN", "ASPEN1", "1", "0.5", "ELM1.X", "0", "0", "CEDAR1", "1", "1", "4", "1"},
        {"FBENX", "ASPEN1", "0.1", "0.5", "ELM1.X", "0", "0", "CEDAR1", "1", "1", "300"},
        {"FBENX", "ASPEN1", "0.1", "0.5", "ELM1.X", "0", "0", "CEDAR1", "1", "1", "4", "30"},
        {"FBCS", "0.5", "1", "-0.5", "0", "1", "1"},
        {"FBST"},
        {"FBXT"},
        {"FBFE", "1", "20", "1"},
        {"FBES"},
        {"FU", "1", "/nonexistent/firmware.bin"},
        {"IPR"},
        {"SUD", "RACK"},
        {"FIV", "12"},
        {"modlist"},
    };
    return samples;
}

std::string CommandSampleProblems() {
    std::string problems;
    const auto& samples = CommandSamples();
    for (const cli::Command& command : cli::Commands()) {
        const bool sampled = std::any_of(samples.begin(), samples.end(),
                                         [&](const auto& words) { return words[0] == command.word; });
        if (!sampled) problems += "no sample for " + std::string(command.word) + "\n";
    }
    for (const auto& sample : samples) {
        std::vector<std::string> words{"vmcli"};
        words.insert(words.end(), sample.begin(), sample.end());
        StringTextOut out;
        if (cli::ValidateArguments(out, cli::Words(words), true) != 0)
            problems += "sample " + sample[0] + " refused: " + out.text();
    }
    return problems;
}

}  // namespace vm::test
