// JSON mode on the simulated bus: the description file, the objects, and their validity.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <unistd.h>
#include <vector>

#include "listener_process.h"

namespace
{

const char DESCRIPTIONS[] = "# a small description file\n"
                            "[PGN_127250]\n"
                            "name = Vessel Heading\n"
                            "field_1 = sid, u, 0, 8, 1, 0,\n"
                            "field_2 = heading, u, 1, 16, 0.0001, 0, rad\n"
                            "field_3 = deviation, s, 3, 16, 0.0001, 0, rad\n"
                            "field_4 = reference, u, 7, 2, 1, 0, code\n"
                            "[PGN_128267]\n"
                            "name = Water \"Depth\"\n"
                            "field_1 = depth, u, 1, 32, 0.01, 0, m\n"
                            "field_2 = offset, s, 5, 16, 0.001, 0, m\n";

const char CAPTURE[] = "(1.0) can0 09F11223#005C3DFF7FFF7FFD\n"
                       "(1.1) can0 0DF50B05#01D2040000E803FF\n"
                       "(1.2) can0 15FD0823#FF0000\n"
                       "(1.3) can0 09F11223#00\n";

const char EXPECTED_OBJECTS[] = "{\n"
                                "  \"pgn\": 127250,\n"
                                "  \"description\": \"Vessel Heading\",\n"
                                "  \"sourceAddress\": 35,\n"
                                "  \"payloadLength\": 8,\n"
                                "  \"fields\": {\n"
                                "    \"sid\": 0.0000,\n"
                                "    \"heading\": 1.5708,\n"
                                "    \"deviation\": 3.2767,\n"
                                "    \"reference\": 1.0000\n"
                                "  }\n"
                                "}\n"
                                "{\n"
                                "  \"pgn\": 128267,\n"
                                "  \"description\": \"Water \\\"Depth\\\"\",\n"
                                "  \"sourceAddress\": 5,\n"
                                "  \"payloadLength\": 8,\n"
                                "  \"fields\": {\n"
                                "    \"depth\": 12.3400,\n"
                                "    \"offset\": 1.0000\n"
                                "  }\n"
                                "}\n"
                                "{\n"
                                "  \"pgn\": 130312,\n"
                                "  \"sourceAddress\": 35,\n"
                                "  \"payloadLength\": 3,\n"
                                "  \"fields\": {\n"
                                "\n"
                                "  }\n"
                                "}\n"
                                "{\n"
                                "  \"pgn\": 127250,\n"
                                "  \"description\": \"Vessel Heading\",\n"
                                "  \"sourceAddress\": 35,\n"
                                "  \"payloadLength\": 1,\n"
                                "  \"fields\": {\n"
                                "    \"sid\": 0.0000\n"
                                "  }\n"
                                "}\n";

std::string write_temp(const std::string &text)
{
    char path[] = "/tmp/n2k-e2e-conf-XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0 || write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
        throw std::runtime_error("cannot write a temporary file");
    close(fd);
    return path;
}

// The listener with a description file of this text, given with -c, playing the feed; extra
// arguments (-j, for one) follow.
run_result run_with_descriptions(const std::string &descriptions, const char *feed,
                                 std::vector<std::string> extra = {"-j"})
{
    std::string conf = write_temp(descriptions);
    run_options options;
    options.args = {"can0", "-c", conf};
    options.args.insert(options.args.end(), extra.begin(), extra.end());
    options.feed = feed;
    run_result r = run_listener(options);
    std::remove(conf.c_str());
    return r;
}

// Everything between the banner and the closing line must be a sequence of JSON objects, one
// per message, with nothing left over.
int count_json_objects(const std::string &out)
{
    std::size_t begin = sizeof BANNER_CAN0 - 1;
    std::size_t end = out.size() - (sizeof CLOSING - 1);
    std::string body = out.substr(begin, end - begin);

    int count = 0;
    std::size_t at = 0;
    while (at < body.size()) {
        std::size_t next = body.find("\n}\n", at);
        if (next == std::string::npos)
            throw std::runtime_error("text after the last object: " + body.substr(at));
        nlohmann::json object = nlohmann::json::parse(body.substr(at, next + 3 - at));
        if (!object.is_object())
            throw std::runtime_error("not an object");
        count++;
        at = next + 3;
    }
    return count;
}

} // namespace

