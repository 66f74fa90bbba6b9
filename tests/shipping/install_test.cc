// cmake --install: the tree it lays out, and that the installed program reads the installed
// description file by default.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "shipping_process.h"

namespace
{

const std::string SOURCE_DIR = N2K_SOURCE_DIR;
const std::string CMAKE = N2K_CMAKE;
const std::string N2K_DEFAULT_CONFIG_STANDARD = "/usr/share/drelvin/n2k-devices.conf";

// The configured path without its leading slash: where it lands under a DESTDIR.
std::string under_root(const std::string &absolute)
{
    return absolute.substr(1);
}

std::string gunzip(const std::string &path)
{
    command_result text = run_command({"/bin/sh", "-c", "gzip -dc \"$0\"", path});
    EXPECT_EQ(text.exit_status, 0) << text.err;
    return text.out;
}

// The manual as a build with that description-file path installs it.
std::string manual_naming(const std::string &config)
{
    std::string text = read_file(SOURCE_DIR + "/man/n2k-listen.1");
    const std::string standard = "/usr/share/drelvin/n2k-devices.conf";
    for (std::size_t at = 0; (at = text.find(standard, at)) != std::string::npos;
         at += config.size())
        text.replace(at, standard.size(), config);
    return text;
}

void expect_usage_path(const std::string &program)
{
    command_result usage = run_command({program});
    EXPECT_EQ(usage.out, "");
    EXPECT_EQ(usage.err, usage_text(program));
    EXPECT_EQ(usage.exit_status, 1);
}

TEST(install, lays_out_program_manual_and_description_file_under_destdir)
{
    std::string destdir = fresh_directory("install-destdir");
    command_result install = run_command(
        {CMAKE, "--install", N2K_BUILD_DIR, "--prefix", "/opt/n2k"}, {"DESTDIR=" + destdir});
    ASSERT_EQ(install.exit_status, 0) << install.out << install.err;

    std::vector<std::string> expected = {"opt/n2k/bin/n2k-listen",
                                         "opt/n2k/share/man/man1/n2k-listen.1.gz",
                                         under_root(N2K_DEFAULT_CONFIG)};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(files_under(destdir), expected);

    EXPECT_EQ(gunzip(destdir + "/opt/n2k/share/man/man1/n2k-listen.1.gz"),
              manual_naming(N2K_DEFAULT_CONFIG));
    EXPECT_EQ(read_file(destdir + "/" + under_root(N2K_DEFAULT_CONFIG)),
              read_file(SOURCE_DIR + "/share/n2k-devices.conf"));

    struct stat info;
    ASSERT_EQ(stat((destdir + "/opt/n2k/bin/n2k-listen").c_str(), &info), 0);
    EXPECT_TRUE(info.st_mode & S_IXOTH);
    expect_usage_path(destdir + "/opt/n2k/bin/n2k-listen");
}

// A build whose default path lies in a scratch tree, installed there: before the install the
// program cannot find its file, after it the program decodes with it.
TEST(install, installed_program_reads_the_installed_file_without_c)
{
    std::string work = fresh_directory("install-relocated");
    std::string build = work + "/build";
    std::string prefix = work + "/root";
    std::string config = prefix + "/share/boat/n2k-devices.conf";

    command_result configure =
        run_command({CMAKE, "-S", SOURCE_DIR, "-B", build, "-G", N2K_GENERATOR,
                     "-DN2K_BUILD_TESTS=OFF", "-DN2K_J1939_ABI=" N2K_J1939_ABI,
                     "-DN2K_DEFAULT_CONFIG_PATH=" + config, "-DCMAKE_INSTALL_PREFIX=" + prefix});
    ASSERT_EQ(configure.exit_status, 0) << configure.out << configure.err;
    command_result compile =
        run_command({CMAKE, "--build", build, "--target", "n2k-listen", "n2k_manual"});
    ASSERT_EQ(compile.exit_status, 0) << compile.out << compile.err;

    std::string built = build + "/n2k-listen";
    command_result missing = run_command({built, "can0", "-j"});
    EXPECT_EQ(missing.out, "");
    EXPECT_EQ(missing.err, "Could not open config file: No such file or directory\n"
                           "Could not load config file for JSON mode.\n");
    EXPECT_EQ(missing.exit_status, 1);

    command_result install = run_command({CMAKE, "--install", build});
    ASSERT_EQ(install.exit_status, 0) << install.out << install.err;
    EXPECT_EQ(read_file(config), read_file(SOURCE_DIR + "/share/n2k-devices.conf"));
    std::string manual = gunzip(prefix + "/share/man/man1/n2k-listen.1.gz");
    EXPECT_EQ(manual, manual_naming(config));
    EXPECT_NE(manual.find(".Pa " + config), std::string::npos);

    // Compass at address 5: heading 1.5708 rad, deviation not available, variation
    // -0.0175 rad, magnetic.
    std::string feed = work + "/heading.log";
    write_file(feed, "(1700000000.000000) can0 09F11205#2A5C3DFF7F51FFFD\n");
    command_result run = run_command({prefix + "/bin/n2k-listen", "can0", "-j"},
                                     {"LD_PRELOAD=" + sim_preload(), "N2K_SIM_FEED=" + feed}, 60);
    EXPECT_EQ(run.out, "Listening for NMEA 2000 messages on can0...\n"
                       "{\n"
                       "  \"pgn\": 127250,\n"
                       "  \"description\": \"Vessel Heading\",\n"
                       "  \"sourceAddress\": 5,\n"
                       "  \"payloadLength\": 8,\n"
                       "  \"fields\": {\n"
                       "    \"sid\": 42.0000,\n"
                       "    \"heading\": 1.5708,\n"
                       "    \"deviation\": 3.2767,\n"
                       "    \"variation\": -0.0175,\n"
                       "    \"reference\": 1.0000\n"
                       "  }\n"
                       "}\n"
                       "\n"
                       "Exiting.\n");
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.exit_status, 0);
}

