#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "capture_stdout.h"
#include "descriptions/description_loader.h"
#include "descriptions/pgn_table.h"

namespace
{

struct expected_field {
    std::string name;
    char type;
    int32_t start;
    int32_t length;
    double scale;
    double offset;
    std::string unit;
    int32_t start_bit = 0;
};

struct expected_entry {
    uint32_t pgn;
    std::string description;
    std::vector<expected_field> fields;
    bool fast_packet = false;
};

struct loader_case {
    const char *what;
    std::string file;
    std::vector<expected_entry> entries;
};

std::string repeat(char c, int n)
{
    return std::string(static_cast<std::size_t>(n), c);
}

const char WITH_NUL[] = "[PGN_1]\nname = Be\0fore\nfield_1 = a, u, 0, 8, 1, 0, u\n";

const expected_field RPM = {"rpm", 'u', 1, 16, 0.25, 0, "rpm"};

std::vector<loader_case> loader_cases()
{
    return {
        {"empty file", "", {}},
        {"no valid header", "name = Engine\nfield_1 = rpm, u, 1, 16, 0.25, 0, rpm\n[Engine]\n", {}},
        {"plain section",
         "[PGN_127488]\nname = Engine\nfield_1 = rpm, u, 1, 16, 0.25, 0, rpm\n",
         {{127488, "Engine", {RPM}}}},
        {"header with blank before the number", "[PGN_ 42]\n", {{42, "Unnamed PGN", {}}}},
        {"header without closing bracket", "[PGN_42\n", {{42, "Unnamed PGN", {}}}},
        {"trailing text after the number", "[PGN_42x] junk\n", {{42, "Unnamed PGN", {}}}},
        {"negative header wraps", "[PGN_-1]\n", {{4294967295u, "Unnamed PGN", {}}}},
        {"largest header", "[PGN_4294967295]\n", {{4294967295u, "Unnamed PGN", {}}}},
        {"header beyond 32 bits is skipped, the section stays",
         "[PGN_1]\n[PGN_4294967296]\nname = One\n[PGN_99999999999]\nname = Still one\n",
         {{1, "Still one", {}}}},
        {"header needs digits", "[PGN_]\n[PGN_x]\n[pgn_5]\n", {}},
        {"bracket line that is no header keeps the section",
         "[PGN_10]\n[Engine]\nname = Ten\n",
         {{10, "Ten", {}}}},
        {"lines before the first header are dropped",
         "name = Lost\nfield_1 = x, u, 0, 8, 1, 0, u\n[PGN_5]\n",
         {{5, "Unnamed PGN", {}}}},
        {"spaces around the equals sign", "[PGN_1]\nname   =   Engine\n", {{1, "Engine", {}}}},
        {"key case matters", "[PGN_1]\nName = Engine\n", {{1, "Unnamed PGN", {}}}},
        {"empty name value is skipped", "[PGN_1]\nname = A\nname =\nname = \n", {{1, "A", {}}}},
        {"later name replaces", "[PGN_1]\nname = A\nname = B\n", {{1, "B", {}}}},
        {"hash mid-line is text", "[PGN_1]\nname = Engine # main\n", {{1, "Engine # main", {}}}},
        {"comment and blank lines",
         "# c\n[PGN_1]\n\n   # indented comment\nname = X\n",
         {{1, "X", {}}}},
        {"indentation and CRLF",
         "  [PGN_1]\r\n\tname = X\r\n  field_a = v, s, 0, 8, 1, 0, u\r\n",
         {{1, "X", {{"v", 's', 0, 8, 1, 0, "u"}}}}},
        {"description cut to 63 bytes",
         "[PGN_1]\nname = " + repeat('d', 100) + "\n",
         {{1, repeat('d', 63), {}}}},
        {"key of 63 bytes then blanks",
         "[PGN_1]\nname" + repeat(' ', 59) + "   = X\n",
         {{1, "X", {}}}},
        {"key longer than 63 bytes is skipped",
         "[PGN_1]\n" + repeat('k', 64) + " = X\nfield_" + repeat('k', 58) +
             " = y, u, 0, 8, 1, 0, z\n",
         {{1, "Unnamed PGN", {}}}},
        {"value cut to 127 bytes",
         "[PGN_1]\nfield_1 = n, u, 0, 8, 1, 0, " + repeat(' ', 120) + "unit\n",
         {{1, "Unnamed PGN", {{"n", 'u', 0, 8, 1, 0, ""}}}}},
        {"field keys",
         "[PGN_1]\nfield_ = a, u, 0, 8, 1, 0, u\nfield_xyz = b, u, 0, 8, 1, 0, u\n"
         "field = c, u, 0, 8, 1, 0, u\nfields = d, u, 0, 8, 1, 0, u\n",
         {{1, "Unnamed PGN", {{"a", 'u', 0, 8, 1, 0, "u"}, {"b", 'u', 0, 8, 1, 0, "u"}}}}},
        {"field keeps the file order, not the key number",
         "[PGN_1]\nfield_9 = a, u, 0, 8, 1, 0, u\nfield_1 = b, s, 1, 8, 2, -1, v\n",
         {{1, "Unnamed PGN", {{"a", 'u', 0, 8, 1, 0, "u"}, {"b", 's', 1, 8, 2, -1, "v"}}}}},
        {"name and type only",
         "[PGN_1]\nfield_1 = rpm, u\n",
         {{1, "Unnamed PGN", {{"rpm", 'u', 0, 0, 0, 0, ""}}}}},
        {"blank before the comma ends the reading",
         "[PGN_1]\nfield_1 = rpm, u , 0, 8, 1, 0, x\n",
         {{1, "Unnamed PGN", {{"rpm", 'u', 0, 0, 0, 0, ""}}}}},
        {"value starting with a comma",
         "[PGN_1]\nfield_1 = , u, 0, 8, 1, 0, x\n",
         {{1, "Unnamed PGN", {{"", 0, 0, 0, 0, 0, ""}}}}},
        {"name with trailing blanks is kept as read",
         "[PGN_1]\nfield_1 = rpm   ,u,1,16,0.25,0,rpm\n",
         {{1, "Unnamed PGN", {{"rpm   ", 'u', 1, 16, 0.25, 0, "rpm"}}}}},
        {"name cut at 63 reads nothing more",
         "[PGN_1]\nfield_1 = " + repeat('n', 70) + ", u, 0, 8, 1, 0, x\n",
         {{1, "Unnamed PGN", {{repeat('n', 63), 0, 0, 0, 0, 0, ""}}}}},
        {"unit keeps commas and blanks, cut to 15",
         "[PGN_1]\nfield_1 = a, u, 0, 8, 1, 0, m/s, knots and more\n",
         {{1, "Unnamed PGN", {{"a", 'u', 0, 8, 1, 0, "m/s, knots and "}}}}},
        {"any type byte is stored",
         "[PGN_1]\nfield_1 = a, X, 0, 8, 1, 0, u\n",
         {{1, "Unnamed PGN", {{"a", 'X', 0, 8, 1, 0, "u"}}}}},
        {"numbers in other spellings",
         "[PGN_1]\nfield_1 = a, s, +2, -8, 1e-2, -0x10, u\n",
         {{1, "Unnamed PGN", {{"a", 's', 2, -8, 0.01, -16, "u"}}}}},
        {"numbers beyond 32 bits saturate",
         "[PGN_1]\nfield_1 = a, u, 4294967296, -99999999999, 1, 0, u\n"
         "field_2 = b, u, 2147483647, -2147483648, 1, 0, u\n",
         {{1,
           "Unnamed PGN",
           {{"a", 'u', INT32_MAX, INT32_MIN, 1, 0, "u"},
            {"b", 'u', INT32_MAX, INT32_MIN, 1, 0, "u"}}}}},
        {"a number with trailing letters ends the reading",
         "[PGN_1]\nfield_1 = a, u, 12abc, 8\n",
         {{1, "Unnamed PGN", {{"a", 'u', 12, 0, 0, 0, ""}}}}},
        {"seventeenth field is dropped",
         [] {
             std::string text = "[PGN_1]\n";
             for (int i = 0; i < 20; i++)
                 text += "field_" + std::to_string(i) + " = f" + std::to_string(i) + ", u, " +
                         std::to_string(i) + ", 8, 1, 0, u\n";
             return text;
         }(),
         {{1, "Unnamed PGN",
           [] {
               std::vector<expected_field> fields;
               for (int i = 0; i < 16; i++)
                   fields.push_back({"f" + std::to_string(i), 'u', i, 8, 1, 0, "u"});
               return fields;
           }()}}},
        {"duplicate header appends a second entry",
         "[PGN_7]\nname = First\n[PGN_7]\nname = Second\nfield_1 = a, u, 0, 8, 1, 0, u\n",
         {{7, "First", {}}, {7, "Second", {{"a", 'u', 0, 8, 1, 0, "u"}}}}},
        {"blank line does not end a section", "[PGN_1]\n\n\nname = X\n", {{1, "X", {}}}},
        {"a long comment's tail is not a line",
         "[PGN_1]\nname = Good\n# " + repeat('c', 300) + " name = Bad\n# " + repeat('c', 260) +
             "[PGN_2]\n",
         {{1, "Good", {}}}},
        {"a line of exactly 255 bytes keeps the next line",
         "[PGN_1]\nname = " + repeat('a', 248) + "\nfield_1 = a, u, 0, 8, 1, 0, u\n",
         {{1, repeat('a', 63), {{"a", 'u', 0, 8, 1, 0, "u"}}}}},
        {"a NUL byte ends the line as the string functions see it",
         std::string(WITH_NUL, sizeof WITH_NUL - 1),
         {{1, "Be", {{"a", 'u', 0, 8, 1, 0, "u"}}}}},
        {"byte-order mark at the start is skipped",
         "\xEF\xBB\xBF[PGN_127250]\nname = Heading\n",
         {{127250, "Heading", {}}}},
        {"byte-order mark before a comment or blank line",
         "\xEF\xBB\xBF# made on Windows\r\n[PGN_1]\r\n",
         {{1, "Unnamed PGN", {}}}},
        {"byte-order mark alone on the first line",
         "\xEF\xBB\xBF\n[PGN_1]\n",
         {{1, "Unnamed PGN", {}}}},
        {"byte-order mark later in the file is text",
         "[PGN_1]\n\xEF\xBB\xBF[PGN_2]\n\xEF\xBB\xBFname = X\n",
         {{1, "Unnamed PGN", {}}}},
        {"a second byte-order mark is text", "\xEF\xBB\xBF\xEF\xBB\xBF[PGN_1]\n", {}},
        {"part of a byte-order mark is text", "\xEF\xBB[PGN_1]\n", {}},
        {"bytes above 0x7F are no whitespace",
         "[PGN_1]\nname = \xA0X\xA0\n",
         {{1, "\xA0X\xA0", {}}}},
        {"a start bit after a dot",
         "[PGN_1]\nfield_1 = a, u, 2.5, 11, 1, 0, u\nfield_2 = b, s, 0.0, 2, 1, 0, u\n"
         "field_3 = c, u, +3.07, 4, 1, 0, u\n",
         {{1,
           "Unnamed PGN",
           {{"a", 'u', 2, 11, 1, 0, "u", 5},
            {"b", 's', 0, 2, 1, 0, "u"},
            {"c", 'u', 3, 4, 1, 0, "u", 7}}}}},
        {"a start bit out of range is stored, to be skipped when printed",
         "[PGN_1]\nfield_1 = a, u, 1.8, 4, 1, 0, u\nfield_2 = b, u, 1.99999999999, 4, 1, 0, u\n",
         {{1,
           "Unnamed PGN",
           {{"a", 'u', 1, 4, 1, 0, "u", 8}, {"b", 'u', 1, 4, 1, 0, "u", INT32_MAX}}}}},
        {"a dot without digits ends the reading as before",
         "[PGN_1]\nfield_1 = a, u, 1., 4, 1, 0, u\nfield_2 = b, u, 1.x, 4, 1, 0, u\n"
         "field_3 = c, u, 1 .5, 4, 1, 0, u\nfield_4 = d, u, 1.-5, 4, 1, 0, u\n",
         {{1,
           "Unnamed PGN",
           {{"a", 'u', 1, 0, 0, 0, ""},
            {"b", 'u', 1, 0, 0, 0, ""},
            {"c", 'u', 1, 0, 0, 0, ""},
            {"d", 'u', 1, 0, 0, 0, ""}}}}},
        {"a blank after the start bit ends the reading, as after a number",
         "[PGN_1]\nfield_1 = a, u, 1.5 , 4, 1, 0, u\n",
         {{1, "Unnamed PGN", {{"a", 'u', 1, 0, 0, 0, "", 5}}}}},
        {"fast_packet marks a section only with an exact yes",
         "[PGN_1]\nfast_packet = yes\n[PGN_2]\n  fast_packet   =   yes  \r\n"
         "[PGN_3]\nfast_packet = Yes\nfast_packet = yes please\nFast_packet = yes\n"
         "fast_packet =\n[PGN_4]\nfast_packet = yes\nfast_packet = no\n",
         {{1, "Unnamed PGN", {}, true},
          {2, "Unnamed PGN", {}, true},
          {3, "Unnamed PGN", {}, false},
          {4, "Unnamed PGN", {}, true}}},
    };
}

void expect_table(const std::vector<expected_entry> &entries)
{
    ASSERT_EQ(pgn_table.count, static_cast<int>(entries.size()));
    for (std::size_t i = 0; i < entries.size(); i++) {
        const pgn_entry &got = pgn_table.entries[i];
        const expected_entry &want = entries[i];
        EXPECT_EQ(got.pgn, want.pgn) << "entry " << i;
        EXPECT_EQ(std::string(got.description), want.description) << "entry " << i;
        EXPECT_EQ(got.fast_packet, want.fast_packet) << "entry " << i;
        ASSERT_EQ(got.field_count, static_cast<int>(want.fields.size())) << "entry " << i;
        for (std::size_t f = 0; f < want.fields.size(); f++) {
            const field_spec &g = got.fields[f];
            const expected_field &w = want.fields[f];
            EXPECT_EQ(std::string(g.name), w.name) << "field " << f;
            EXPECT_EQ(g.type, w.type) << "field " << f;
            EXPECT_EQ(g.start, w.start) << "field " << f;
            EXPECT_EQ(g.start_bit, w.start_bit) << "field " << f;
            EXPECT_EQ(g.length, w.length) << "field " << f;
            EXPECT_EQ(g.scale, w.scale) << "field " << f;
            EXPECT_EQ(g.offset, w.offset) << "field " << f;
            EXPECT_EQ(std::string(g.unit), w.unit) << "field " << f;
        }
    }
}

} // namespace

