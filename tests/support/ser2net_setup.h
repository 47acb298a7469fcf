// What the tests and the benchmark need to put ser2net in front of a served pseudo-terminal: a free
// loopback port, its configuration, and a way to tell when it listens. Header only, POSIX only.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

namespace ser2netsetup {

// The installed ser2net, "" when there is none.
inline std::string exe() {
    for (const char* path : {"/usr/sbin/ser2net", "/usr/bin/ser2net", "/usr/local/sbin/ser2net"}) {
        if (access(path, X_OK) == 0) return path;
    }
    return "";
}

// A TCP port on the loopback interface that nobody listens on now, or -1.
inline int freeLoopbackPort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = -1;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    close(fd);
    return port;
}

// Whether something listens on the loopback port, read from the kernel's socket table rather than
// by connecting (a probing connection would take the server's only client place for a moment).
inline bool listening(int port) {
    std::ifstream table("/proc/net/tcp");
    char wanted[32];
    std::snprintf(wanted, sizeof wanted, "0100007F:%04X 00000000:0000 0A", port);
    for (std::string line; std::getline(table, line);) {
        if (line.find(wanted) != std::string::npos) return true;
    }
    return false;
}

// A ser2net 4 configuration serving `device` (at 9600 Bd 8E1 until the client sets it) with RFC
// 2217 on the loopback `port`, tuned for a question-and-answer protocol as the README recommends:
// what the port receives goes to the network at once rather than after a pause of two
// characters (chardelay).
inline std::string config(const std::string& device, int port) {
    return "%YAML 1.1\n---\nconnection: &board\n  accepter: telnet(rfc2217),tcp,127.0.0.1," +
           std::to_string(port) + "\n  connector: serialdev," + device +
           ",9600e81,local\n  options:\n    chardelay: false\n";
}

}  // namespace ser2netsetup
