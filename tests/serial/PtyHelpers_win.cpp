#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "PtyHelpers.h"

namespace corvane::testing {

namespace {

SOCKET Socket(std::uintptr_t s) {
    return static_cast<SOCKET>(s);
}

// The harness's broker: CORVANE_PTY_BROKER=127.0.0.1:PORT.
sockaddr_in BrokerAddress() {
    const char* broker = std::getenv("CORVANE_PTY_BROKER");
    const char* colon = broker != nullptr ? std::strrchr(broker, ':') : nullptr;
    if (colon == nullptr) {
        throw std::runtime_error("no COM port broker (run under tests/wine/with-com-ports.sh)");
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(std::atoi(colon + 1)));
    inet_pton(AF_INET, std::string(broker, colon).c_str(), &address.sin_addr);
    return address;
}

}  // namespace

Pty::Pty() : FSocket(static_cast<std::uintptr_t>(INVALID_SOCKET)) {
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    if (!started) throw std::runtime_error("no sockets");
    const sockaddr_in address = BrokerAddress();
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET ||
        connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        if (s != INVALID_SOCKET) closesocket(s);
        throw std::runtime_error("cannot reach the COM port broker");
    }
    const BOOL one = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
    FSocket = static_cast<std::uintptr_t>(s);
    // The broker names the port first, on a line of its own.
    for (char c = 0; recv(s, &c, 1, 0) == 1 && c != '\n';) FPath += c;
    if (FPath.empty()) {
        CloseMaster();
        throw std::runtime_error("the COM port broker made no port");
    }
}

Pty::~Pty() {
    CloseMaster();
}

void Pty::Write(const std::string& data) const {
    std::size_t done = 0;
    while (done < data.size()) {
        const int n =
            send(Socket(FSocket), data.data() + done, static_cast<int>(data.size() - done), 0);
        if (n <= 0) throw std::runtime_error("far end write failed");
        done += static_cast<std::size_t>(n);
    }
}

std::string Pty::Read(std::size_t count, int timeoutMs) const {
    std::string out;
    const ULONGLONG until = GetTickCount64() + static_cast<ULONGLONG>(timeoutMs);
    while (out.size() < count) {
        const ULONGLONG now = GetTickCount64();
        if (now >= until) break;
        WSAPOLLFD fd{Socket(FSocket), POLLRDNORM, 0};
        if (WSAPoll(&fd, 1, static_cast<INT>(until - now)) <= 0) break;
        char buf[256];
        const int n = recv(Socket(FSocket), buf,
                           static_cast<int>(std::min(sizeof buf, count - out.size())), 0);
        if (n <= 0) break;
        out.append(buf, static_cast<std::size_t>(n));
    }
    return out;
}

void Pty::CloseMaster() {
    if (Socket(FSocket) != INVALID_SOCKET) closesocket(Socket(FSocket));
    FSocket = static_cast<std::uintptr_t>(INVALID_SOCKET);
}

}  // namespace corvane::testing
