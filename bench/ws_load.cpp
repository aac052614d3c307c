// Load for the stream benchmark: many idle screens at the cost of a real
// one, without Qt: raw sockets on one epoll loop do the WebSocket
// handshake, then only read and count frames. Every frame's length and
// text are checked, and the events' ids must rise by one from each
// client's first event on, so "lost" and "out of order" are measured.
//
//   ws_load PORT TOKEN COUNT [QUERY]
// connects COUNT clients to ws://127.0.0.1:PORT/api/stream[?QUERY] and
// prints "connected N FAILED"; then for each line "wait N" on its input it
// answers "done LOST DISORDERED BAD" once every client has N calls
// (ReceiveCall events) since it connected or since the last answer, or
// after 300 s without progress.
// LOST counts calls missing at that moment plus gaps in the ids,
// DISORDERED the clients that saw an id again or going back, BAD the
// malformed frames. It ends when its input does.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int maxHandshakesInFlight = 64;
constexpr int stdinTag = -1;

struct Client
{
    int fd = -1;
    enum class State { Connecting, Handshake, Open, Dead } state = State::Connecting;
    std::string input;
    long long calls = 0;
    long long lastId = -1;
    long long gaps = 0;
    bool disordered = false;
    bool opened = false;
};

struct Totals
{
    int connected = 0;
    int failed = 0;
    long long badFrames = 0;
};

std::string base64(const unsigned char *data, size_t size)
{
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < size; i += 3) {
        const unsigned v = unsigned(data[i]) << 16 | (i + 1 < size ? unsigned(data[i + 1]) << 8 : 0)
            | (i + 2 < size ? unsigned(data[i + 2]) : 0);
        out += alphabet[(v >> 18) & 63];
        out += alphabet[(v >> 12) & 63];
        out += i + 1 < size ? alphabet[(v >> 6) & 63] : '=';
        out += i + 2 < size ? alphabet[v & 63] : '=';
    }
    return out;
}

// The id of an event's JSON: the first "id": (nested objects carry none).
long long idIn(const char *text, size_t size)
{
    static const char key[] = "\"id\":";
    const char *at = static_cast<const char *>(memmem(text, size, key, sizeof key - 1));
    if (!at)
        return -1;
    long long id = 0;
    const char *p = at + sizeof key - 1;
    const char *end = text + size;
    if (p == end || *p < '0' || *p > '9')
        return -1;
    for (; p < end && *p >= '0' && *p <= '9'; ++p)
        id = id * 10 + (*p - '0');
    return id;
}

class Load
{
public:
    Load(uint16_t port, std::string token, int count, std::string query)
        : m_port(port)
        , m_token(std::move(token))
        , m_query(std::move(query))
        , m_clients(size_t(count))
    {
        m_epoll = epoll_create1(EPOLL_CLOEXEC);
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u64 = uint64_t(int64_t(stdinTag));
        epoll_ctl(m_epoll, EPOLL_CTL_ADD, 0, &event);
    }

    int run()
    {
        const auto connectDeadline = Clock::now() + std::chrono::seconds(120);
        while (m_totals.connected + m_totals.failed < int(m_clients.size()) && Clock::now() < connectDeadline) {
            while (m_started < m_clients.size() && m_inFlight < maxHandshakesInFlight)
                start(m_clients[m_started++]);
            poll(100);
        }
        std::printf("connected %d %d\n", m_totals.connected, int(m_clients.size()) - m_totals.connected);
        std::fflush(stdout);
        auto lastProgress = Clock::now();
        long long lastCalls = 0;
        while (!m_inputEnded) {
            poll(100);
            if (m_waitFor < 0)
                continue;
            long long total = 0;
            bool all = true;
            for (const Client &client : m_clients) {
                total += client.calls;
                all = all && (client.state != Client::State::Open || client.calls >= m_waitFor);
            }
            if (total != lastCalls) {
                lastCalls = total;
                lastProgress = Clock::now();
            }
            if (all || Clock::now() - lastProgress > std::chrono::seconds(300))
                report();
        }
        return 0;
    }

private:
    void start(Client &client)
    {
        client.fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(m_port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (client.fd < 0
            || (connect(client.fd, reinterpret_cast<sockaddr *>(&address), sizeof address) < 0 && errno != EINPROGRESS)) {
            fail(client);
            return;
        }
        ++m_inFlight;
        epoll_event event{};
        event.events = EPOLLOUT | EPOLLIN;
        event.data.u64 = uint64_t(&client - m_clients.data());
        epoll_ctl(m_epoll, EPOLL_CTL_ADD, client.fd, &event);
    }

    void fail(Client &client)
    {
        if (client.state == Client::State::Connecting || client.state == Client::State::Handshake) {
            --m_inFlight;
            ++m_totals.failed;
        }
        if (client.fd >= 0)
            close(client.fd);
        client.fd = -1;
        client.state = Client::State::Dead;
    }

    void poll(int timeoutMs)
    {
        // Once all are connected, read in rounds at most every 2 ms: the
        // frames wait in the kernel meanwhile, and this process does not
        // wake (and preempt tavrod) for every frame tavrod sends.
        if (m_busy && m_totals.connected + m_totals.failed == int(m_clients.size()))
            usleep(2000);
        epoll_event events[1024];
        const int n = epoll_wait(m_epoll, events, 1024, timeoutMs);
        m_busy = n > 0;
        for (int i = 0; i < n; ++i) {
            if (int64_t(events[i].data.u64) == stdinTag) {
                readCommands();
                continue;
            }
            Client &client = m_clients[events[i].data.u64];
            if (client.state == Client::State::Connecting && (events[i].events & (EPOLLOUT | EPOLLERR)))
                sendHandshake(client);
            if (client.state != Client::State::Dead && (events[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR)))
                readFrom(client);
        }
    }

    void sendHandshake(Client &client)
    {
        int error = 0;
        socklen_t length = sizeof error;
        getsockopt(client.fd, SOL_SOCKET, SO_ERROR, &error, &length);
        if (error != 0) {
            fail(client);
            return;
        }
        unsigned char nonce[16];
        for (unsigned char &byte : nonce)
            byte = static_cast<unsigned char>(m_random());
        const std::string request = "GET /api/stream" + (m_query.empty() ? std::string() : "?" + m_query)
            + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(m_port)
            + "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Version: 13\r\nSec-WebSocket-Key: "
            + base64(nonce, sizeof nonce) + "\r\nAuthorization: Bearer " + m_token + "\r\n\r\n";
        // A fresh socket's send buffer takes a few hundred bytes whole.
        if (send(client.fd, request.data(), request.size(), MSG_NOSIGNAL) != ssize_t(request.size())) {
            fail(client);
            return;
        }
        client.state = Client::State::Handshake;
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u64 = uint64_t(&client - m_clients.data());
        epoll_ctl(m_epoll, EPOLL_CTL_MOD, client.fd, &event);
    }

    void readFrom(Client &client)
    {
        static char chunk[64 * 1024];
        for (;;) {
            const ssize_t n = read(client.fd, chunk, sizeof chunk);
            if (n > 0) {
                client.input.append(chunk, size_t(n));
                if (size_t(n) < sizeof chunk)
                    break;
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EINTR))
                break;
            fail(client); // closed by tavrod, or an error
            return;
        }
        if (client.state == Client::State::Handshake) {
            const size_t end = client.input.find("\r\n\r\n");
            if (end == std::string::npos)
                return;
            if (client.input.compare(0, 13, "HTTP/1.1 101 ") != 0) {
                fail(client);
                return;
            }
            client.input.erase(0, end + 4);
            client.state = Client::State::Open;
            client.opened = true;
            --m_inFlight;
            ++m_totals.connected;
        }
        readFrames(client);
    }

