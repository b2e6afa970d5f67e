#include "ImageFile.h"

#include <algorithm>
#include <cctype>

#include "FileReplace.h"
#include "TextFile.h"

namespace corvane {

TImageFormat FormatOfName(std::string_view fileName) {
    constexpr std::string_view kBin = ".bin";
    if (fileName.size() < kBin.size()) return TImageFormat::Hex;
    const std::string_view end = fileName.substr(fileName.size() - kBin.size());
    const bool bin = std::equal(end.begin(), end.end(), kBin.begin(), [](char a, char b) {
        return std::tolower(static_cast<unsigned char>(a)) == b;
    });
    return bin ? TImageFormat::Bin : TImageFormat::Hex;
}

std::size_t LoadBin(THexFile& image, const std::string& fileName) {
    return LoadBinBytes(image, ReadWholeFile(fileName));
}

std::size_t LoadBinBytes(THexFile& image, std::string_view bytes) {
    // The image's own message for the first address beyond it, raised before
    // anything is stored.
    if (bytes.size() > image.MemSize()) image.GetByte(image.MemSize());
    image.Clear();
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        image.SetByte(static_cast<std::uint16_t>(i), static_cast<std::uint8_t>(bytes[i]));
    }
    return bytes.size();
}

void SaveBin(const THexFile& image, const std::string& fileName) {
    const auto& data = image.Data();
    ReplaceFileContents(fileName,
                        std::string_view(reinterpret_cast<const char*>(data.data()), data.size()));
}

std::size_t LoadImageFile(THexFile& image, const std::string& fileName, TImageFormat format) {
    if (format == TImageFormat::Bin) return LoadBin(image, fileName);
    image.LoadHex(fileName);
    return 0;
}

std::size_t LoadImageBytes(THexFile& image, const std::string& bytes, TImageFormat format) {
    if (format == TImageFormat::Bin) return LoadBinBytes(image, bytes);
    image.LoadHexText(bytes);
    return 0;
}

void SaveImageFile(const THexFile& image, const std::string& fileName, TImageFormat format) {
    if (format == TImageFormat::Bin) {
        SaveBin(image, fileName);
    } else {
        image.SaveHex(fileName);
    }
}

}  // namespace corvane
