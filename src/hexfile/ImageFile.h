#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "UHexFile.h"

// A chip's image in a file of either format: Intel HEX text, or a raw binary
// file whose first byte is address 0 (the form ROM images and other
// programmers' dumps come in, and what cmp and a hex viewer compare).
namespace corvane {

enum class TImageFormat { Hex, Bin };

// A name that ends in ".bin" (any case) is a raw binary file; any other name
// is Intel HEX.
TImageFormat FormatOfName(std::string_view fileName);

// Replaces the whole content of the image with the bytes of a raw binary
// file: its first byte at address 0, 0xFF past its end. Returns the file's
// length. A file longer than the image raises the image's own "Exceed Memory
// Size[...]" for the first address beyond it, and the image stays as it was.
// A file that cannot be read raises EInOutError.
std::size_t LoadBin(THexFile& image, const std::string& fileName);
// LoadBin for bytes read before (a pipe).
std::size_t LoadBinBytes(THexFile& image, std::string_view bytes);

// Writes every byte of the image as it is, saved as SaveHex saves: the file
// is replaced only once it has been written completely, and a file that this
// user may not write is refused (EInOutError).
void SaveBin(const THexFile& image, const std::string& fileName);

// Either format. Loading returns the number of bytes that a raw binary file
// holds, each of which counts, 0xFF included; 0 for HEX text, whose data
// ends at its last byte that is not 0xFF.
std::size_t LoadImageFile(THexFile& image, const std::string& fileName, TImageFormat format);
std::size_t LoadImageBytes(THexFile& image, const std::string& bytes, TImageFormat format);
void SaveImageFile(const THexFile& image, const std::string& fileName, TImageFormat format);

}  // namespace corvane
