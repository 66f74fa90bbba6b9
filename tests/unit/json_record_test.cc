#include <gtest/gtest.h>

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
