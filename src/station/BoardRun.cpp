#include "BoardRun.h"

#include <cstdio>
#include <exception>
#include <utility>

#include "CPort.h"
#include "Exception.h"
#include "ProgrammerLink.h"

namespace corvane::station {

int ExitStatusFor(const TOutcome& outcome, int stopStatus) {
    switch (outcome.Kind) {
        case TOutcomeKind::Complete:
            return esComplete;
        case TOutcomeKind::Stopped:
            return stopStatus != 0 ? stopStatus : esFailedStep;
        case TOutcomeKind::NoData:
            return esBadFile;
        case TOutcomeKind::Failed:
            break;
    }
    return esFailedStep;
}

void SetBoardOptions(TBoardView& view, const TBoardOptions& options, TChipKind kind) {
    view.SetFastVerifyEnabled(kind != ck89C2051);
    view.SetFastVerifyChecked(options.FastVerify);
    view.SetLockChecked(options.Lock);
    view.SetMemSizeIndex(options.MemSizeIndex);
}

void ShowMonitorFailures(TProgrammerLink& link, IBoardReport& report, std::size_t line,
                         bool& shown) {
    link.ComPort().Dispatcher()->SetExceptionHandler(
        [&report, line, &shown](std::exception_ptr error) {
            if (std::exchange(shown, true)) return;
            try {
                std::rethrow_exception(error);
            } catch (const std::exception& e) {
                report.Message(line, std::string("the port failed: ") + e.what());
            } catch (...) {
                report.Message(line, "the port failed");
            }
        });
}

TBoardResult RunOnBoard(TBoardView& view, const std::function<int()>& stopStatus,
                        const std::function<TOutcome()>& workflow) {
    TBoardResult result;
    try {
        const TOutcome outcome = workflow();
        result.Status = ExitStatusFor(outcome, stopStatus());
        result.Text = outcome.Text;
        result.Kind = outcome.Kind;
        result.Ended = true;
    } catch (const EComPort& e) {
        result.Status = esPortError;
        result.Text = e.what();
        result.PortFailed = true;
        result.Gone = true;
    } catch (const Exception& e) {
        // The image does not fit the chip: raised before the chip is touched.
        result.Status = esBadFile;
        result.Text = e.what();
    } catch (const std::exception& e) {
        // Out of memory, most likely.
        result.Status = esPortError;
        result.Text = e.what();
        result.Gone = true;
    }
    view.FinishPass();
    return result;
}

std::string Hex(unsigned value, int digits) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%0*X", digits, value);
    return buf;
}

std::uint16_t BoardChecksum(const THexFile& image) {
    unsigned sum = 0;
    const int last = TProgrammerLink::LastDataIndex(image);
    for (int i = 0; i <= last; ++i) sum += image.GetByte(static_cast<std::uint16_t>(i));
    return static_cast<std::uint16_t>(0x10000 - (sum & 0xFFFF));
}

}  // namespace corvane::station
