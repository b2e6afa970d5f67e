#include "ProgrammerLink.h"

#include <utility>

#include "Protocol.h"
#include "Replies.h"

namespace corvane {

TProgrammerLink::TProgrammerLink(IProgrammerView& view, std::unique_ptr<TComPort> port)
    : FView(view),
      FBoard(view, port ? std::move(port) : MakeProgrammerPort(), DefaultLineTrace()) {}

TProgrammerLink::~TProgrammerLink() = default;

std::unique_ptr<TComPort> TProgrammerLink::ReleasePort() {
    std::unique_ptr<TComPort> port = FBoard.ReleasePort();
    FBoard.TakePort(MakeProgrammerPort());
    return port;
}

std::unique_ptr<TComPort> TProgrammerLink::MakePort() {
    if (FPortFactory) return FPortFactory();
    std::unique_ptr<TComPort> port = MakeProgrammerPort();
    port->SetDispatcher(ComPort().Dispatcher());
    return port;
}

void TProgrammerLink::SetChipKind(TChipKind kind) {
    FChipKind = kind;
    std::uint16_t size = ChipMemSize(kind);
    if (size != 0) {
        FSourceImage.SetMemSize(size);
        FReadImage.SetMemSize(size);
    }
}

void TProgrammerLink::ApplyMemSizeChoice() {
    FSourceImage.SetMemSize(MemSizeForIndex(FView.MemSizeIndex()));
    FReadImage.SetMemSize(FSourceImage.MemSize());
}

std::optional<std::uint16_t> TProgrammerLink::ChipChecksum(std::uint16_t count) {
    TIdleGuard idle(FBoard);
    // A reply that came late to an earlier look is not taken for this one's.
    FBoard.SettleBoard();
    FBoard.PurgePort();
    if (count == 0 || !SetCounter(count)) return std::nullopt;
    // The board is given its pause before 'c', as the fast verify gives it.
    FBoard.Pause(FCommandPause);
    std::string reply;
    Exchange('c', protocol::kPrompt, reply, 1000);
    return protocol::ReadChecksum(reply);
}

void TProgrammerLink::ShowStatus(const std::string& text) {
    FLastStatus = text;
    FView.ShowStatus(text);
}

}  // namespace corvane