// make uninstall removes every file that the install wrote, and only those.
TEST(install, uninstall_removes_what_install_wrote)
{
    std::string work = fresh_directory("install-uninstall");
    std::string build = work + "/build";
    std::string destdir = work + "/root";
    command_result install =
        run_command({N2K_MAKE, "-C", SOURCE_DIR, "install", "BUILD=" + build,
                     "CMAKE_FLAGS=-DN2K_BUILD_TESTS=OFF -DN2K_J1939_ABI=" N2K_J1939_ABI,
                     "DESTDIR=" + destdir, "PREFIX=/usr"},
                    OWN_MAKE_ENV, 600);
    ASSERT_EQ(install.exit_status, 0) << install.out << install.err;
    write_file(destdir + "/usr/bin/other-program", "not ours\n");
    std::vector<std::string> expected = {"usr/bin/n2k-listen", "usr/bin/other-program",
                                         "usr/share/man/man1/n2k-listen.1.gz",
                                         under_root(N2K_DEFAULT_CONFIG_STANDARD)};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(files_under(destdir), expected);

    command_result uninstall = run_command(
        {N2K_MAKE, "-C", SOURCE_DIR, "uninstall", "BUILD=" + build, "DESTDIR=" + destdir},
        OWN_MAKE_ENV);
    EXPECT_EQ(uninstall.exit_status, 0) << uninstall.out << uninstall.err;
    EXPECT_EQ(files_under(destdir), std::vector<std::string>{"usr/bin/other-program"});

    command_result again = run_command(
        {N2K_MAKE, "-C", SOURCE_DIR, "uninstall", "BUILD=" + build, "DESTDIR=" + destdir},
        OWN_MAKE_ENV);
    EXPECT_NE(again.exit_status, 0);
    EXPECT_NE(again.err.find("nothing was installed"), std::string::npos) << again.err;
}

} // namespace
