#include "platform/network/tcp_listener.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace platform {

bool splitListenAddress(const std::string& text, std::string& host, std::string& port) {
    host = "127.0.0.1";
    port = text;
    if (!text.empty() && text[0] == '[') {
        const std::string::size_type close = text.find("]:");
        if (close == std::string::npos) return false;
        host = text.substr(1, close - 1);
        port = text.substr(close + 2);
    } else if (const std::string::size_type colon = text.rfind(':'); colon != std::string::npos) {
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
    }
    if (host.empty() || port.empty() || port.size() > 5) return false;
    for (char c : port) {
        if (c < '0' || c > '9') return false;
    }
    return std::stoul(port) <= 65535;
}

void setServerDescriptorFlags(int fd) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    fcntl(fd, F_SETFD, fcntl(fd, F_GETFD) | FD_CLOEXEC);
}

int listenAt(const sockaddr* address, socklen_t length) {
    const int fd = socket(address->sa_family, SOCK_STREAM, 0);
    if (fd < 0) return -1;
    setServerDescriptorFlags(fd);
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (bind(fd, address, length) != 0 || listen(fd, 4) != 0) {
        const int saved = errno;
        close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

int listenOn(const std::string& host, const std::string& port, sockaddr_storage& bound,
             socklen_t& length, std::string& url, std::string& error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (const int rc = getaddrinfo(host.c_str(), port.c_str(), &hints, &found); rc != 0) {
        error = gai_strerror(rc);
        return -1;
    }
    int fd = -1;
    for (addrinfo* a = found; a != nullptr && fd < 0; a = a->ai_next) {
        fd = listenAt(a->ai_addr, a->ai_addrlen);
        if (fd < 0) error = std::strerror(errno);
    }
    freeaddrinfo(found);
    if (fd < 0) return -1;

    length = sizeof bound;
    char name[NI_MAXHOST];
    char service[NI_MAXSERV];
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length) != 0 ||
        getnameinfo(reinterpret_cast<sockaddr*>(&bound), length, name, sizeof name, service,
                    sizeof service, NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
        error = std::strerror(errno);
        close(fd);
        return -1;
    }
    const bool v6 = bound.ss_family == AF_INET6;
    url = std::string("rfc2217://") + (v6 ? "[" : "") + name + (v6 ? "]" : "") + ":" + service;
    return fd;
}

void stampArrivals([[maybe_unused]] int fd) {
#if defined(SO_TIMESTAMPNS)
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
#endif
}

ssize_t receiveWithAge(int fd, std::uint8_t* buffer, std::size_t size, std::int64_t& ageNs) {
    iovec part{buffer, size};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    const ssize_t n = recvmsg(fd, &message, 0);
    ageNs = 0;
#if defined(SO_TIMESTAMPNS)
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); n > 0 && c != nullptr;
         c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_TIMESTAMPNS) continue;
        timespec stamp{};
        timespec wall{};
        std::memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
        clock_gettime(CLOCK_REALTIME, &wall);
        // The stamp is wall-clock time: its age is what counts.
        ageNs = (static_cast<std::int64_t>(wall.tv_sec) - stamp.tv_sec) * 1000000000 +
                (wall.tv_nsec - stamp.tv_nsec);
    }
#endif
    return n;
}

}  // namespace platform
