#pragma once
// Text between the controller and Python. The controller speaks bytes; Python speaks Unicode. Each
// byte is handed over as the character with that code (Latin-1), so every reply reaches Python
// whatever it holds (a cleared user-memory record has the type byte 255, a garbled reply any byte)
// and a text read from the controller goes back to it unchanged.
#include <stdexcept>
#include <string>
#include <string_view>

namespace vm::py {

// Bytes from the controller as UTF-8 for Python.
inline std::string FromWire(std::string_view bytes) {
    std::string text;
    text.reserve(bytes.size());
    for (const char ch : bytes) {
        const auto b = static_cast<unsigned char>(ch);
        if (b < 0x80) {
            text += ch;
        } else {
            text += static_cast<char>(0xC0 | (b >> 6));
            text += static_cast<char>(0x80 | (b & 0x3F));
        }
    }
    return text;
}

// UTF-8 from Python as bytes for the controller; a character above code 255 cannot be sent.
inline std::string ToWire(std::string_view text) {
    std::string bytes;
    bytes.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto b = static_cast<unsigned char>(text[i]);
        if (b < 0x80) {
            bytes += text[i];
        } else if ((b == 0xC2 || b == 0xC3) && i + 1 < text.size()) {
            bytes += static_cast<char>(((b & 0x03) << 6) | (static_cast<unsigned char>(text[++i]) & 0x3F));
        } else {
            throw std::invalid_argument("the controller takes characters with codes 0 to 255 only");
        }
    }
    return bytes;
}

}  // namespace vm::py
