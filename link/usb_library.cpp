#include "link/usb_library.h"

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string_view>

#include "link/unique_fd.h"

namespace vm {

SharedLibrary::SharedLibrary(const std::string& soname) : soname_(soname) {
    // Never unloaded: libusb and libudev keep process-wide state that must outlive any one user.
    handle_ = ::dlopen(soname.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (handle_ == nullptr) {
        const char* error = ::dlerror();
        std::fprintf(stderr, "%s cannot be loaded (%s): its USB devices are not searched\n", soname.c_str(),
                     error != nullptr ? error : "unknown error");
    }
}

SharedLibrary::~SharedLibrary() {
    if (handle_ != nullptr) ::dlclose(handle_);
}

void* SharedLibrary::symbol(const char* name) {
    return handle_ != nullptr ? ::dlsym(handle_, name) : nullptr;
}

void SharedLibrary::reject(const char* what) {
    if (handle_ == nullptr) return;
    std::fprintf(stderr, "%s lacks %s: its USB devices are not searched\n", soname_.c_str(), what);
    ::dlclose(handle_);
    handle_ = nullptr;
}

namespace {

struct DirCloser {
    void operator()(DIR* dir) const { ::closedir(dir); }
};
using Dir = std::unique_ptr<DIR, DirCloser>;

enum class Listing { Missing, Unreadable, Open };

// Opens a directory of the device tree. A directory that does not exist while its parent does
// means the kernel has nothing of that kind; anything else the caller cannot judge.
Listing OpenListing(const std::string& path, const std::string& parent, Dir& dir) {
    dir.reset(::opendir(path.c_str()));
    if (dir) return Listing::Open;
    if (errno != ENOENT) return Listing::Unreadable;
    struct stat st {};
    return ::stat(parent.c_str(), &st) == 0 && S_ISDIR(st.st_mode) ? Listing::Missing : Listing::Unreadable;
}

bool IsEntry(const dirent* entry) { return entry->d_name[0] != '.'; }

// The first line of a small attribute file; empty when it cannot be read.
std::string ReadAttribute(const std::string& path) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return {};
    std::array<char, 64> buffer{};
    const ssize_t n = ::read(fd.get(), buffer.data(), buffer.size());
    if (n <= 0) return {};
    std::string_view text(buffer.data(), static_cast<std::size_t>(n));
    return std::string(text.substr(0, text.find('\n')));
}

}  // namespace

bool FtdiBridgeMayBePresent(const std::string& sysfs) {
    const std::string devices = sysfs + "/bus/usb/devices";
    Dir dir;
    const Listing listing = OpenListing(devices, sysfs + "/bus", dir);
    if (listing != Listing::Open) return listing == Listing::Unreadable;
    // Interfaces ("1-1:1.0") have no idVendor and read as empty.
    while (const dirent* entry = ::readdir(dir.get())) {
        if (IsEntry(entry) && ReadAttribute(devices + "/" + entry->d_name + "/idVendor") == "0403")
            return true;
    }
    return false;
}

bool HidrawInterfaceMayBePresent(const std::string& sysfs) {
    Dir dir;
    const Listing listing = OpenListing(sysfs + "/class/hidraw", sysfs + "/class", dir);
    if (listing != Listing::Open) return listing == Listing::Unreadable;
    while (const dirent* entry = ::readdir(dir.get())) {
        if (IsEntry(entry)) return true;
    }
    return false;
}

}  // namespace vm
