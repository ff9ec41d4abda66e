// The master's reply checks through a gateway link: RTU over TCP when bit 6
// of the first byte is set, else Modbus TCP. The first byte chooses the
// transaction; a loopback peer answers the request with the rest and closes.
#include <netinet/in.h>
#include <sys/socket.h>

#include "fuzz.h"
#include "link/tcp_link.h"

using namespace tarvo;

namespace {

// Writes the answer once the request is out, so the link's drain before
// sending does not take it.
class Peer : public Transport {
public:
    Peer(TcpLink& link, int fd, std::span<const std::uint8_t> answer)
        : m_link(link), m_fd(fd), m_answer(answer) {}
    void drain() override { m_link.drain(); }
    std::size_t write(std::span<const std::uint8_t> bytes) override {
        const std::size_t n = m_link.write(bytes);
        if (m_fd >= 0) {
            (void)::send(m_fd, m_answer.data(), m_answer.size(), MSG_NOSIGNAL);
            ::shutdown(m_fd, SHUT_WR);
        }
        return n;
    }
    ReadResult read(std::span<std::uint8_t> buffer, std::size_t& received) override {
        return m_link.read(buffer, received);
    }

private:
    TcpLink& m_link;
    int m_fd;
    std::span<const std::uint8_t> m_answer;
};

int listener(int& port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    FUZZ_CHECK(::bind(fd, reinterpret_cast<sockaddr*>(&a), length) == 0 && ::listen(fd, 4) == 0 &&
               ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length) == 0);
    port = ntohs(a.sin_port);
    return fd;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static int port = 0;
    static const int listening = listener(port);
    if (size == 0)
        return 0;
    const int timeout = 500;
    TcpLink link(&timeout);
    const std::string scheme = (data[0] & 0x40) ? "rtu+tcp://" : "modbus+tcp://";
    FUZZ_CHECK(link.open(scheme + "127.0.0.1:" + std::to_string(port), 0, 0));
    const int fd = ::accept(listening, nullptr, nullptr);
    FUZZ_CHECK(fd >= 0);
    // Closed with a reset, so no connection waits out TIME_WAIT on a port
    // the next runs want.
    const linger reset{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    Peer peer(link, fd, {data + 1, size - 1});
    fuzz::transact(peer, data[0]);
    ::close(fd);
    return 0;
}
