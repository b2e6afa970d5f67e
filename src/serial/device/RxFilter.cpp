#include "RxFilter.h"

namespace corvane::device {

void TRxFilter::Configure(const TSettings& Settings) {
    if (!Settings.Marks) FState = TState::Plain;
    FSettings = Settings;
}

void TRxFilter::Emit(char Ch, std::string& Queue, TResult& Result) const {
    if (Ch == '\0' && FSettings.DiscardNull) return;
    Queue.push_back(Ch);
    ++Result.Queued;
    if (Ch == FSettings.EventChar) Result.EventChar = true;
}

TRxFilter::TResult TRxFilter::Feed(const char* Data, std::size_t Size, std::string& Queue) {
    TResult result;
    for (std::size_t i = 0; i < Size; ++i) {
        const char ch = Data[i];
        if (!FSettings.Marks) {
            Emit(ch, Queue, result);
            continue;
        }
        switch (FState) {
            case TState::Plain:
                if (ch == '\xff') {
                    FState = TState::Escape;
                } else {
                    Emit(ch, Queue, result);
                }
                break;
            case TState::Escape:
                if (ch == '\0') {
                    FState = TState::Marked;
                } else {
                    // 0xFF 0xFF is a good 0xFF; the driver sends nothing else
                    // after 0xFF, but a lone one is kept rather than lost.
                    FState = TState::Plain;
                    Emit('\xff', Queue, result);
                    if (ch != '\xff') Emit(ch, Queue, result);
                }
                break;
            case TState::Marked:
                FState = TState::Plain;
                result.Error = true;
                Emit(FSettings.ReplaceErrors ? FSettings.ErrorChar : ch, Queue, result);
                break;
        }
    }
    return result;
}

}  // namespace corvane::device
