#pragma once
// A private temporary directory for a test or benchmark, removed with everything in it when the
// object goes away.
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

namespace vm::test {

class TempDir {
  public:
    explicit TempDir(std::string_view prefix = "vm-test") {
        std::string pattern =
            (std::filesystem::temp_directory_path() / (std::string(prefix) + "-XXXXXX")).string();
        path_ = mkdtemp(pattern.data()) ? pattern : std::string{};
    }
    ~TempDir() {
        std::error_code ec;
        if (!path_.empty()) std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    bool ok() const { return !path_.empty(); }
    // The path of a file in the directory (which need not exist).
    std::string path(const std::string& name) const { return path_ + "/" + name; }
    // Writes the bytes to a file in the directory and returns its path; empty when the
    // directory could not be made.
    std::string file(const std::string& name, std::string_view bytes) const {
        if (!ok()) return {};
        const std::string p = path(name);
        std::ofstream(p, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        return p;
    }

  private:
    std::string path_;
};

}  // namespace vm::test
