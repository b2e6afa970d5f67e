// The far ends of COM ports for Windows tests under Wine (built for Linux by
// the host's compiler):
//   corvane-pty-broker DOSDEVICES
// listens on 127.0.0.1, prints its port and serves each connection with a
// new pseudo-terminal mapped as a COM port of the Wine prefix (a link
// DOSDEVICES/comN -> /dev/pts/M). It first sends the port's name ("COM10")
// and a line feed, then passes bytes both ways between the connection and
// the terminal. When the connection closes, the terminal's controlling side
// closes too (the far end has gone) and the link is removed. SIGTERM ends
// the broker and removes every link it made.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace {

std::mutex gMutex;
// The links made, each with the connection that owns it now.
std::map<std::string, unsigned> gLinks;
volatile sig_atomic_t gStop = 0;

void OnTerm(int) {
    gStop = 1;
}

bool WriteAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// Maps the terminal as the first free COM port from COM10 on; a link left
// by a connection that has ended (its terminal is gone) is taken over.
std::string MapPort(const std::string& dosdevices, const char* terminal, unsigned owner) {
    std::lock_guard lock(gMutex);
    for (int n = 10; n < 256; ++n) {
        const std::string link = dosdevices + "/com" + std::to_string(n);
        if (symlink(terminal, link.c_str()) != 0) {
            if (errno != EEXIST) return "";
            char target[256] = {};
            struct stat st {};
            if (readlink(link.c_str(), target, sizeof target - 1) > 0 && stat(target, &st) == 0) {
                continue;  // in use
            }
            unlink(link.c_str());
            if (symlink(terminal, link.c_str()) != 0) continue;
        }
        gLinks[link] = owner;
        return link;
    }
    return "";
}

// Removes the link unless another connection has taken it over.
void Unmap(const std::string& link, unsigned owner) {
    std::lock_guard lock(gMutex);
    auto found = gLinks.find(link);
    if (found == gLinks.end() || found->second != owner) return;
    gLinks.erase(found);
    unlink(link.c_str());
}

void Serve(int client, std::string dosdevices, unsigned owner) {
    int master = -1, slave = -1;
    char terminal[128];
    termios raw{};
    cfmakeraw(&raw);
    // The terminal side stays open here as well, so that the controlling
    // side reads nothing but data while the port is closed.
    if (openpty(&master, &slave, terminal, &raw, nullptr) != 0) {
        close(client);
        return;
    }
    const std::string link = MapPort(dosdevices, terminal, owner);
    const std::string name = link.empty() ? "" : "COM" + link.substr(link.rfind("com") + 3) + "\n";
    if (!name.empty() && WriteAll(client, name.data(), name.size())) {
        char buffer[4096];
        for (;;) {
            pollfd fds[2] = {{client, POLLIN, 0}, {master, POLLIN, 0}};
            if (poll(fds, 2, -1) < 0) {
                if (errno == EINTR) continue;
                break;
            }
            if (fds[0].revents != 0) {
                const ssize_t n = read(client, buffer, sizeof buffer);
                if (n <= 0 || !WriteAll(master, buffer, static_cast<std::size_t>(n))) break;
            }
            if (fds[1].revents != 0) {
                const ssize_t n = read(master, buffer, sizeof buffer);
                if (n <= 0 || !WriteAll(client, buffer, static_cast<std::size_t>(n))) break;
            }
        }
    }
    close(master);
    close(client);
    if (!link.empty()) Unmap(link, owner);
    close(slave);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DOSDEVICES\n", argv[0]);
        return 2;
    }
    const std::string dosdevices = argv[1];
    struct sigaction term {};
    term.sa_handler = OnTerm;
    sigaction(SIGTERM, &term, nullptr);
    sigaction(SIGINT, &term, nullptr);
    signal(SIGPIPE, SIG_IGN);

    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        listen(listener, 16) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        std::perror("corvane-pty-broker");
        return 1;
    }
    std::printf("%u\n", ntohs(address.sin_port));
    std::fflush(stdout);

    unsigned connections = 0;
    while (gStop == 0) {
        const int client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) continue;  // EINTR from SIGTERM ends the loop
        const int one = 1;
        setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        std::thread(Serve, client, dosdevices, ++connections).detach();
    }
    std::lock_guard lock(gMutex);
    for (const auto& entry : gLinks) unlink(entry.first.c_str());
    return 0;
}
