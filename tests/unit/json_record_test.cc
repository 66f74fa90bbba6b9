#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "capture_stdout.h"
#include "descriptions/pgn_table.h"
#include "output/json_record.h"

namespace
{

std::string json_record(uint32_t pgn, uint8_t source, const std::vector<uint8_t> &payload)
{
    return capture_stdout([&] {
        print_json_record(pgn, source, static_cast<int32_t>(payload.size()), payload.data());
    });
}

const std::vector<uint8_t> HEADING = {0x00, 0x5C, 0x3D, 0xFF, 0x7F, 0xFF, 0x7F, 0xFD};

class JsonRecord : public testing::Test
{
  protected:
    void SetUp() override
    {
        ASSERT_TRUE(load_description_text("[PGN_127250]\n"
                                          "name = Vessel Heading\n"
                                          "field_1 = sid, u, 0, 8, 1, 0,\n"
                                          "field_2 = heading, u, 1, 16, 0.0001, 0, rad\n"
                                          "field_3 = deviation, s, 3, 16, 0.0001, 0, rad\n"
                                          "[PGN_130306]\n"
                                          "[PGN_60928]\n"
                                          "name = Odd\n"
                                          "field_1 = before, u, -1, 8, 1, 0, x\n"
                                          "field_2 = first, u, 0, 8, 1, 0, x\n"
                                          "field_3 = wide, u, 0, 65, 1, 0, x\n"
                                          "field_4 = far, u, 2147483647, 8, 1, 0, x\n"
                                          "field_5 = kind, X, 0, 8, 1, 0, x\n"
                                          "field_6 = whole, u, 0, 16, 1, 0, x\n"
                                          "field_7 = past, u, 0, 17, 1, 0, x\n"
                                          "field_8 = negative, u, 0, -8, 1, 0, x\n"
                                          "[PGN_126992]\n"
                                          "name = Say \"hi\" \\ \x01\n"
                                          "field_1 = in\tfinite, u, 0, 8, inf, 0, x\n"
                                          "field_2 = not a number, u, 0, 0, 1, nan, x\n"
                                          "field_3 = zero, s, 0, 0, 1, 0, x\n"));
    }
};

} // namespace

TEST_F(JsonRecord, DescribedPgnWithAllFields)
{
    EXPECT_EQ(json_record(127250, 35, HEADING), "{\n"
                                                "  \"pgn\": 127250,\n"
                                                "  \"description\": \"Vessel Heading\",\n"
                                                "  \"sourceAddress\": 35,\n"
                                                "  \"payloadLength\": 8,\n"
                                                "  \"fields\": {\n"
                                                "    \"sid\": 0.0000,\n"
                                                "    \"heading\": 1.5708,\n"
                                                "    \"deviation\": 3.2767\n"
                                                "  }\n"
                                                "}\n");
}

TEST_F(JsonRecord, UndescribedPgnTakesEightLines)
{
    EXPECT_EQ(json_record(59904, 0, {0x00, 0xEE, 0x00}), "{\n"
                                                         "  \"pgn\": 59904,\n"
                                                         "  \"sourceAddress\": 0,\n"
                                                         "  \"payloadLength\": 3,\n"
                                                         "  \"fields\": {\n"
                                                         "\n"
                                                         "  }\n"
                                                         "}\n");
}

TEST_F(JsonRecord, EntryWithoutFieldsOrNoneThatFitTakesNineLines)
{
    const std::string empty_fields = "  \"fields\": {\n"
                                     "\n"
                                     "  }\n"
                                     "}\n";
    EXPECT_EQ(json_record(130306, 1, {1, 2}), "{\n"
                                              "  \"pgn\": 130306,\n"
                                              "  \"description\": \"Unnamed PGN\",\n"
                                              "  \"sourceAddress\": 1,\n"
                                              "  \"payloadLength\": 2,\n" +
                                                  empty_fields);
    EXPECT_EQ(json_record(127250, 2, {}), "{\n"
                                          "  \"pgn\": 127250,\n"
                                          "  \"description\": \"Vessel Heading\",\n"
                                          "  \"sourceAddress\": 2,\n"
                                          "  \"payloadLength\": 0,\n" +
                                              empty_fields);
}

// A field that ends exactly at the end is printed, one bit past is not, and fields the decoder
// cannot read are skipped or null without breaking the separators.
TEST_F(JsonRecord, SkippedFieldsKeepTheSeparatorsRight)
{
    EXPECT_EQ(json_record(60928, 7, {0x01, 0x02}), "{\n"
                                                   "  \"pgn\": 60928,\n"
                                                   "  \"description\": \"Odd\",\n"
                                                   "  \"sourceAddress\": 7,\n"
                                                   "  \"payloadLength\": 2,\n"
                                                   "  \"fields\": {\n"
                                                   "    \"first\": 1.0000,\n"
                                                   "    \"kind\": null,\n"
                                                   "    \"whole\": 513.0000\n"
                                                   "  }\n"
                                                   "}\n");
}

