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

using TVerdict = TOnRecord::TVerdict;
constexpr TOnRecord kOther{TVerdict::Other, std::nullopt};
constexpr TOnRecord kUnknown{TVerdict::Unknown, std::nullopt};

TOnRecord Judge(const TRecordPlan& plan, const std::vector<std::uint8_t>& number) {
    if (!plan.SerialFormat) return {TVerdict::OnRecord, std::nullopt};
    const auto serial = plan.SerialFormat->Number(number);
    if (!serial || !plan.Used->contains(*serial) || plan.SerialFormat->Bytes(*serial) != number) {
        return kOther;
    }
    return {TVerdict::OnRecord, serial};
}

// A 2051/4051 board has no checksum command: the chip is read back.
TOnRecord ReadBack(TProgrammerLink& link, const TRecordPlan& plan, std::uint32_t count) {
    const auto bytes = static_cast<std::uint16_t>(count);
    if (count > link.ReadImage().MemSize()) return kOther;
    if (!link.SetCounter(bytes) || !link.ReadChip(bytes)) return kUnknown;
    std::vector<std::uint8_t> number;
    for (std::uint32_t a = 0; a < count; ++a) {
        const std::uint8_t chip = link.ReadImage().GetByte(static_cast<std::uint16_t>(a));
        if (AtNumber(plan, a)) {
            number.push_back(chip);
        } else if (chip != plan.File->GetByte(static_cast<std::uint16_t>(a))) {
            return kOther;
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
TOnRecord Checksums(TProgrammerLink& link, const TRecordPlan& plan, std::uint32_t count) {
    const auto whole = ChipSum(link, count);
    if (!whole) return kUnknown;
    if (!plan.SerialFormat) {
        if (*whole != FileSum(plan, count)) return kOther;
        return {TVerdict::OnRecord, std::nullopt};
    }
    const std::uint32_t at = plan.SerialAddress;
    auto before = ChipSum(link, at);
    if (!before) return kUnknown;
    if (*before != FileSum(plan, at)) return kOther;
    std::vector<std::uint8_t> number;
    unsigned numberSum = 0;
    for (int i = 0; i < plan.SerialFormat->Width(); ++i) {
        const auto next = ChipSum(link, at + static_cast<std::uint32_t>(i) + 1);
        if (!next) return kUnknown;
        const unsigned byte = (*next - *before) & 0xFFFF;
        if (byte > 0xFF) return kOther;
        number.push_back(static_cast<std::uint8_t>(byte));
        numberSum += byte;
        before = next;
    }
    if (*whole != ((FileSum(plan, count) + numberSum) & 0xFFFF)) return kOther;
    return Judge(plan, number);
}

}  // namespace

TOnRecord ChipOnRecord(TProgrammerLink& link, TChipKind kind, const TRecordPlan& plan) {
    const std::uint32_t count = WrittenCount(plan);
    if (count == 0 || (plan.SerialFormat && plan.Used->empty())) return kOther;
    if (count > link.ReadImage().MemSize() && kind != ck89C2051) return kOther;
    int others = 0;
    for (int look = 0; look < 3; ++look) {
        TOnRecord verdict;
        try {
            verdict =
                kind == ck89C2051 ? ReadBack(link, plan, count) : Checksums(link, plan, count);
        } catch (const std::exception&) {
            // The port failed: the board's own loop finds out.
            return kUnknown;
        }
        if (verdict.Verdict == TVerdict::OnRecord) return verdict;
        if (verdict.Verdict == TVerdict::Other && ++others == 2) return verdict;
    }
    return kUnknown;
}

}  // namespace corvane::station
