#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "Exception.h"

namespace corvane {

// Errors about the image or about the contents of a HEX file. Errors of the
// file system are EInOutError instead.
class EHexFile : public Exception {
public:
    using Exception::Exception;
};

// A file read as HEX text that holds bytes no text holds and not one record
// that loads: most likely a raw binary image under a HEX file's name.
class ENotHexText : public EHexFile {
public:
    ENotHexText() : EHexFile(kMessage) {}
    // The message with the file's name in front, for a window's box.
    explicit ENotHexText(const std::string& fileName) : EHexFile(fileName + ": " + kMessage) {}
    static constexpr const char* kMessage =
        "not an Intel HEX file (a raw binary file's name ends in .bin)";
};

// An in-memory copy of a chip's code memory: bytes addressed from 0, with
// 0xFF as the erased state. Loads from and saves to Intel HEX text.
class THexFile {
public:
    THexFile() = default;

    // Stores Value into every byte; an empty image is left untouched.
    void Fill(std::uint8_t Value);
    // Fill with 0xFF, the erased state of the flash.
    void Clear();

    // Raise EHexFile "Exceed Memory Size[...]" when Address >= MemSize().
    std::uint8_t GetByte(std::uint16_t Address) const;
    void SetByte(std::uint16_t Address, std::uint8_t Value);

    // Resizes the image: old bytes stay, new bytes are 0x00. On failure the
    // image keeps its size and contents and EHexFile is raised.
    void SetMemSize(std::uint16_t NewSize);
    std::uint16_t MemSize() const { return FMemSize; }

    // Replaces the whole content with the file's records (the size stays).
    // Raises EHexFile for a malformed file, EInOutError when the file cannot
    // be read. Returns true when it completes.
    bool LoadHex(const std::string& FileName);

    // Writes the whole image as Intel HEX. The file is replaced only once it
    // has been written completely; on failure an existing file stays as it
    // was. Raises EInOutError when the file cannot be written.
    bool SaveHex(const std::string& FileName) const;

    // The HEX text that SaveHex writes, for a given comment timestamp.
    std::string HexText(const std::string& timestamp) const;
    // Parses HEX text into the image, as LoadHex does after reading the file.
    // Text that holds control characters (other than tabs, line and page
    // ends) and in which no record loads, or that holds no record and is not
    // UTF-8, raises ENotHexText instead of loading nothing or naming a line.
    void LoadHexText(const std::string& text);

    const std::vector<std::uint8_t>& Data() const { return FData; }

private:
    // The records of `text` into the image; `loaded` counts those that loaded.
    void LoadRecords(std::string_view text, unsigned& loaded);

    std::vector<std::uint8_t> FData;
    std::uint16_t FMemSize = 0;
    std::uint8_t FRecordSize = 16;
};

}  // namespace corvane