TEST(JsonMode, DescribedAndUndescribedMessages)
{
    run_result r = run_with_descriptions(DESCRIPTIONS, CAPTURE);

    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exit_status, 0);
    ASSERT_EQ(r.out, std::string(BANNER_CAN0) + EXPECTED_OBJECTS + CLOSING);
    EXPECT_EQ(count_json_objects(r.out), 4);
}

// A file saved by a Windows editor: a UTF-8 byte-order mark right before the first header.
TEST(JsonMode, ByteOrderMarkBeforeTheFirstHeader)
{
    std::string text = DESCRIPTIONS;
    std::string conf = write_temp("\xEF\xBB\xBF" + text.substr(text.find('\n') + 1));
    run_options options;
    options.args = {"can0", "-j", "-c", conf};
    options.feed = CAPTURE;
    run_result r = run_listener(options);
    std::remove(conf.c_str());

    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out, std::string(BANNER_CAN0) + EXPECTED_OBJECTS + CLOSING);
}

TEST(JsonMode, OptionOrderDoesNotMatter)
{
    std::string conf = write_temp(DESCRIPTIONS);
    const std::vector<std::vector<std::string>> orders = {
        {"can0", "-c", conf, "-j"},
        {"can0", "-j", "-p", "0", "-j", "-c", "/nonexistent", "-c", conf},
        {"can0", "-jj", "-c", conf},
    };
    for (const auto &args : orders) {
        run_options options;
        options.args = args;
        options.feed = CAPTURE;
        run_result r = run_listener(options);
        EXPECT_EQ(r.out, std::string(BANNER_CAN0) + EXPECTED_OBJECTS + CLOSING);
    }
    std::remove(conf.c_str());
}

// Names that hold any bytes still give valid JSON, and every message gets its object.
TEST(JsonMode, HostileNamesAndTrafficStayValidJson)
{
    std::string conf = write_temp("[PGN_127488]\n"
                                  "name = \\\"}{\t\x01\n"
                                  "field_1 = \"quoted\\\", u, 0, 8, 1, 0, x\n"
                                  "field_2 = bad type, q, 0, 8, 1, 0, x\n"
                                  "field_3 = huge, u, 0, 64, 1e300, 0, x\n"
                                  "field_4 = tiny, s, 0, 64, -1e-300, 0, x\n"
                                  "field_5 = wide, u, 0, 99, 1, 0, x\n"
                                  "field_6 = nan, u, 0, 8, nan, 0, x\n");
    std::string feed;
    for (int n : {0, 1, 7, 8, 9, 4096})
        feed += "(1.0) can0 09F20083#@" + std::to_string(n) + "\n";

    run_options options;
    options.args = {"can0", "-j", "-c", conf};
    options.feed = feed.c_str();
    run_result r = run_listener(options);
    std::remove(conf.c_str());

    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(count_json_objects(r.out), 6);
}

TEST(JsonMode, DescriptionFileThatCannotBeRead)
{
    struct {
        const char *path;
        const char *error;
    } cases[] = {
        {"/nonexistent/n2k-devices.conf", "No such file or directory"},
        {"/tmp", "Is a directory"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.path);
        run_options options;
        options.args = {"can0", "-j", "-c", c.path};
        options.feed = CAPTURE;
        run_result r = run_listener(options);

        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, std::string("Could not open config file: ") + c.error +
                             "\nCould not load config file for JSON mode.\n");
        EXPECT_EQ(r.exit_status, 1);
        EXPECT_EQ(log_lines(r.log, "socket").size(), 0u) << "a socket was made";
    }
}

