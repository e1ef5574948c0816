#include "sim/state_file.h"

#include <cstdio>
#include <fstream>
#include <sstream>

namespace vm::sim {

namespace {

bool PrintableWord(const std::string& word) {
    if (word.empty() || word.size() > 8) return false;
    for (const unsigned char c : word)
        if (c <= ' ' || c >= 127) return false;
    return true;
}

}  // namespace

bool SaveState(const Model& model, const std::string& path) {
    const std::string temporary = path + ".tmp";
    {
        std::ofstream out(temporary, std::ios::trunc);
        if (!out) return false;
        out << "network";
        for (const int value : model.front.network) out << ' ' << value;
        out << '\n';
        for (int i = 0; i < FrontEnd::kChannels; ++i) {
            const ChannelRecord& c = model.front.flash[i];
            // Words the file could not read back are replaced by the record defaults.
            const ChannelRecord defaults;
            out << "channel " << i + 1 << ' ' << c.frequency << ' ' << c.stepSize << ' ' << c.temperature
                << ' ' << c.paramB << ' ' << c.paramA << ' '
                << (PrintableWord(c.type) ? c.type : defaults.type) << ' '
                << (PrintableWord(c.tag) ? c.tag : defaults.tag) << ' ' << c.invert << '\n';
        }
        if (!out.flush()) return false;
    }
    return std::rename(temporary.c_str(), path.c_str()) == 0;
}

bool CanWriteState(const std::string& path, std::string* error) {
    const std::string temporary = path + ".tmp";
    const bool ok = static_cast<bool>(std::ofstream(temporary, std::ios::app));
    if (ok) std::remove(temporary.c_str());
    if (!ok && error) *error = path + ": cannot be written (does its directory exist?)";
    return ok;
}

bool LoadState(Model& model, const std::string& path, std::string* error) {
    std::ifstream in(path);
    if (!in) {
        if (error) *error = path + ": cannot be read";
        return false;
    }
    FrontEnd front = model.front;
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        std::istringstream words(line);
        std::string key;
        if (!(words >> key)) continue;
        bool ok = false;
        if (key == "network") {
            ok = true;
            for (int& value : front.network) ok = ok && (words >> value) && value >= 0 && value <= 255;
        } else if (key == "channel") {
            int index = 0;
            ChannelRecord c;
            ok = (words >> index >> c.frequency >> c.stepSize >> c.temperature >> c.paramB >> c.paramA >>
                  c.type >> c.tag >> c.invert) &&
                 index >= 1 && index <= FrontEnd::kChannels && PrintableWord(c.type) && PrintableWord(c.tag);
            for (const int value : {c.frequency, c.stepSize, c.temperature, c.paramB, c.paramA, c.invert})
                ok = ok && value >= 0 && value <= 65535;
            if (ok) front.flash[index - 1] = c;
        }
        std::string extra;
        if (!ok || (words >> extra)) {
            if (error) *error = path + ": line " + std::to_string(number) + " is not a state line";
            return false;
        }
    }
    front.memory = front.flash;
    model.front = front;
    return true;
}

}  // namespace vm::sim
