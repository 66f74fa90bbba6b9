// The listener under load on the simulated bus: a million messages of every length, and storms
// of stop signals with a fast and with a stalling reader of standard output. Standard output is
// a FIFO read here as it flows, so that nothing of it has to be held at once.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "listener_process.h"

namespace
{

constexpr int PAYLOAD_MAX = 4096;
constexpr int SILENCE_LIMIT_MS = 30000;

struct message {
    uint32_t identifier;
    uint32_t pgn; // as delivered: a PDU1 PGN without its destination byte
    uint8_t source;
    int32_t length;
};

struct rng {
    uint64_t state;
};

uint64_t next_random(rng &r)
{
    uint64_t z = (r.state += 0x9E3779B97F4A7C15u);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
    return z ^ (z >> 31);
}

// Half the traffic goes to the described PGNs, half to any 18-bit PGN, PDU1 or PDU2.
constexpr uint32_t DESCRIBED_PGNS[] = {127488, 130306, 59904, 65280};

constexpr char DESCRIPTIONS[] = "# PGNs of the load runs\n"
                                "[PGN_127488]\n"
                                "name = Engine Parameters, Rapid Update\n"
                                "field_1 = instance, u, 0, 8, 1, 0,\n"
                                "field_2 = speed, u, 1, 16, 0.25, 0, rpm\n"
                                "field_3 = tilt, s, 5, 8, 1, 0, deg\n"
                                "[PGN_130306]\n"
                                "name = Wind Data\n"
                                "field_1 = speed, u, 1, 16, 0.01, 0, m/s\n"
                                "field_2 = far, s, 3000, 32, 0.5, -40, x\n"
                                "[PGN_59904]\n"
                                "name = ISO Request\n"
                                "field_1 = pgn, u, 0, 24, 1, 0,\n"
                                "[PGN_65280]\n"
                                "name = Proprietary\n";

// Signed or unsigned, whole bytes, scaled: the described fields above.
struct expected_field {
    const char *name;
    bool is_signed;
    int start;
    int bits;
    double scale;
    double offset;
};

struct expected_entry {
    uint32_t pgn;
    const char *description;
    std::vector<expected_field> fields;
};

const std::vector<expected_entry> &expected_entries()
{
    static const std::vector<expected_entry> entries = {
        {127488,
         "Engine Parameters, Rapid Update",
         {{"instance", false, 0, 8, 1, 0},
          {"speed", false, 1, 16, 0.25, 0},
          {"tilt", true, 5, 8, 1, 0}}},
        {130306,
         "Wind Data",
         {{"speed", false, 1, 16, 0.01, 0}, {"far", true, 3000, 32, 0.5, -40}}},
        {59904, "ISO Request", {{"pgn", false, 0, 24, 1, 0}}},
        {65280, "Proprietary", {}},
    };
    return entries;
}

std::vector<message> make_traffic(int count, uint64_t seed)
{
    rng r{seed};
    std::vector<message> traffic;
    traffic.reserve(static_cast<std::size_t>(count));

    for (int i = 0; i < count; i++) {
        uint64_t bits = next_random(r);
        uint32_t pgn18;
        if (bits & 1)
            pgn18 = DESCRIBED_PGNS[bits >> 1 & 3];
        else
            pgn18 = static_cast<uint32_t>(bits >> 8) & 0x3FFFF;
        bool pdu1 = (pgn18 >> 8 & 0xFF) < 240;
        if (pdu1 && (bits & 1))
            pgn18 |= static_cast<uint32_t>(bits >> 40) & 0xFF; // a destination
        uint8_t source = static_cast<uint8_t>(bits >> 48);
        uint32_t priority = static_cast<uint32_t>(bits >> 56) & 7;

        message m;
        m.identifier = priority << 26 | pgn18 << 8 | source;
        m.pgn = pdu1 ? pgn18 & ~0xFFu : pgn18;
        m.source = source;
        m.length = static_cast<int32_t>(next_random(r) % (PAYLOAD_MAX + 1));
        traffic.push_back(m);
    }
    return traffic;
}

// Generated payloads: byte i is i % 256.
void write_feed(const std::string &path, const std::vector<message> &traffic, const char *ending)
{
    FILE *file = std::fopen(path.c_str(), "w");
    ASSERT_NE(file, nullptr) << path;
    for (const message &m : traffic)
        std::fprintf(file, "(0.000000) can0 %08X#@%d\n", m.identifier, m.length);
    std::fputs(ending, file);
    ASSERT_EQ(std::fclose(file), 0);
}

std::vector<unsigned char> payload_of(const message &m)
{
    std::vector<unsigned char> payload(static_cast<std::size_t>(m.length));
    for (std::size_t i = 0; i < payload.size(); i++)
        payload[i] = static_cast<unsigned char>(i % 256);
    return payload;
}

std::string field_value(const expected_field &f)
{
    uint64_t raw = 0;
    for (int byte = 0; byte < f.bits / 8; byte++)
        raw |= uint64_t{static_cast<unsigned>((f.start + byte) % 256)} << (8 * byte);
    double value = static_cast<double>(raw);
    if (f.is_signed && (raw >> (f.bits - 1) & 1))
        value = static_cast<double>(static_cast<int64_t>(raw) - (int64_t{1} << f.bits));

    char text[64];
    std::snprintf(text, sizeof text, "%.4f", value * f.scale + f.offset);
    return text;
}

std::string json_object(const message &m)
{
    const expected_entry *entry = nullptr;
    for (const expected_entry &e : expected_entries())
        if (e.pgn == m.pgn)
            entry = &e;

    char head[160];
    std::string text;
    std::snprintf(head, sizeof head, "{\n  \"pgn\": %u,\n", m.pgn);
    text += head;
    if (entry != nullptr)
        text += std::string("  \"description\": \"") + entry->description + "\",\n";
    std::snprintf(head, sizeof head, "  \"sourceAddress\": %u,\n  \"payloadLength\": %d,\n",
                  m.source, m.length);
    text += head;
    text += "  \"fields\": {\n";
    if (entry != nullptr) {
        const char *separator = "";
        for (const expected_field &f : entry->fields) {
            if (f.start * 8 + f.bits > m.length * 8)
                continue;
            text += separator;
            separator = ",\n";
            text += std::string("    \"") + f.name + "\": " + field_value(f);
        }
    }
    text += "\n  }\n}\n";
    return text;
}

uint64_t fnv1a(uint64_t hash, const char *bytes, std::size_t size)
{
    for (std::size_t i = 0; i < size; i++) {
        hash ^= static_cast<unsigned char>(bytes[i]);
        hash *= 0x100000001B3u;
    }
    return hash;
}
constexpr uint64_t FNV_START = 0xCBF29CE484222325u;

// A kilobyte figure from /proc/<pid>/status, or -1 once the process is gone.
long status_kb(pid_t pid, const char *key)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, std::strlen(key), key) == 0)
            return std::atol(line.c_str() + std::strlen(key) + 1);
    }
    return -1;
}

