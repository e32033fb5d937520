#pragma once
// A loopback server for the tests of a connection attempt that hangs: it accepts connections
// and never answers them, until Close. Qt-free.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <thread>
#include <vector>

namespace kestrel::testsupport {

class SilentServer {
public:
    SilentServer() {
        m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(m_listener, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(m_listener, 8) != 0 ||
            ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            return;
        m_port = ntohs(address.sin_port);
        m_acceptor = std::thread([this] {
            for (;;) {
                const int fd = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
                if (fd < 0)
                    return;
                std::lock_guard lock(m_mutex);
                m_accepted.push_back(fd);
                m_changed.notify_all();
            }
        });
    }
    ~SilentServer() { Close(); }
    int Port() const { return m_port; }
    void WaitForConnections(std::size_t count) {
        std::unique_lock lock(m_mutex);
        m_changed.wait(lock, [&] { return m_accepted.size() >= count; });
    }
    std::size_t Connections() {
        std::lock_guard lock(m_mutex);
        return m_accepted.size();
    }
    // Hangs up on every client: their drivers return.
    void Close() {
        if (m_listener < 0)
            return;
        ::shutdown(m_listener, SHUT_RDWR);
        if (m_acceptor.joinable())
            m_acceptor.join();
        ::close(m_listener);
        m_listener = -1;
        for (const int fd : m_accepted)
            ::close(fd);
        m_accepted.clear();
    }

private:
    int m_listener = -1;
    int m_port = 0;
    std::thread m_acceptor;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<int> m_accepted;
};

} // namespace kestrel::testsupport
