#include "ImageSource.h"

#include <string_view>

#include "Exception.h"
#include "TextFile.h"

namespace corvane::station {

std::string ReadImageSource(const TImageSource& source, THexFile& image, std::size_t& length) {
    length = 0;
    try {
        image.SetMemSize(0xFFFF);
        if (source.Format == TImageFormat::Bin) {
            const std::string bytes = source.Bytes ? *source.Bytes : ReadWholeFile(source.File);
            // A file longer than any chip is refused by the link, with the
            // chip's size, as one just longer than the chip is.
            LoadBinBytes(image, std::string_view(bytes).substr(0, image.MemSize()));
            length = bytes.size();
        } else if (source.Bytes) {
            image.LoadHexText(*source.Bytes);
        } else {
            image.LoadHex(source.File);
        }
    } catch (const ENotHexText&) {
        // A pipe has no name to change, and --format overrides one.
        if (source.Bytes || source.FormatGiven) {
            return source.Label + ": not an Intel HEX file (--format bin reads a raw binary image)";
        }
        return source.Label + ": " + ENotHexText::kMessage;
    } catch (const Exception& e) {
        return source.Label + ": " + e.what();
    }
    return {};
}

}  // namespace corvane::station
