#include <algorithm>
#include <cstdio>
#include <string>
#include <string_view>
#include <utility>

#include "FileReplace.h"
#include "ProgrammerLink.h"
#include "Protocol.h"
#include "TextFile.h"

// The workflows: Send (program), Read, and the checks built from the same
// device operations (verify against a file, erase alone, blank check).
namespace corvane {

using namespace protocol;

namespace {

// Shows the hourglass for its lifetime and puts the remembered cursor back on
// every way out, exceptions included.
class WaitCursor {
public:
    explicit WaitCursor(IProgrammerView& view) : FView(view) { FView.ShowWaitCursor(); }
    ~WaitCursor() { FView.RestoreCursor(); }
    WaitCursor(const WaitCursor&) = delete;
    WaitCursor& operator=(const WaitCursor&) = delete;

private:
    IProgrammerView& FView;
};

}  // namespace

int TProgrammerLink::LastDataIndex(const THexFile& image) {
    const auto& data = image.Data();
    int last = -1;
    for (std::size_t i = 0; i < data.size() && i < image.MemSize(); ++i) {
        if (data[i] != 0xFF) last = static_cast<int>(i);
    }
    return last;
}

TOutcome TProgrammerLink::EndWorkflow(const char* failureText) {
    FBoard.SettleBoard();
    if (StopRequested()) return Ended(TOutcomeKind::Stopped, kStoppedText);
    return Ended(TOutcomeKind::Failed, failureText);
}

TOutcome TProgrammerLink::Ended(TOutcomeKind kind, const char* text) {
    ShowStatus(text);
    return {kind, text};
}

THexFile TProgrammerLink::LoadAtChipSize(const std::string& fileName, TImageFormat format,
                                         std::size_t& fileLength) const {
    // Loaded at the largest size first, so that a file beyond the chip is
    // refused with its own length (TakeSourceImage).
    THexFile image;
    image.SetMemSize(0xFFFF);
    try {
        if (format == TImageFormat::Bin) {
            const std::string bytes = ReadWholeFile(fileName);
            LoadBinBytes(image, std::string_view(bytes).substr(0, image.MemSize()));
            fileLength = bytes.size();
        } else {
            image.LoadHex(fileName);
        }
    } catch (const ENotHexText&) {
        // Says which file, as its name is what the user must change.
        throw ENotHexText(fileName);
    }
    return image;
}

void TProgrammerLink::TakeSourceImage(const THexFile& image, std::size_t fileLength) {
    THexFile fitted;
    fitted.SetMemSize(FSourceImage.MemSize());
    fitted.Clear();
    const std::size_t chipSize = fitted.MemSize();
    // Every byte of a raw binary file is data, 0xFF too; a HEX file's data
    // end at its last byte that is not 0xFF.
    const std::size_t length =
        std::max(fileLength, static_cast<std::size_t>(LastDataIndex(image) + 1));
    if (length > chipSize) {
        // The image's own words first (scripts match them), then the figures.
        std::size_t target = chipSize;
        while (fileLength == 0 && image.Data()[target] == 0xFF) ++target;
        char figures[160];
        std::snprintf(figures, sizeof figures, "Exceed Memory Size[Target:%zX Size:%zX]: ", target,
                      chipSize);
        std::string text = figures;
        if (fileLength > 0) {
            std::snprintf(figures, sizeof figures, "the file has %zu bytes", length);
        } else {
            std::snprintf(figures, sizeof figures, "the file's data reach %zu bytes (to 0x%04zX)",
                          length, length - 1);
        }
        text += figures;
        text += ", the chip " + std::to_string(chipSize);
        if (FChipKind == ck89C2051 && chipSize < 4096 && length <= 4096) {
            text += "; a 4051 holds 4096: choose " + FSizeChoiceName;
        }
        throw EHexFile(text);
    }
    const auto& data = image.Data();
    for (std::size_t i = 0; i < data.size() && i < chipSize; ++i) {
        if (data[i] != 0xFF) fitted.SetByte(static_cast<std::uint16_t>(i), data[i]);
    }
    FSourceImage = std::move(fitted);
}

TOutcome TProgrammerLink::ProgramFromFile(const std::string& fileName, std::stop_token stop,
                                          TImageFormat format) {
    TCommand command(FBoard, stop);
    TIdleGuard idle(FBoard);
    std::size_t fileLength = 0;
    const THexFile image = LoadAtChipSize(fileName, format, fileLength);
    return ProgramFromImage(image, std::move(stop), fileLength);
}

TOutcome TProgrammerLink::ProgramFromImage(const THexFile& image, std::stop_token stop,
                                           std::size_t fileLength) {
    TCommand command(FBoard, std::move(stop));
    TIdleGuard idle(FBoard);
    // A file that does not fit the chip raises here, before the chip is touched.
    TakeSourceImage(image, fileLength);
    FView.RepaintWindow();
    const int last = LastDataIndex(FSourceImage);
    if (last < 0) {
        // Erasing the chip for a file that holds nothing cannot be undone.
        return Ended(TOutcomeKind::NoData, "No data to program!");
    }
    const auto count = static_cast<std::uint16_t>(last + 1);

    WaitCursor cursor(FView);
    ShowStatus("Erasing...");
    if (!EraseChip() || StopRequested()) return EndWorkflow("Erase Failed!");
    ShowStatus("Initial for Writing");
    if (!SetCounter(count) || StopRequested()) return EndWorkflow("Set Counter Failed!");
    if (FWriteStarting) {
        FWriteStarting();
        if (StopRequested()) return EndWorkflow("Write Failed!");
    }
    ShowStatus(Format("Writing... [%u Bytes]", count));
    FView.RepaintStatus();
    if (!WriteChip(count) || StopRequested()) return EndWorkflow("Write Failed!");
    // Only kinds 1 to 6 have the programmer's checksum.
    if (FChipKind != ck89C2051 && FView.FastVerifyEnabled() && FView.FastVerifyChecked()) {
        ShowStatus("Fast Verify...");
        FView.RepaintWindow();
        if (!FastVerifyChip(count) || StopRequested()) return EndWorkflow("Fast Verify Failed!");
    } else {
        ShowStatus("Verify...");
        FView.RepaintWindow();
        if (!VerifyChip(count) || StopRequested()) return EndWorkflow("Verify Failed!");
    }
    if (FView.LockChecked()) {
        ShowStatus("Verify Locked code");
        if (!LockChip(count) || StopRequested()) return EndWorkflow("Lock Failed!");
    }
    const TOutcome outcome = Ended(TOutcomeKind::Complete, kCompleteText);
    FView.SetProgressPosition(0);
    return outcome;
}

TOutcome TProgrammerLink::ReadToFile(const std::string& fileName, std::stop_token stop,
                                     TImageFormat format) {
    TCommand command(FBoard, std::move(stop));
    TIdleGuard idle(FBoard);
    const std::uint16_t count =
        FChipKind == ck89C2051 ? MemSizeForIndex(FView.MemSizeIndex()) : FReadImage.MemSize();
    FReadImage.Clear();
    // A file that the save would refuse is refused before the chip is read.
    CheckReplaceable(fileName);

    WaitCursor cursor(FView);
    if (!SetCounter(count) || StopRequested()) return EndWorkflow("Set Counter Failed");
    ShowStatus("Reading...");
    FView.RepaintWindow();
    // A stopped read saves nothing: an existing file stays as it was.
    if (!ReadChip(count) || StopRequested()) return EndWorkflow("Read Failed!");
    SaveImageFile(FReadImage, fileName, format);
    FView.SetProgressPosition(0);
    return Ended(TOutcomeKind::Complete, kCompleteText);
}

std::uint16_t TProgrammerLink::WholeChipCount() const {
    return FChipKind == ck89C2051 ? MemSizeForIndex(FView.MemSizeIndex()) : FReadImage.MemSize();
}

TOutcome TProgrammerLink::VerifyWithFile(const std::string& fileName, std::stop_token stop,
                                         TImageFormat format) {
    TCommand command(FBoard, stop);
    TIdleGuard idle(FBoard);
    FCheckedCount = 0;
    std::size_t fileLength = 0;
    const THexFile image = LoadAtChipSize(fileName, format, fileLength);
    return VerifyWithImage(image, std::move(stop), fileLength);
}

TOutcome TProgrammerLink::VerifyWithImage(const THexFile& image, std::stop_token stop,
                                          std::size_t fileLength) {
    TCommand command(FBoard, std::move(stop));
    TIdleGuard idle(FBoard);
    FCheckedCount = 0;
    // A file that does not fit the chip raises here, before anything is sent.
    TakeSourceImage(image, fileLength);
    // A raw binary file is compared whole: a dump of an erased stretch checks
    // that it is still erased.
    const int last =
        fileLength > 0 ? static_cast<int>(fileLength) - 1 : LastDataIndex(FSourceImage);
    if (last < 0) {
        return Ended(TOutcomeKind::NoData, "No data to verify!");
    }
    const auto count = static_cast<std::uint16_t>(last + 1);
    FReadImage.Clear();

    WaitCursor cursor(FView);
    ShowStatus("Verify...");
    FView.RepaintWindow();
    if (!SetCounter(count) || StopRequested()) return EndWorkflow("Set Counter Failed!");
    if (!ReadChip(count) || StopRequested()) return EndWorkflow("Read Failed!");
    FCheckedCount = count;
    for (std::uint32_t i = 0; i < count; ++i) {
        auto address = static_cast<std::uint16_t>(i);
        if (FSourceImage.GetByte(address) != FReadImage.GetByte(address)) {
            return Ended(TOutcomeKind::Failed, "Verify Failed!");
        }
    }
    return Ended(TOutcomeKind::Complete, kCompleteText);
}

TOutcome TProgrammerLink::EraseOnly(std::stop_token stop) {
    TCommand command(FBoard, std::move(stop));
    TIdleGuard idle(FBoard);
    WaitCursor cursor(FView);
    ShowStatus("Erasing...");
    if (!EraseChip() || StopRequested()) return EndWorkflow("Erase Failed!");
    FView.SetProgressPosition(0);
    return Ended(TOutcomeKind::Complete, kCompleteText);
}

TOutcome TProgrammerLink::BlankCheck(std::stop_token stop) {
    TCommand command(FBoard, std::move(stop));
    TIdleGuard idle(FBoard);
    FCheckedCount = 0;
    const std::uint16_t count = WholeChipCount();
    FReadImage.Clear();

    WaitCursor cursor(FView);
    ShowStatus("Blank Check...");
    FView.RepaintWindow();
    if (!SetCounter(count) || StopRequested()) return EndWorkflow("Set Counter Failed!");
    if (!ReadChip(count) || StopRequested()) return EndWorkflow("Read Failed!");
    FCheckedCount = count;
    if (!AllErased(FReadImage, count)) return Ended(TOutcomeKind::Failed, "Not Blank!");
    return Ended(TOutcomeKind::Complete, kCompleteText);
}

}  // namespace corvane
