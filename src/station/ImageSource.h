#pragma once

#include <cstddef>
#include <string>

#include "ImageFile.h"
#include "UHexFile.h"

// The file that a command programs or compares a chip with, read once before
// any port is opened, so that a file that is missing, malformed or empty is
// reported at once.
namespace corvane::station {

struct TImageSource {
    std::string Label;                   // the file as messages name it: its name, "standard input"
    std::string File;                    // read by this name unless Bytes is given
    const std::string* Bytes = nullptr;  // the content read before (a pipe)
    TImageFormat Format = TImageFormat::Hex;
    bool FormatGiven = false;  // --format chose it, not the file's name
};

// Reads `source` into `image`, sized for any chip (the link fits it to the
// chip), and a raw binary file's length, each byte of which counts, into
// `length` (0 for HEX text). Returns why it cannot, beginning with the
// label; empty when it was read.
std::string ReadImageSource(const TImageSource& source, THexFile& image, std::size_t& length);

}  // namespace corvane::station