    void readFrames(Client &client)
    {
        size_t at = 0;
        const std::string &in = client.input;
        while (in.size() - at >= 2) {
            const auto *bytes = reinterpret_cast<const unsigned char *>(in.data() + at);
            uint64_t length = bytes[1] & 0x7F;
            size_t header = 2;
            if (length >= 126) {
                header += length == 126 ? 2 : 8;
                if (in.size() - at < header)
                    break;
                length = 0;
                for (size_t i = 2; i < header; ++i)
                    length = length << 8 | bytes[i];
            }
            if ((bytes[1] & 0x80) || (bytes[0] & 0x70)) {
                ++m_totals.badFrames; // a server's frames are never masked, no reserved bits
                fail(client);
                return;
            }
            if (in.size() - at < header + length)
                break;
            const char *payload = in.data() + at + header;
            const unsigned opcode = bytes[0] & 0x0F;
            if (opcode == 0x8) {
                fail(client);
                return;
            }
            if (opcode == 0x1)
                count(client, payload, size_t(length));
            at += header + size_t(length);
        }
        client.input.erase(0, at);
    }

    void count(Client &client, const char *payload, size_t size)
    {
        // A whole JSON object: the frame's length was right.
        if (size < 2 || payload[0] != '{' || payload[size - 1] != '}') {
            ++m_totals.badFrames;
            return;
        }
        const long long id = idIn(payload, size);
        if (id > 0) {
            if (client.lastId >= 0 && id <= client.lastId)
                client.disordered = true;
            else if (client.lastId >= 0 && id > client.lastId + 1)
                client.gaps += id - client.lastId - 1;
            client.lastId = std::max(client.lastId, id);
        }
        static const char call[] = "\"event\":\"ReceiveCall\"";
        if (memmem(payload, size, call, sizeof call - 1))
            ++client.calls;
    }

    void readCommands()
    {
        char buffer[256];
        const ssize_t n = read(0, buffer, sizeof buffer);
        if (n <= 0) {
            m_inputEnded = true;
            return;
        }
        m_commands.append(buffer, size_t(n));
        size_t end;
        while ((end = m_commands.find('\n')) != std::string::npos) {
            const std::string line = m_commands.substr(0, end);
            m_commands.erase(0, end + 1);
            if (line.rfind("wait ", 0) == 0)
                m_waitFor = std::atoll(line.c_str() + 5);
        }
    }

    void report()
    {
        long long lost = 0;
        int disordered = 0;
        for (Client &client : m_clients) {
            if (!client.opened)
                continue; // counted as failed
            lost += std::max(0LL, m_waitFor - client.calls) + client.gaps;
            disordered += client.disordered ? 1 : 0;
            client.calls = 0;
            client.gaps = 0;
            client.disordered = false;
        }
        std::printf("done %lld %d %lld\n", lost, disordered, m_totals.badFrames);
        std::fflush(stdout);
        m_waitFor = -1;
    }

    uint16_t m_port;
    std::string m_token;
    std::string m_query;
    std::vector<Client> m_clients;
    int m_epoll = -1;
    size_t m_started = 0;
    int m_inFlight = 0;
    Totals m_totals;
    std::string m_commands;
    long long m_waitFor = -1;
    bool m_inputEnded = false;
    bool m_busy = false;
    std::minstd_rand m_random{std::random_device{}()};
};

} // namespace

int main(int argc, char *argv[])
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: ws_load PORT TOKEN COUNT [QUERY]\n");
        return 2;
    }
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
    Load load(uint16_t(std::atoi(argv[1])), argv[2], std::max(0, std::atoi(argv[3])), argc > 4 ? argv[4] : "");
    return load.run();
}
