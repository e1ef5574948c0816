#pragma once
// Loading the USB libraries when a USB link first needs them. A command over LAN or a pipe, and a
// command answered locally, then never pay for loading and relocating libftdi1, libusb, hidapi
// and libudev, nor for libusb's start (its event thread and hot-plug socket). Before loading, a
// look at sysfs tells whether there is anything for the library to find at all.
#include <string>

namespace vm {

// Where the USB backends find their library and the kernel's device tree; tests replace both.
struct UsbLibraryOptions {
    std::string library;  // soname; empty: the backend's own
    std::string sysfs = "/sys";
};

// One shared library opened by soname with every symbol bound at once. A library that cannot be
// opened is reported once on standard error; the backend then finds no devices.
class SharedLibrary {
  public:
    explicit SharedLibrary(const std::string& soname);
    ~SharedLibrary();
    SharedLibrary(const SharedLibrary&) = delete;
    SharedLibrary& operator=(const SharedLibrary&) = delete;

    bool loaded() const { return handle_ != nullptr; }
    // Binds fn to the symbol; false (and fn null) when the library lacks it.
    template <typename F>
    bool bind(F*& fn, const char* name) {
        fn = reinterpret_cast<F*>(symbol(name));
        return fn != nullptr;
    }
    // Called when a symbol is missing: reports it and unloads the library.
    void reject(const char* what);

  private:
    void* symbol(const char* name);

    std::string soname_;
    void* handle_ = nullptr;
};

// False only when sysfs shows that no USB device with FTDI's vendor id (0403) is present; true
// when one is, or when sysfs cannot tell.
bool FtdiBridgeMayBePresent(const std::string& sysfs);

// False only when sysfs shows that no hidraw interface is present; true when one is, or when
// sysfs cannot tell.
bool HidrawInterfaceMayBePresent(const std::string& sysfs);

}  // namespace vm
