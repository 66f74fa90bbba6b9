// The Debian package that CPack builds: its control data, its contents, and that the packaged
// program runs.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "shipping_process.h"

namespace
{

const std::string SOURCE_DIR = N2K_SOURCE_DIR;

std::string control_field(const std::string &deb, const std::string &name)
{
    command_result field = run_command({N2K_DPKG_DEB, "--field", deb, name});
    EXPECT_EQ(field.exit_status, 0) << field.err;
    return field.out;
}

TEST(package, holds_program_manual_and_description_file_and_runs)
{
    std::string work = fresh_directory("package");
    command_result pack = run_command(
        {N2K_CPACK, "--config", N2K_BUILD_DIR "/CPackConfig.cmake", "-G", "DEB", "-B", work});
    ASSERT_EQ(pack.exit_status, 0) << pack.out << pack.err;

    std::vector<std::string> debs;
    for (const auto &entry : std::filesystem::directory_iterator(work)) {
        if (entry.path().extension() == ".deb")
            debs.push_back(entry.path().string());
    }
    ASSERT_EQ(debs.size(), 1u);
    const std::string &deb = debs[0];

    EXPECT_EQ(control_field(deb, "Package"), "n2k-listen\n");
    // dpkg-shlibdeps names the libraries the program links with, with their minimum versions.
    std::string depends = control_field(deb, "Depends");
    EXPECT_NE(depends.find("libc6 (>= "), std::string::npos) << depends;

    std::string root = work + "/root";
    command_result unpack = run_command({N2K_DPKG_DEB, "--extract", deb, root});
    ASSERT_EQ(unpack.exit_status, 0) << unpack.err;

    std::vector<std::string> expected = {"usr/bin/n2k-listen", "usr/share/man/man1/n2k-listen.1",
                                         std::string(N2K_DEFAULT_CONFIG).substr(1)};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(files_under(root), expected);
    EXPECT_EQ(read_file(root + N2K_DEFAULT_CONFIG),
              read_file(SOURCE_DIR + "/share/n2k-devices.conf"));

    std::string program = root + "/usr/bin/n2k-listen";
    command_result usage = run_command({program});
    EXPECT_EQ(usage.out, "");
    EXPECT_EQ(usage.err, usage_text(program));
    EXPECT_EQ(usage.exit_status, 1);
}

} // namespace
