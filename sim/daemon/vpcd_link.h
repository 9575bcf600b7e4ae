// The card's end of a vpcd connection: a TCP client to the reader driver inside pcscd. Every
// message both ways is a 2-byte big-endian length and a body. Waits end early when SIGINT or
// SIGTERM arrives (see StopSignals).
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace helixd {

using Bytes = std::vector<uint8_t>;

// SIGINT and SIGTERM are held back except inside this program's waits, so that a stop request
// cannot slip in between checking for it and starting to wait.
void StopSignals();
bool StopRequested();
// Sleeps for `duration` or until a stop request; false when stopped.
bool Pause(std::chrono::milliseconds duration);

struct Address {
    sockaddr_storage storage{};
    socklen_t length = 0;
};

// The addresses of `host`:`port`; throws std::invalid_argument when the name does not resolve or
// any of its addresses is not a loopback address (the card must not be reachable from elsewhere).
std::vector<Address> LoopbackAddresses(const std::string& host, uint16_t port);

class VpcdLink final {
public:
    enum class Received { Frame, Closed, Stopped };

    // The first address that accepts the connection; nullopt when none does.
    static std::optional<VpcdLink> Open(const std::vector<Address>& addresses);

    VpcdLink(VpcdLink&& other) noexcept;
    VpcdLink& operator=(VpcdLink&&) = delete;
    VpcdLink(const VpcdLink&) = delete;
    VpcdLink& operator=(const VpcdLink&) = delete;
    ~VpcdLink();

    Received Receive(Bytes& body);
    // False when the peer is gone. Bodies longer than a frame can carry are refused.
    bool Send(const Bytes& body);

private:
    explicit VpcdLink(int fd) : m_fd(fd) {}
    Received ReadExactly(uint8_t* data, size_t length);

    int m_fd;
};

}  // namespace helixd