TEST(JsonMode, TooManySectionsAreReportedOnceAndTheFirst256Used)
{
    std::string text;
    for (int i = 0; i < 300; i++)
        text += "[PGN_" + std::to_string(i) + "]\nname = P" + std::to_string(i) + "\n";
    text += "[PGN_127488]\nname = Engine\n";
    std::string conf = write_temp(text);

    run_options options;
    options.args = {"can0", "-j", "-c", conf};
    options.feed = "(1.0) can0 09F20083#01\n(1.1) can0 18002305#02\n";
    run_result r = run_listener(options);
    std::remove(conf.c_str());

    EXPECT_EQ(r.err, "Exceeded max PGNs in config\n");
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out, std::string(BANNER_CAN0) +
                         "{\n  \"pgn\": 127488,\n  \"sourceAddress\": 131,\n"
                         "  \"payloadLength\": 1,\n  \"fields\": {\n\n  }\n}\n"
                         "{\n  \"pgn\": 0,\n  \"description\": \"P0\",\n"
                         "  \"sourceAddress\": 5,\n  \"payloadLength\": 1,\n"
                         "  \"fields\": {\n\n  }\n}\n" +
                         CLOSING);
}

// Without -c the compiled-in path is read; this build of the listener has it in the build tree.
TEST(JsonMode, DefaultDescriptionFile)
{
    const std::string path = N2K_TEST_DEFAULT_CONFIG;
    std::remove(path.c_str());

    run_options options;
    options.program = N2K_TEST_DEFAULT_CONFIG_LISTENER;
    options.args = {"can0", "-j"};
    options.feed = CAPTURE;
    run_result missing = run_listener(options);
    EXPECT_EQ(missing.err, "Could not open config file: No such file or directory\n"
                           "Could not load config file for JSON mode.\n");
    EXPECT_EQ(missing.exit_status, 1);
    EXPECT_EQ(log_lines(missing.log, "socket").size(), 0u);

    std::ofstream(path) << DESCRIPTIONS;
    run_result present = run_listener(options);
    std::remove(path.c_str());
    EXPECT_EQ(present.err, "");
    EXPECT_EQ(present.out, std::string(BANNER_CAN0) + EXPECTED_OBJECTS + CLOSING);
    EXPECT_EQ(present.exit_status, 0);
}

namespace
{

// A fast-packet PGN with values that begin inside a byte, and one undescribed PGN between its
// frames. Source 35 sends a 10-byte message in two frames; source 36 a 5-byte one in one.
const char FAST_PACKET_DESCRIPTIONS[] = "[PGN_129029]\n"
                                        "name = Position\n"
                                        "fast_packet = yes\n"
                                        "field_1 = sid, u, 0, 8, 1, 0\n"
                                        "field_2 = count, u, 1, 16, 1, 0\n"
                                        "field_3 = type, u, 3, 4, 1, 0, code\n"
                                        "field_4 = method, u, 3.4, 4, 1, 0, code\n"
                                        "field_5 = across, s, 4.6, 4, 1, 0\n"
                                        "field_6 = tail, u, 9, 8, 0.5, 0\n"
                                        "field_7 = beyond, u, 10, 8, 1, 0\n"
                                        "field_8 = unsound, u, 0.8, 4, 1, 0\n";

const char FAST_PACKET_CAPTURE[] = "(1.0) can0 0DF80523#400A073412A5C002\n"
                                   "(1.1) can0 09F11223#005C3DFF7FFF7FFD\n"
                                   "(1.2) can0 0DF80524#600501020304C5FF\n"
                                   "(1.3) can0 0DF80523#41FFFFFF2AFFFFFF\n"
                                   "(1.4) can0 0DF80523#8014010203040506\n";

const char FAST_PACKET_OBJECTS[] = "{\n"
                                   "  \"pgn\": 127250,\n"
                                   "  \"sourceAddress\": 35,\n"
                                   "  \"payloadLength\": 8,\n"
                                   "  \"fields\": {\n"
                                   "\n"
                                   "  }\n"
                                   "}\n"
                                   "{\n"
                                   "  \"pgn\": 129029,\n"
                                   "  \"description\": \"Position\",\n"
                                   "  \"sourceAddress\": 36,\n"
                                   "  \"payloadLength\": 5,\n"
                                   "  \"fields\": {\n"
                                   "    \"sid\": 1.0000,\n"
                                   "    \"count\": 770.0000,\n"
                                   "    \"type\": 4.0000,\n"
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
                                   "    \"count\": 4660.0000,\n"
                                   "    \"type\": 5.0000,\n"
                                   "    \"method\": 10.0000,\n"
                                   "    \"across\": -5.0000,\n"
                                   "    \"tail\": 21.0000\n"
                                   "  }\n"
                                   "}\n";

} // namespace

