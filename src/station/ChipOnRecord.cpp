#include "ChipOnRecord.h"

#include <algorithm>
#include <vector>

#include "ProgrammerLink.h"

namespace corvane::station {

namespace {

// The bytes a station writes: the file up to its last byte that is not FF,
// and the number's place.
std::uint32_t WrittenCount(const TRecordPlan& plan) {
    const auto last = static_cast<std::uint32_t>(TProgrammerLink::LastDataIndex(*plan.File) + 1);
    if (!plan.SerialFormat) return last;
    return std::max(last,
                    plan.SerialAddress + static_cast<std::uint32_t>(plan.SerialFormat->Width()));
}

bool AtNumber(const TRecordPlan& plan, std::uint32_t address) {
    return plan.SerialFormat && address >= plan.SerialAddress &&
           address < plan.SerialAddress + static_cast<std::uint32_t>(plan.SerialFormat->Width());
}

// The 16-bit sum of the file's bytes below `count`, the number's place left out.
unsigned FileSum(const TRecordPlan& plan, std::uint32_t count) {
    unsigned sum = 0;
    for (std::uint32_t a = 0; a < count; ++a) {
        if (!AtNumber(plan, a)) sum += plan.File->GetByte(static_cast<std::uint16_t>(a));
    }
    return sum & 0xFFFF;
}

std::optional<TOnRecord> Judge(const TRecordPlan& plan, const std::vector<std::uint8_t>& number) {
    if (!plan.SerialFormat) return TOnRecord{};
    const auto serial = plan.SerialFormat->Number(number);
    if (!serial || !plan.Used->contains(*serial) || plan.SerialFormat->Bytes(*serial) != number) {
        return std::nullopt;
    }
    return TOnRecord{serial};
}

// A 2051/4051 board has no checksum command: the chip is read back.
std::optional<TOnRecord> ReadBack(TProgrammerLink& link, const TRecordPlan& plan,
                                  std::uint32_t count) {
    const auto bytes = static_cast<std::uint16_t>(count);
    if (count > link.ReadImage().MemSize() || !link.SetCounter(bytes) || !link.ReadChip(bytes)) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> number;
    for (std::uint32_t a = 0; a < count; ++a) {
        const std::uint8_t chip = link.ReadImage().GetByte(static_cast<std::uint16_t>(a));
        if (AtNumber(plan, a)) {
            number.push_back(chip);
        } else if (chip != plan.File->GetByte(static_cast<std::uint16_t>(a))) {
            return std::nullopt;
        }
    }
    return Judge(plan, number);
}

// The sum of the chip's first `count` bytes, from the board's checksum.
std::optional<unsigned> ChipSum(TProgrammerLink& link, std::uint32_t count) {
    if (count == 0) return 0u;
    const auto checksum = link.ChipChecksum(static_cast<std::uint16_t>(count));
    if (!checksum) return std::nullopt;
    return (0x10000u - *checksum) & 0xFFFF;
}

// The number's bytes are told apart by the checksums of the counts that end
// just before and just after each.
std::optional<TOnRecord> Checksums(TProgrammerLink& link, const TRecordPlan& plan,
                                   std::uint32_t count) {
    const auto whole = ChipSum(link, count);
    if (!whole) return std::nullopt;
    if (!plan.SerialFormat) {
        if (*whole != FileSum(plan, count)) return std::nullopt;
        return TOnRecord{};
    }
    const std::uint32_t at = plan.SerialAddress;
    auto before = ChipSum(link, at);
    if (!before || *before != FileSum(plan, at)) return std::nullopt;
    std::vector<std::uint8_t> number;
    unsigned numberSum = 0;
    for (int i = 0; i < plan.SerialFormat->Width(); ++i) {
        const auto next = ChipSum(link, at + static_cast<std::uint32_t>(i) + 1);
        if (!next) return std::nullopt;
        const unsigned byte = (*next - *before) & 0xFFFF;
        if (byte > 0xFF) return std::nullopt;
        number.push_back(static_cast<std::uint8_t>(byte));
        numberSum += byte;
        before = next;
    }
    if (*whole != ((FileSum(plan, count) + numberSum) & 0xFFFF)) return std::nullopt;
    return Judge(plan, number);
}

}  // namespace

std::optional<TOnRecord> ChipOnRecord(TProgrammerLink& link, TChipKind kind,
                                      const TRecordPlan& plan) {
    const std::uint32_t count = WrittenCount(plan);
    if (count == 0 || (plan.SerialFormat && plan.Used->empty())) return std::nullopt;
    if (count > link.ReadImage().MemSize() && kind != ck89C2051) return std::nullopt;
    try {
        return kind == ck89C2051 ? ReadBack(link, plan, count) : Checksums(link, plan, count);
    } catch (const std::exception&) {
        // The port failed: the board's own loop finds out.
        return std::nullopt;
    }
}

}  // namespace corvane::station