TEST_F(JsonRecord, OnlyZeroLengthFieldsAtStartZeroFitAnEmptyPayload)
{
    EXPECT_EQ(json_record(126992, 9, {}), "{\n"
                                          "  \"pgn\": 126992,\n"
                                          "  \"description\": \"Say \\\"hi\\\" \\\\ \\u0001\",\n"
                                          "  \"sourceAddress\": 9,\n"
                                          "  \"payloadLength\": 0,\n"
                                          "  \"fields\": {\n"
                                          "    \"not a number\": null,\n"
                                          "    \"zero\": 0.0000\n"
                                          "  }\n"
                                          "}\n");
}

TEST_F(JsonRecord, NonFiniteValuesAndEscapedNames)
{
    EXPECT_EQ(json_record(126992, 9, {0x05}),
              "{\n"
              "  \"pgn\": 126992,\n"
              "  \"description\": \"Say \\\"hi\\\" \\\\ \\u0001\",\n"
              "  \"sourceAddress\": 9,\n"
              "  \"payloadLength\": 1,\n"
              "  \"fields\": {\n"
              "    \"in\\tfinite\": null,\n"
              "    \"not a number\": null,\n"
              "    \"zero\": 0.0000\n"
              "  }\n"
              "}\n");
}

TEST(JsonRecordEmptyTable, EveryPgnGetsTheBareObject)
{
    clear_table();
    EXPECT_EQ(json_record(127250, 35, {0xFF}), "{\n"
                                               "  \"pgn\": 127250,\n"
                                               "  \"sourceAddress\": 35,\n"
                                               "  \"payloadLength\": 1,\n"
                                               "  \"fields\": {\n"
                                               "\n"
                                               "  }\n"
                                               "}\n");
}

namespace
{

// Plain byte-by-byte JSON escaping, to hold the writer's block-wise copy against.
std::string escaped(const std::string &text)
{
    std::string out;
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            const char *named = c == '\b'   ? "\\b"
                                : c == '\f' ? "\\f"
                                : c == '\n' ? "\\n"
                                : c == '\r' ? "\\r"
                                : c == '\t' ? "\\t"
                                            : nullptr;
            char code[8];
            std::snprintf(code, sizeof code, "\\u%04x", c);
            out += named != nullptr ? named : code;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

// Copies text into a stored name and fills the rest of the array with bytes that must never
// show: quotes and letters, as a longer earlier name would leave behind.
void store_name(char (&name)[NAME_SIZE], const std::string &text)
{
    for (int i = 0; i < NAME_SIZE; i++)
        name[i] = i % 2 == 0 ? 'Z' : '"';
    std::memcpy(name, text.data(), text.size());
    name[text.size()] = '\0';
}

} // namespace

// Names are copied a block at a time until the first byte to escape or the terminator; what
// matters is where that byte falls against the blocks, and that nothing after it leaks.
TEST(JsonRecordNames, EveryLengthAndSpecialByteAtEveryBlockEdge)
{
    const char specials[] = {'"', '\\', '\x01', '\x1f', '\n', '\x7f', '\xc3', ' '};
    const int lengths[] = {0, 1, 7, 8, 9, 15, 16, 17, 31, 32, 33, 47, 48, 49, NAME_SIZE - 1};

    for (int length : lengths) {
        for (char special : specials) {
            for (int at : {0, 7, 8, 15, 16, 17, 31, 32, 48, length - 1}) {
                if (at < 0 || at >= length)
                    continue;
                std::string text(static_cast<size_t>(length), ' ');
                for (int i = 0; i < length; i++)
                    text[static_cast<size_t>(i)] = static_cast<char>('a' + i % 26);
                text[static_cast<size_t>(at)] = special;

                clear_table();
                pgn_entry *entry = append_entry(59904);
                ASSERT_NE(entry, nullptr);
                store_name(entry->description, text);
                entry->field_count = 1;
                field_spec &field = entry->fields[0];
                store_name(field.name, text);
                field.type = 'u';
                field.start = 0;
                field.length = 8;
                field.scale = 1;
                field.offset = 0;

                std::string name = escaped(text);
                EXPECT_EQ(json_record(59904, 1, {0x02}), "{\n"
                                                         "  \"pgn\": 59904,\n"
                                                         "  \"description\": \"" +
                                                             name +
                                                             "\",\n"
                                                             "  \"sourceAddress\": 1,\n"
                                                             "  \"payloadLength\": 1,\n"
                                                             "  \"fields\": {\n"
                                                             "    \"" +
                                                             name +
                                                             "\": 2.0000\n"
                                                             "  }\n"
                                                             "}\n")
                    << "length " << length << ", byte " << static_cast<int>(special) << " at "
                    << at;
            }
        }
    }
}