struct temp_dir {
    std::string path;
};

temp_dir make_temp_dir()
{
    char name[] = "/tmp/n2k-load-XXXXXX";
    if (mkdtemp(name) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    return {name};
}

void remove_temp_dir(const temp_dir &dir, const std::vector<std::string> &names)
{
    for (const std::string &name : names)
        std::remove((dir.path + "/" + name).c_str());
    rmdir(dir.path.c_str());
}

// Reads the FIFO until the listener closes it, handing each chunk on; false when it went
// silent for too long (the caller then kills it).
bool read_output(int fd, const std::function<void(const char *, std::size_t)> &take)
{
    std::vector<char> chunk(1 << 16);
    for (;;) {
        pollfd ready{fd, POLLIN, 0};
        int polled = poll(&ready, 1, SILENCE_LIMIT_MS);
        if (polled < 0 && errno == EINTR)
            continue;
        if (polled <= 0)
            return false;
        ssize_t n = read(fd, chunk.data(), chunk.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n == 0;
        take(chunk.data(), static_cast<std::size_t>(n));
    }
}

int successful_receives(const std::string &log)
{
    int count = 0;
    for (const std::string &line : log_lines(log, "recvfrom "))
        if (line.find("-> -1") == std::string::npos)
            count++;
    return count;
}

} // namespace

// Every message printed whole and in order, compared as it arrives with the object written
// here from the feed, while the listener's memory stays where it was once traffic flowed.
TEST(Load, MillionMessagesInJsonMode)
{
    constexpr int COUNT = 1000000;
    constexpr int WARM = 10000; // messages before memory counts as settled
    const std::vector<message> traffic = make_traffic(COUNT, 20240611);

    temp_dir dir = make_temp_dir();
    const std::string feed = dir.path + "/feed.log";
    const std::string descriptions = dir.path + "/n2k-devices.conf";
    const std::string fifo = dir.path + "/stdout";
    write_feed(feed, traffic, "!end\n");
    {
        std::ofstream out(descriptions);
        out << DESCRIPTIONS;
    }
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);

    // The expected stream, made piece by piece as far as the output has come.
    std::string expected = BANNER_CAN0;
    std::size_t expected_at = 0;
    std::size_t next_message = 0;
    bool closed = false;
    uint64_t out_hash = FNV_START, expected_hash = FNV_START;
    std::size_t out_bytes = 0;
    std::string mismatch;
    auto extend = [&] {
        if (next_message < traffic.size())
            expected += json_object(traffic[next_message++]);
        else if (!closed) {
            expected += CLOSING;
            closed = true;
        } else {
            return false;
        }
        return true;
    };

    std::atomic<bool> sampling{true};
    std::atomic<std::size_t> verified_messages{0};
    long settled_rss = -1, peak_rss = 0, settled_hwm = -1, last_hwm = 0, first_rss = -1;
    double seconds = 0;

    run_options options;
    options.args = {"can0", "-j", "-c", descriptions};
    options.env = {"N2K_SIM_FEED=" + feed};
    options.stdout_path = fifo.c_str();
    options.timeout_seconds = 30;
    options.while_running = [&](pid_t pid, const std::string &) {
        std::thread sampler([&] {
            while (sampling) {
                long rss = status_kb(pid, "VmRSS:");
                long hwm = status_kb(pid, "VmHWM:");
                if (rss < 0)
                    break;
                if (first_rss < 0)
                    first_rss = rss;
                if (verified_messages >= WARM) {
                    if (settled_rss < 0) {
                        settled_rss = rss;
                        settled_hwm = hwm;
                    }
                    peak_rss = std::max(peak_rss, rss);
                    last_hwm = hwm;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        });

        int fd = open(fifo.c_str(), O_RDONLY);
        auto start = std::chrono::steady_clock::now();
        bool ended = fd >= 0 && read_output(fd, [&](const char *bytes, std::size_t size) {
                         out_hash = fnv1a(out_hash, bytes, size);
                         out_bytes += size;
                         if (!mismatch.empty())
                             return;
                         while (expected.size() - expected_at < size && extend()) {
                         }
                         std::size_t n = std::min(size, expected.size() - expected_at);
                         if (n < size || expected.compare(expected_at, n, bytes, n) != 0) {
                             mismatch = "output differs at byte " +
                                        std::to_string(out_bytes - size) + ", near message " +
                                        std::to_string(next_message) + ": got\n" +
                                        std::string(bytes, std::min<std::size_t>(size, 400)) +
                                        "\nexpected\n" + expected.substr(expected_at, 400);
                             return;
                         }
                         expected_hash = fnv1a(expected_hash, expected.data() + expected_at, n);
                         expected_at += n;
                         verified_messages = next_message;
                         if (expected_at > (1u << 20)) {
                             expected.erase(0, expected_at);
                             expected_at = 0;
                         }
                     });
        seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (fd >= 0)
            close(fd);
        if (!ended)
            kill(pid, SIGKILL);
        sampling = false;
        sampler.join();
        ASSERT_TRUE(ended) << "standard output went silent for " << SILENCE_LIMIT_MS << " ms";
    };
    run_result r = run_listener(options);
    remove_temp_dir(dir, {"feed.log", "n2k-devices.conf", "stdout"});

    ASSERT_EQ(mismatch, "");
    while (extend()) {
    }
    EXPECT_EQ(expected_at, expected.size())
        << "the output stopped short, near message " << verified_messages;
    EXPECT_EQ(out_hash, expected_hash);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(successful_receives(r.log), COUNT);

    // The listener allocates nothing; stdio's buffer and the bus's records are in place before
    // the first messages. The high-water mark of the start, when the bus read its feed, must
    // not rise either.
    EXPECT_GE(settled_rss, 0);
    EXPECT_LE(peak_rss - settled_rss, 256) << "VmRSS grew from " << settled_rss << " kB";
    EXPECT_LE(last_hwm - settled_hwm, 256) << "VmHWM rose from " << settled_hwm << " kB";

    std::printf("load: %d messages, %zu bytes of output in %.2f s (%.0f messages/s), "
                "checksum %016llx; VmRSS %ld kB at start, %ld kB settled, %ld kB peak, "
                "VmHWM %ld kB settled, %ld kB at the end\n",
                COUNT, out_bytes, seconds, COUNT / seconds,
                static_cast<unsigned long long>(out_hash), first_rss, settled_rss, peak_rss,
                settled_hwm, last_hwm);
}

// 10,000 SIGINT and SIGTERM, alternating, once traffic flows: the run ends in order, with every
// message it received printed whole, the closing line last and status 0.
TEST(Load, SignalStorms)
{
    constexpr int COUNT = 200000;
    constexpr int SIGNALS = 10000;
    const std::vector<message> traffic = make_traffic(COUNT, 77);

    temp_dir dir = make_temp_dir();
    const std::string feed = dir.path + "/feed.log";
    write_feed(feed, traffic, "!wait\n");

    struct storm_case {
        const char *name;
        bool stalling; // the reader stops until the storm is over, then reads slowly
    };
    const storm_case cases[] = {{"fast reader", false}, {"stalling reader", true}};

    for (const storm_case &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string fifo = dir.path + "/stdout";
        ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);

        std::string out;
        int sent = 0;
        bool blocked_in_write = false;
        run_options options;
        options.args = {"can0"};
        options.env = {"N2K_SIM_FEED=" + feed};
        options.stdout_path = fifo.c_str();
        options.while_running = [&](pid_t pid, const std::string &) {
            int fd = open(fifo.c_str(), O_RDONLY);
            ASSERT_GE(fd, 0);

            // Traffic flows once a few messages are out.
            char chunk[1 << 16];
            while (out.size() < (1u << 16)) {
                ssize_t n = read(fd, chunk, sizeof chunk);
                ASSERT_GT(n, 0);
                out.append(chunk, static_cast<std::size_t>(n));
            }
            if (c.stalling)
                blocked_in_write = wait_for_syscall(pid, {1, 20}, 5000);

            std::thread storm([&] {
                for (int i = 0; i < SIGNALS; i++) {
                    if (kill(pid, i % 2 == 0 ? SIGINT : SIGTERM) == 0)
                        sent++;
                }
            });
            if (c.stalling) {
                storm.join();
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
            bool ended = read_output(fd, [&](const char *bytes, std::size_t size) {
                out.append(bytes, size);
                if (c.stalling)
                    std::this_thread::sleep_for(std::chrono::microseconds(200));
            });
            if (!c.stalling)
                storm.join();
            close(fd);
            if (!ended)
                kill(pid, SIGKILL);
            ASSERT_TRUE(ended);
        };
        run_result r = run_listener(options);
        std::remove(fifo.c_str());

        EXPECT_EQ(sent, SIGNALS);
        if (c.stalling) {
            EXPECT_TRUE(blocked_in_write) << "the listener never waited on its reader";
        }
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.exit_status, 0);
        EXPECT_EQ(r.term_signal, 0);

        // The banner, one whole line per message received, in order, and the closing line.
        int received = successful_receives(r.log);
        ASSERT_GT(received, 0);
        ASSERT_LE(received, COUNT);
        std::string expected = BANNER_CAN0;
        for (int i = 0; i < received; i++) {
            const message &m = traffic[static_cast<std::size_t>(i)];
            expected += raw_line(m.pgn, m.source, payload_of(m));
        }
        expected += CLOSING;
        EXPECT_EQ(out.size(), expected.size()) << received << " messages received";
        EXPECT_TRUE(out == expected)
            << "the output is not the " << received << " messages received, whole and in order";
        std::printf("storm (%s): %d signals sent, %d messages received and printed, "
                    "%zu bytes\n",
                    c.name, sent, received, out.size());
    }
    remove_temp_dir(dir, {"feed.log"});
}
