// Feeds arbitrary text to the HEX reader. The first two bytes choose the
// image size, so records beyond the image and at its very end are reached.
#include <cstddef>
#include <cstdint>
#include <string>

#include "UHexFile.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    corvane::THexFile image;
    image.SetMemSize(static_cast<std::uint16_t>(data[0] << 8 | data[1]));
    try {
        image.LoadHexText(std::string(reinterpret_cast<const char*>(data + 2), size - 2));
    } catch (const corvane::EHexFile&) {
        // Malformed input is reported, never crashes.
    }
    if (image.Data().size() != image.MemSize()) __builtin_trap();
    return 0;
}
