#include "vpcd_link.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <ctime>
#include <memory>
#include <stdexcept>

namespace helixd {

namespace {

volatile std::sig_atomic_t g_stop = 0;
sigset_t g_waitMask;  // the mask inside waits: stop signals let through

void OnStop(int) {
    g_stop = 1;
}

// One wait of ppoll with the stop signals let through; false when a stop request ended it.
bool Wait(pollfd* fds, nfds_t count, const timespec* timeout) {
    if (g_stop != 0) return false;
    while (ppoll(fds, count, timeout, &g_waitMask) < 0) {
        if (errno != EINTR) return true;
        if (g_stop != 0) return false;
    }
    return g_stop == 0;
}

bool IsLoopback(const sockaddr* address) {
    if (address->sa_family == AF_INET) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(address);
        return (ntohl(v4->sin_addr.s_addr) >> 24) == 127;
    }
    if (address->sa_family == AF_INET6) {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(address);
        if (IN6_IS_ADDR_LOOPBACK(&v6->sin6_addr)) return true;
        return IN6_IS_ADDR_V4MAPPED(&v6->sin6_addr) && v6->sin6_addr.s6_addr[12] == 127;
    }
    return false;
}

struct AddrInfoFree {
    void operator()(addrinfo* list) const { freeaddrinfo(list); }
};

}  // namespace

void StopSignals() {
    struct sigaction action = {};
    action.sa_handler = OnStop;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    sigprocmask(SIG_BLOCK, &stops, &g_waitMask);
    sigdelset(&g_waitMask, SIGINT);
    sigdelset(&g_waitMask, SIGTERM);
}

bool StopRequested() {
    return g_stop != 0;
}

bool Pause(std::chrono::milliseconds duration) {
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(duration);
    const timespec timeout{static_cast<time_t>(seconds.count()),
                           static_cast<long>(std::chrono::nanoseconds(duration - seconds).count())};
    return Wait(nullptr, 0, &timeout);
}

std::vector<Address> LoopbackAddresses(const std::string& host, uint16_t port) {
    addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int rc = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (rc != 0) throw std::invalid_argument("cannot resolve \"" + host + "\": " + gai_strerror(rc));
    const std::unique_ptr<addrinfo, AddrInfoFree> list(found);

    std::vector<Address> addresses;
    for (const addrinfo* a = list.get(); a != nullptr; a = a->ai_next) {
        if (!IsLoopback(a->ai_addr))
            throw std::invalid_argument("\"" + host + "\" is not a loopback address");
        if (a->ai_addrlen > sizeof(sockaddr_storage)) continue;
        Address address;
        std::copy_n(reinterpret_cast<const uint8_t*>(a->ai_addr), a->ai_addrlen,
                    reinterpret_cast<uint8_t*>(&address.storage));
        address.length = a->ai_addrlen;
        addresses.push_back(address);
    }
    if (addresses.empty()) throw std::invalid_argument("\"" + host + "\" has no address");
    return addresses;
}

std::optional<VpcdLink> VpcdLink::Open(const std::vector<Address>& addresses) {
    for (const Address& address : addresses) {
        const int fd = socket(address.storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) continue;
        VpcdLink link(fd);
        if (connect(fd, reinterpret_cast<const sockaddr*>(&address.storage), address.length) != 0) continue;
        // Each answer goes out in one send: Nagle would only hold it back.
        const int on = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        return std::optional<VpcdLink>(std::move(link));
    }
    return std::nullopt;
}

VpcdLink::VpcdLink(VpcdLink&& other) noexcept : m_fd(other.m_fd) {
    other.m_fd = -1;
}

VpcdLink::~VpcdLink() {
    if (m_fd >= 0) close(m_fd);
}

VpcdLink::Received VpcdLink::Receive(Bytes& body) {
    uint8_t header[2];
    Received r = ReadExactly(header, sizeof header);
    if (r != Received::Frame) return r;
    body.assign(static_cast<size_t>(header[0]) << 8 | header[1], 0);
    return body.empty() ? Received::Frame : ReadExactly(body.data(), body.size());
}

bool VpcdLink::Send(const Bytes& body) {
    if (body.size() > 0xFFFF) return false;
    Bytes frame{static_cast<uint8_t>(body.size() >> 8), static_cast<uint8_t>(body.size())};
    frame.insert(frame.end(), body.begin(), body.end());
    size_t sent = 0;
    while (sent < frame.size()) {
        const ssize_t n = send(m_fd, frame.data() + sent, frame.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

VpcdLink::Received VpcdLink::ReadExactly(uint8_t* data, size_t length) {
    size_t got = 0;
    while (got < length) {
        // vpcd writes a frame's length and body in two sends; without a quick ACK each command
        // waits for the delayed-ACK timer. The kernel clears the flag again, so set it every time.
        const int on = 1;
        setsockopt(m_fd, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
        pollfd readable{m_fd, POLLIN, 0};
        if (!Wait(&readable, 1, nullptr)) return Received::Stopped;
        const ssize_t n = recv(m_fd, data + got, length - got, 0);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) return Received::Closed;
        got += static_cast<size_t>(n);
    }
    return Received::Frame;
}

}  // namespace helixd
