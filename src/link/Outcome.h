#pragma once

#include <string>

namespace corvane {

// How a workflow ended.
enum class TOutcomeKind {
    Complete,  // every step succeeded: "Complete!"
    Failed,    // a step failed, or the chip differs from the file or is not blank
    NoData,    // the file holds no byte to program or to compare
    Stopped,   // stopped on request, the board back at its prompt: "Stopped!"
};

// A workflow's end: its kind and the status text it showed last.
struct TOutcome {
    TOutcomeKind Kind = TOutcomeKind::Complete;
    std::string Text;

    bool Complete() const { return Kind == TOutcomeKind::Complete; }
};

inline constexpr const char* kCompleteText = "Complete!";
inline constexpr const char* kStoppedText = "Stopped!";

inline TOutcome CompleteOutcome() {
    return {TOutcomeKind::Complete, kCompleteText};
}
inline TOutcome StoppedOutcome() {
    return {TOutcomeKind::Stopped, kStoppedText};
}

}  // namespace corvane