// The frames of a fast-packet PGN make one object when the message is whole; the frame 0 that
// the capture ends in never does, and the closing line follows the last whole message.
TEST(JsonMode, FastPacketFramesAreReassembled)
{
    run_result r = run_with_descriptions(FAST_PACKET_DESCRIPTIONS, FAST_PACKET_CAPTURE);

    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out, std::string(BANNER_CAN0) + FAST_PACKET_OBJECTS + CLOSING);
    EXPECT_EQ(count_json_objects(r.out), 3);
}

// A failed receive ends an unfinished message unprinted, like a stop signal.
TEST(JsonMode, FailedReceiveDropsTheUnfinishedMessage)
{
    run_result r =
        run_with_descriptions(FAST_PACKET_DESCRIPTIONS, "(1.0) can0 0DF80524#600501020304C5FF\n"
                                                        "(1.1) can0 0DF80523#400A073412A5C002\n"
                                                        "!error EIO\n"
                                                        "(1.3) can0 0DF80523#41FFFFFF2AFFFFFF\n");

    EXPECT_EQ(r.err, "recvfrom: Input/output error\n");
    EXPECT_EQ(r.exit_status, 1);
    std::string objects = FAST_PACKET_OBJECTS;
    std::size_t second = objects.find("}\n{\n") + 2;
    std::size_t third = objects.find("}\n{\n", second) + 2;
    EXPECT_EQ(r.out, BANNER_CAN0 + objects.substr(second, third - second) + CLOSING);
}

// Without the key, and in raw mode, every frame is a message of its own, as it always was.
TEST(JsonMode, FramesStandAloneWithoutTheKeyAndInRawMode)
{
    std::string text = FAST_PACKET_DESCRIPTIONS;
    text.erase(text.find("fast_packet = yes\n"), sizeof "fast_packet = yes\n" - 1);
    run_result unmarked = run_with_descriptions(text, FAST_PACKET_CAPTURE);
    EXPECT_EQ(unmarked.exit_status, 0);
    EXPECT_EQ(count_json_objects(unmarked.out), 5);
    EXPECT_NE(unmarked.out.find("  \"payloadLength\": 8,\n  \"fields\": {\n"
                                "    \"sid\": 64.0000,\n    \"count\": 1802.0000,\n"),
              std::string::npos);

    run_result r = run_with_descriptions(FAST_PACKET_DESCRIPTIONS, FAST_PACKET_CAPTURE, {});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out, std::string(BANNER_CAN0) +
                         raw_line(129029, 35, {0x40, 0x0A, 0x07, 0x34, 0x12, 0xA5, 0xC0, 0x02}) +
                         raw_line(127250, 35, {0x00, 0x5C, 0x3D, 0xFF, 0x7F, 0xFF, 0x7F, 0xFD}) +
                         raw_line(129029, 36, {0x60, 0x05, 0x01, 0x02, 0x03, 0x04, 0xC5, 0xFF}) +
                         raw_line(129029, 35, {0x41, 0xFF, 0xFF, 0xFF, 0x2A, 0xFF, 0xFF, 0xFF}) +
                         raw_line(129029, 35, {0x80, 0x14, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06}) +
                         CLOSING);
}
