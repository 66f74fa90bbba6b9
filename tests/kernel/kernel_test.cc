// The listener on a real Linux kernel: Debian's stock kernel boots under qemu with its own CAN,
// J1939 and vcan modules, the unchanged program listens on vcan0 while can-utils put traffic on
// the bus, and every case's standard output, standard error and exit status come back out of the
// VM to be compared here, byte for byte, with what they should be.
//
// usage: kernel_j1939_test <program> <cache folder> <work folder> [gtest options]

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "test_files.h"

namespace
{

std::string program_path;
std::string cache_path;
std::string work_path;

// What happened to one case inside the VM.
struct case_result {
    std::string out;
    std::string err;
    std::string log; // the traffic tools' own output, for the failure report
    int status = -1;
};

struct vm_run {
    bool skipped = false; // a package could not be fetched, off CI: boot_vm.sh said why
    std::string failure;  // empty when the VM ran every case and powered off
    std::string console;  // with its escape codes and carriage returns removed
    std::map<std::string, case_result> results;
};

struct kernel_case {
    const char *name;
    const char *args;    // the listener's arguments
    const char *traffic; // shell commands run in the VM once the listener waits in its receive
    const char *stop;    // signal sent afterwards: INT, TERM, or none
    std::string out;
    std::string err;
    int status;
    // Standard output through a pipe to this reader of vm_init.sh instead of into a file, and
    // the listener run as this user.
    const char *reader = nullptr;
    const char *user = "root";
    // A sysctl setting, name=value, in force while the case runs.
    const char *sysctl = nullptr;
    // Where the listener cannot keep up, out is the line of each message printed, and the
    // rest of the messages sent must be told lost on standard error.
    int sent = 0;
};

const char *BANNER = "Listening for NMEA 2000 messages on vcan0...\n";
const char *CLOSING = "\nExiting.\n";

// One of each kind of frame, in an order that shows nothing is reordered or lost around the
// 11-bit frame: a PDU2 broadcast, a PDU1 to the global address, a PDU1 to node 0x23 (not the
// listener's business unless it is promiscuous), an 11-bit frame, a message of no bytes, and a
// 100-byte broadcast transfer, which the kernel paces at 50 ms a frame.
const char *BUS_TRAFFIC = "cansend vcan0 09F20010#00AB12FF7F0A0BCD\n"
                          "cansend vcan0 18EAFF22#00EE00\n"
                          "cansend vcan0 18EA2345#14F001\n"
                          "cansend vcan0 123#DEADBEEF\n"
                          "cansend vcan0 18EAFF45#\n"
                          "timeout 10 j1939cat -B -i /data/bam.bin vcan0:0x80 :,0x0FF00\n"
                          "sleep 2\n";

const char *JSON_TRAFFIC = "cansend vcan0 09F11223#FF5C3D9CFF7FFFFC\n"
                           "cansend vcan0 09F20010#00AB12FF7F0A0BCD\n";

const char *DESCRIPTIONS = "[PGN_127250]\n"
                           "name = Vessel Heading\n"
                           "field_1 = heading, u, 1, 16, 0.0001, 0, rad\n"
                           "field_2 = deviation, s, 3, 16, 0.0001, 0, rad\n"
                           "[PGN_129029]\n"
                           "name = Position\n"
                           "fast_packet = yes\n"
                           "field_1 = sid, u, 0, 8, 1, 0\n"
                           "field_2 = method, u, 3.4, 4, 1, 0, code\n"
                           "field_3 = tail, u, 9, 8, 1, 0\n";

// The kernel hands fast-packet frames over one by one: a message of 10 bytes in two frames from
// 0x23, with one of 5 bytes in one frame from 0x24 between them.
const char *FAST_PACKET_TRAFFIC = "cansend vcan0 0DF80523#400A073412A5C002\n"
                                  "cansend vcan0 0DF80524#600501020304C5FF\n"
                                  "cansend vcan0 0DF80523#41FFFFFF2AFFFFFF\n";

// A transfer of 5000 bytes between two j1939cat, the second bound to address 0x90: the kernel
// reassembles it because both ends are its own sockets, and hands it whole to the promiscuous
// listener too. j1939cat 2020.11 exits 1 with "truncated" even after a good transfer, so the
// peer's copy is compared instead; the result lands in the log shown on failure.
const char *EXTENDED_TRAFFIC = "timeout 20 j1939cat -r vcan0:0x90 >/tmp/peer.out &\n"
                               "peer=$!\n"
                               "await_receive $peer\n"
                               "timeout 20 j1939cat -i /data/etp.bin vcan0:0x80 :0x90,0x0EF00\n"
                               "sleep 1\n"
                               "kill $peer\n"
                               "wait $peer\n"
                               "cmp /data/etp.bin /tmp/peer.out && echo peer got every byte\n";

// One fixed message over and over, near a full bus's pace (1,900 frames a second at 250 kbit/s)
// for two seconds and more. Under emulation a gap of 0.5 ms takes about a millisecond, so cangen
// sends pairs: 1,300 to 1,500 frames a second measured, with the listener running beside it.
#define FLOOD_FRAMES "4000"
const int FLOOD_SIZE = 4000;
const char *HEADING_FLOOD =
    "cangen vcan0 -g 0.5 -c 2 -n " FLOOD_FRAMES " -e -I 09F11223 -L 8 -D FF5C3D9CFF7FFFFC\n";
const char *ENGINE_FLOOD =
    "cangen vcan0 -g 0.5 -c 2 -n " FLOOD_FRAMES " -e -I 09F20010 -L 8 -D 00AB12FF7F0A0BCD\n";

const int BAM_SIZE = 100;
const int EXTENDED_SIZE = 5000;
const int RECEIVE_BUFFER = 4096;

// Counting down, so a byte out of place shows.
std::string bam_payload()
{
    std::string bytes;
    for (int i = 0; i < BAM_SIZE; i++)
        bytes += static_cast<char>(255 - i);
    return bytes;
}

// A period of 251 matches neither the 7-byte packets nor the 256-packet windows of the
// transfer, so a packet put in the wrong place changes the bytes.
std::string extended_payload()
{
    std::string bytes;
    for (int i = 0; i < EXTENDED_SIZE; i++)
        bytes += static_cast<char>(i % 251);
    return bytes;
}

std::string hex_bytes(const std::string &bytes, size_t count)
{
    std::string text;
    char pair[4];

    for (size_t i = 0; i < count && i < bytes.size(); i++) {
        std::snprintf(pair, sizeof pair, "%02X ", static_cast<unsigned char>(bytes[i]));
        text += pair;
    }
    return text;
}

std::string repeated(const std::string &text, int count)
{
    std::string all;
    for (int i = 0; i < count; i++)
        all += text;
    return all;
}

std::vector<kernel_case> kernel_cases()
{
    std::string pdu2 = "PGN: 127488  SRC: 16   LEN: 8    DATA: 00 AB 12 FF 7F 0A 0B CD \n";
    std::string global = "PGN: 59904   SRC: 34   LEN: 3    DATA: 00 EE 00 \n";
    std::string other_node = "PGN: 59904   SRC: 69   LEN: 3    DATA: 14 F0 01 \n";
    std::string empty = "PGN: 59904   SRC: 69   LEN: 0    DATA: \n";
    std::string bam =
        "PGN: 65280   SRC: 128  LEN: 100  DATA: " + hex_bytes(bam_payload(), BAM_SIZE) + "\n";
    std::string cut =
        "PGN: 61184   SRC: 128  LEN: 4096  DATA: " + hex_bytes(extended_payload(), RECEIVE_BUFFER) +
        "\n";
    std::string described = "{\n"
                            "  \"pgn\": 127250,\n"
                            "  \"description\": \"Vessel Heading\",\n"
                            "  \"sourceAddress\": 35,\n"
                            "  \"payloadLength\": 8,\n"
                            "  \"fields\": {\n"
                            "    \"heading\": 1.5708,\n"
                            "    \"deviation\": -0.0100\n"
                            "  }\n"
                            "}\n";
    std::string undescribed = "{\n"
                              "  \"pgn\": 127488,\n"
                              "  \"sourceAddress\": 16,\n"
                              "  \"payloadLength\": 8,\n"
                              "  \"fields\": {\n"
                              "\n"
                              "  }\n"
                              "}\n";
    std::string reassembled = "{\n"
                              "  \"pgn\": 129029,\n"
                              "  \"description\": \"Position\",\n"
                              "  \"sourceAddress\": 36,\n"
                              "  \"payloadLength\": 5,\n"
                              "  \"fields\": {\n"
                              "    \"sid\": 1.0000,\n"
                              "    \"method\": 0.0000\n"
                              "  }\n"
                              "}\n"
                              "{\n"
                              "  \"pgn\": 129029,\n"
                              "  \"description\": \"Position\",\n"
                              "  \"sourceAddress\": 35,\n"
                              "  \"payloadLength\": 10,\n"
                              "  \"fields\": {\n"
                              "    \"sid\": 7.0000,\n"
                              "    \"method\": 10.0000,\n"
                              "    \"tail\": 42.0000\n"
                              "  }\n"
                              "}\n";
    std::string quiet = std::string(BANNER) + CLOSING;

    return {
        {"every_message", "vcan0", BUS_TRAFFIC, "INT",
         BANNER + pdu2 + global + other_node + empty + bam + CLOSING, "", 0},
        {"pgn_127488", "vcan0 -p 127488", BUS_TRAFFIC, "INT", BANNER + pdu2 + CLOSING, "", 0},
        {"pgn_59904", "vcan0 -p 59904", BUS_TRAFFIC, "INT",
         BANNER + global + other_node + empty + CLOSING, "", 0},
        {"json", "vcan0 -j -c /data/n2k-devices.conf", JSON_TRAFFIC, "INT",
         BANNER + described + undescribed + CLOSING, "", 0},
        {"fast_packet", "vcan0 -j -c /data/n2k-devices.conf", FAST_PACKET_TRAFFIC, "INT",
         BANNER + reassembled + CLOSING, "", 0},
        {"extended_transfer", "vcan0", EXTENDED_TRAFFIC, "TERM", BANNER + cut + CLOSING, "", 0},
        {"interface_down", "vcan0", "ip link set vcan0 down\n", "none", quiet,
         "recvfrom: Network is down\n", 1},
        {"sigint_while_waiting", "vcan0", ":\n", "INT", quiet, "", 0},
        {"sigterm_while_waiting", "vcan0", ":\n", "TERM", quiet, "", 0},
        {"no_such_interface", "nosuch0", ":\n", "none", "", "if_nametoindex: No such device\n", 1},
        {"not_a_can_interface", "lo", ":\n", "none", "", "bind: No such device\n", 1},
        // The forced 8 MiB queue holds what comes while standard output stalls for a second.
        {"stdout_stalled", "vcan0 -j -c /data/n2k-devices.conf", HEADING_FLOOD, "TERM",
         BANNER + repeated(described, FLOOD_SIZE) + CLOSING, "", 0, "stalling_reader"},
        // So does the queue of a user who may not force it, once the administrator raises the
        // cap as the manual says.
        {"stdout_stalled_raised_cap", "vcan0 -j -c /data/n2k-devices.conf", HEADING_FLOOD, "TERM",
         BANNER + repeated(described, FLOOD_SIZE) + CLOSING, "", 0, "stalling_reader", "nobody",
         "net.core.rmem_max=8388608"},
        // Output slower than the bus overflows any queue, here the one of a user who may not
        // force it past net.core.rmem_max: every message is printed or told lost.
        {"stdout_slower_than_the_bus", "vcan0", ENGINE_FLOOD, "TERM", pdu2, "", 1, "slow_reader",
         "nobody", nullptr, FLOOD_SIZE},
    };
}

std::string cases_script(const std::vector<kernel_case> &cases)
{
    std::string script;

    for (const kernel_case &c : cases) {
        script += "traffic()\n{\n";
        script += c.traffic;
        script += "}\n";
        std::string setting = c.sysctl != nullptr ? c.sysctl : "";
        std::string setting_name = setting.substr(0, setting.find('='));
        if (!setting.empty())
            script +=
                "was=$(sysctl -n " + setting_name + ")\nsysctl -w " + setting + " >/dev/null\n";
        if (c.reader != nullptr)
            script += std::string("run_reader_case ") + c.name + " " + c.stop + " " + c.reader +
                      " " + c.user + " " + c.args + "\n";
        else
            script += std::string("run_case ") + c.name + " " + c.stop + " " + c.args + "\n";
        if (!setting.empty())
            script += "sysctl -w " + setting_name + "=\"$was\" >/dev/null\n";
        script += "\n";
    }
    return script;
}

// boot_vm.sh's status, and this program's, when the packages cannot be had offline.
constexpr int BOOT_SKIPPED = 77;

// Returns the script's exit status, or -1 when it could not be run.
int run_boot_script()
{
    std::string script = std::string(N2K_KERNEL_TEST_DIR) + "/boot_vm.sh";
    pid_t child = fork();

    if (child < 0)
        return -1;
    if (child == 0) {
        execl("/bin/bash", "bash", script.c_str(), program_path.c_str(), cache_path.c_str(),
              work_path.c_str(), static_cast<char *>(nullptr));
        std::perror("execl /bin/bash");
        _exit(127);
    }

    int status;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    if (!WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

// Drops the terminal control sequences that SeaBIOS and the kernel put on the console.
std::string clean_console(const std::string &raw)
{
    std::string text;

    for (size_t i = 0; i < raw.size(); i++) {
        char c = raw[i];
        if (c == '\r')
            continue;
        if (c != '\x1b') {
            text += c;
            continue;
        }
        if (i + 1 < raw.size() && raw[i + 1] == '[') {
            i += 2;
            while (i < raw.size() && !(raw[i] >= '@' && raw[i] <= '~'))
                i++;
        } else {
            i++;
        }
    }
    return text;
}

int base64_value(char c)
{
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

bool base64_decode(const std::string &text, std::string &bytes)
{
    unsigned bits = 0;
    int count = 0;

    bytes.clear();
    for (char c : text) {
        if (c == '=' || c == '\n' || c == ' ')
            continue;
        int value = base64_value(c);
        if (value < 0)
            return false;
        bits = (bits << 6) | static_cast<unsigned>(value);
        count += 6;
        if (count >= 8) {
            count -= 8;
            bytes += static_cast<char>((bits >> count) & 0xFF);
        }
    }
    return true;
}

std::vector<std::string> split_lines(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream stream(text);
    std::string line;

    while (std::getline(stream, line))
        lines.push_back(line);
    return lines;
}

// A result reads "@@case NAME", "@@stdout", base64 lines, "@@stderr", ..., "@@log", ...,
// "@@status N", "@@end NAME".
std::string parse_results(const std::string &console, std::map<std::string, case_result> &results)
{
    std::vector<std::string> lines = split_lines(console);
    std::string name;
    std::map<std::string, std::string> sections;
    std::string *section = nullptr;
    int status = -1;

    for (const std::string &line : lines) {
        if (line.rfind("@@case ", 0) == 0) {
            name = line.substr(7);
            sections.clear();
            section = nullptr;
            status = -1;
        } else if (name.empty()) {
            continue;
        } else if (line == "@@stdout" || line == "@@stderr" || line == "@@log") {
            section = &sections[line.substr(2)];
        } else if (line.rfind("@@status ", 0) == 0) {
            status = std::atoi(line.c_str() + 9);
        } else if (line == "@@end " + name) {
            case_result result;
            if (!base64_decode(sections["stdout"], result.out) ||
                !base64_decode(sections["stderr"], result.err) ||
                !base64_decode(sections["log"], result.log))
                return "the result of case " + name + " is garbled on the console";
            result.status = status;
            results[name] = result;
            name.clear();
        } else if (section != nullptr) {
            *section += line + "\n";
        }
    }
    return "";
}

std::string console_tail(const std::string &console, size_t count)
{
    std::vector<std::string> lines = split_lines(console);
    size_t first = lines.size() > count ? lines.size() - count : 0;
    std::string tail;

    for (size_t i = first; i < lines.size(); i++)
        tail += "  | " + lines[i] + "\n";
    return tail;
}

vm_run boot_and_run()
{
    vm_run run;
    std::string guest = work_path + "/guest";
    std::error_code error;

    std::filesystem::remove_all(guest, error);
    std::filesystem::create_directories(guest + "/data", error);
    if (error) {
        run.failure = "cannot make " + guest + ": " + error.message();
        return run;
    }
    try {
        write_file(guest + "/cases.sh", cases_script(kernel_cases()));
        write_file(guest + "/data/n2k-devices.conf", DESCRIPTIONS);
        write_file(guest + "/data/bam.bin", bam_payload());
        write_file(guest + "/data/etp.bin", extended_payload());
    } catch (const std::runtime_error &e) {
        run.failure = e.what();
        return run;
    }

    int status = run_boot_script();
    if (status == BOOT_SKIPPED) {
        run.skipped = true;
        return run;
    }
    run.console = clean_console(read_file_or_empty(work_path + "/console.log"));
    if (status != 0) {
        run.failure =
            "boot_vm.sh failed (status " + std::to_string(status) + "); its messages are above";
        return run;
    }

    run.failure = parse_results(run.console, run.results);
    if (!run.failure.empty())
        return run;
    if (run.console.find("@@done complete") == std::string::npos) {
        std::string::size_type done = run.console.find("@@done ");
        if (done != std::string::npos)
            run.failure = "the VM stopped early: " +
                          run.console.substr(done + 7, run.console.find('\n', done) - done - 7);
        else
            run.failure = "the VM never finished its cases";
    }
    return run;
}

const vm_run &the_run()
{
    static vm_run run = boot_and_run();
    return run;
}

// Shows non-printing bytes, and cuts a long line to the part around column.
std::string show_line(const std::string &line, size_t column)
{
    const size_t WIDTH = 120;
    std::string text;
    size_t first = 0;
    char code[8];

    if (line.size() > WIDTH && column > WIDTH / 2)
        first = column - WIDTH / 2;
    if (first > 0)
        text += "[" + std::to_string(first) + " bytes]...";
    for (size_t i = first; i < line.size() && i < first + WIDTH; i++) {
        unsigned char c = static_cast<unsigned char>(line[i]);
        if (c == '\\') {
            text += "\\\\";
        } else if (c < 0x20 || c >= 0x7F) {
            std::snprintf(code, sizeof code, "\\x%02X", c);
            text += code;
        } else {
            text += static_cast<char>(c);
        }
    }
    if (line.size() > first + WIDTH)
        text += "...[" + std::to_string(line.size() - first - WIDTH) + " bytes]";
    return text;
}

// A line diff: the lines both texts share at their start and end are left out but for a little
// context, then what only the expected text has (-) and what only the actual one has (+).
std::string difference(const std::string &expected, const std::string &actual)
{
    // A final line without its newline differs from the same line with one.
    std::vector<std::string> want = split_lines(expected);
    std::vector<std::string> got = split_lines(actual);
    if (!expected.empty() && expected.back() != '\n')
        want.back() += "[no newline]";
    if (!actual.empty() && actual.back() != '\n')
        got.back() += "[no newline]";

    size_t head = 0;
    while (head < want.size() && head < got.size() && want[head] == got[head])
        head++;
    size_t tail = 0;
    while (tail < want.size() - head && tail < got.size() - head &&
           want[want.size() - 1 - tail] == got[got.size() - 1 - tail])
        tail++;

    size_t column = 0;
    if (head < want.size() - tail && head < got.size() - tail) {
        const std::string &a = want[head];
        const std::string &b = got[head];
        while (column < a.size() && column < b.size() && a[column] == b[column])
            column++;
    }

    std::string text;
    size_t from = head > 2 ? head - 2 : 0;
    for (size_t i = from; i < head; i++)
        text += "    " + show_line(want[i], 0) + "\n";
    for (size_t i = head; i < want.size() - tail; i++)
        text += "  - " + show_line(want[i], column) + "\n";
    for (size_t i = head; i < got.size() - tail; i++)
        text += "  + " + show_line(got[i], column) + "\n";
    for (size_t i = want.size() - tail; i < want.size() && i < want.size() - tail + 2; i++)
        text += "    " + show_line(want[i], 0) + "\n";
    if (column > 0)
        text += "  (first difference at byte " + std::to_string(column) + " of line " +
                std::to_string(head + 1) + ")\n";
    return text;
}

// For a listener that could not keep up: the banner, some of the messages, the closing line,
// and the rest of those sent told lost. "" when so, else what is wrong.
std::string check_lost_messages(const kernel_case &c, const case_result &result)
{
    std::string out = result.out;
    if (out.compare(0, std::strlen(BANNER), BANNER) != 0)
        return "standard output does not start with the banner";
    out.erase(0, std::strlen(BANNER));
    if (out.size() < std::strlen(CLOSING) ||
        out.compare(out.size() - std::strlen(CLOSING), std::string::npos, CLOSING) != 0)
        return "standard output does not end with the closing line";
    out.erase(out.size() - std::strlen(CLOSING));

    int printed = 0;
    for (size_t at = 0; at < out.size(); at += c.out.size(), printed++) {
        if (out.compare(at, c.out.size(), c.out) != 0)
            return "message " + std::to_string(printed + 1) + " printed is not\n" + c.out +
                   "but\n" + show_line(out.substr(at, c.out.size()), 0);
    }
    int lost = c.sent - printed;
    if (lost <= 0)
        return std::to_string(printed) + " of " + std::to_string(c.sent) +
               " messages printed: nothing was lost, so the case proves nothing";
    std::string told = "n2k-listen: " + std::to_string(lost) +
                       (lost == 1 ? " message" : " messages") +
                       " lost: the receive queue overflowed\n";
    if (result.err != told)
        return std::to_string(printed) + " of " + std::to_string(c.sent) +
               " messages printed; standard error differs:\n" + difference(told, result.err);
    return "";
}

void PrintTo(const kernel_case &c, std::ostream *stream)
{
    *stream << c.name;
}

std::string case_name(const testing::TestParamInfo<kernel_case> &info)
{
    return info.param.name;
}

} // namespace

TEST(KernelVm, RunsEveryCaseAndPowersOff)
{
    const vm_run &run = the_run();

    EXPECT_TRUE(run.failure.empty()) << run.failure << "\nlast console lines:\n"
                                     << console_tail(run.console, 40);
}

class KernelCase : public testing::TestWithParam<kernel_case>
{
};

TEST_P(KernelCase, OutputAndStatus)
{
    const kernel_case &c = GetParam();
    const vm_run &run = the_run();
    auto found = run.results.find(c.name);

    ASSERT_TRUE(found != run.results.end())
        << "the VM gave no result for this case (see KernelVm.RunsEveryCaseAndPowersOff)";
    const case_result &result = found->second;
    std::string context =
        "listener arguments: " + std::string(c.args) + "\ntraffic tools' output:\n" + result.log;

    if (c.sent > 0) {
        std::string failure = check_lost_messages(c, result);
        EXPECT_TRUE(failure.empty()) << failure << "\n" << context;
    } else {
        EXPECT_TRUE(result.out == c.out) << "standard output differs:\n"
                                         << difference(c.out, result.out) << context;
        EXPECT_TRUE(result.err == c.err) << "standard error differs:\n"
                                         << difference(c.err, result.err) << context;
    }
    EXPECT_EQ(result.status, c.status) << context;
}

INSTANTIATE_TEST_SUITE_P(Vcan0, KernelCase, testing::ValuesIn(kernel_cases()), case_name);

int main(int argc, char **argv)
{
    testing::InitGoogleTest(&argc, argv);
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s <program> <cache folder> <work folder> [gtest options]\n",
                     argv[0]);
        return 2;
    }
    program_path = argv[1];
    cache_path = argv[2];
    work_path = argv[3];
    // Offline with an empty cache the VM cannot be made; CTest counts the status as a skip.
    if (the_run().skipped)
        return BOOT_SKIPPED;
    return RUN_ALL_TESTS();
}