TEST(DescriptionLoader, FixturesProduceTheirEntries)
{
    for (const loader_case &c : loader_cases()) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(load_description_text(c.file));
        expect_table(c.entries);
    }
}

TEST(DescriptionLoader, The257thHeaderStopsTheLoadWithOneMessage)
{
    std::string text;
    for (int i = 0; i < 300; i++)
        text += "[PGN_" + std::to_string(i) + "]\nname = P" + std::to_string(i) + "\n";

    testing::internal::CaptureStderr();
    ASSERT_TRUE(load_description_text(text));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Exceeded max PGNs in config\n");

    ASSERT_EQ(pgn_table.count, MAX_PGNS);
    EXPECT_STREQ(pgn_table.entries[255].description, "P255");
}

TEST(DescriptionLoader, NothingAfterThe257thHeaderIsRead)
{
    std::string text;
    for (int i = 0; i < 257; i++)
        text += "[PGN_" + std::to_string(i) + "]\n";
    text += "name = Late\n";

    clear_table();
    FILE *file = std::tmpfile();
    std::fputs(text.c_str(), file);
    std::rewind(file);
    testing::internal::CaptureStderr();
    EXPECT_EQ(load_descriptions_from(file), load_status::ok);
    testing::internal::GetCapturedStderr();

    char rest[64];
    ASSERT_NE(std::fgets(rest, sizeof rest, file), nullptr);
    EXPECT_STREQ(rest, "name = Late\n");
    EXPECT_STREQ(pgn_table.entries[255].description, "Unnamed PGN");
    std::fclose(file);
}

TEST(DescriptionLoader, FilesThatCannotBeReadFail)
{
    struct {
        const char *path;
        const char *error;
    } cases[] = {
        {"/nonexistent/n2k-devices.conf", "No such file or directory"},
        {"/", "Is a directory"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.path);
        clear_table();
        testing::internal::CaptureStderr();
        EXPECT_FALSE(load_descriptions(c.path));
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  std::string("Could not open config file: ") + c.error +
                      "\nCould not load config file for JSON mode.\n");
    }
}

TEST(TrimWhitespace, StripsBothEnds)
{
    struct {
        const char *in;
        const char *out;
    } cases[] = {
        {"", ""},   {" \t\n\v\f\r", ""},  {"  a b  ", "a b"},
        {"a", "a"}, {"\xA0 a", "\xA0 a"}, {" x\r\n", "x"},
    };
    for (const auto &c : cases) {
        char buffer[32];
        std::snprintf(buffer, sizeof buffer, "%s", c.in);
        EXPECT_STREQ(trim_whitespace(buffer), c.out) << '"' << c.in << '"';
    }
}
