// The Debian package that `make package` builds: its control data, its contents, that the
// packaged program runs, and that lintian finds nothing to say about it.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "shipping_process.h"

namespace
{

const std::string SOURCE_DIR = N2K_SOURCE_DIR;
const char STANDARD_CONFIG[] = "/usr/share/drelvin/n2k-devices.conf";

std::string control_field(const std::string &deb, const std::string &name)
{
    command_result field = run_command({N2K_DPKG_DEB, "--field", deb, name});
    EXPECT_EQ(field.exit_status, 0) << field.err;
    return field.out;
}

std::string gunzip(const std::string &path)
{
    command_result text = run_command({"/bin/sh", "-c", "gzip -dc \"$0\"", path});
    EXPECT_EQ(text.exit_status, 0) << text.err;
    return text.out;
}

// Runs `make package` into a build folder of the test's own and returns the one .deb made.
std::string make_package(const std::string &build)
{
    command_result pack = run_command(
        {N2K_MAKE, "-C", SOURCE_DIR, "package", "PACKAGE_BUILD=" + build}, OWN_MAKE_ENV, 600);
    EXPECT_EQ(pack.exit_status, 0) << pack.out << pack.err;

    std::vector<std::string> debs;
    for (const auto &entry : std::filesystem::directory_iterator(build)) {
        if (entry.path().extension() == ".deb")
            debs.push_back(entry.path().string());
    }
    EXPECT_EQ(debs.size(), 1u);
    return debs.empty() ? "" : debs[0];
}

// Once made, the package is shared by the tests below.
const std::string &the_package()
{
    // A build folder whose cache names another path, as a port's install leaves one: the
    // package still gets the standard path.
    static const std::string deb = [] {
        std::string build = fresh_directory("package") + "/build-package";
        command_result configure =
            run_command({N2K_CMAKE, "-S", SOURCE_DIR, "-B", build, "-G", N2K_GENERATOR,
                         "-DN2K_DEFAULT_CONFIG_PATH=/usr/local/share/drelvin/n2k-devices.conf"});
        EXPECT_EQ(configure.exit_status, 0) << configure.out << configure.err;
        return make_package(build);
    }();
    return deb;
}

TEST(package, holds_program_manual_licence_changelog_and_description_file_and_runs)
{
    const std::string &deb = the_package();
    ASSERT_FALSE(deb.empty());
    std::string architecture = control_field(deb, "Architecture");
    architecture.pop_back();
    EXPECT_EQ(std::filesystem::path(deb).filename(),
              "n2k-listen_" N2K_VERSION "_" + architecture + ".deb");

    EXPECT_EQ(control_field(deb, "Package"), "n2k-listen\n");
    EXPECT_EQ(control_field(deb, "Version"), N2K_VERSION "\n");
    // dpkg-shlibdeps names the libraries the program links with, with their minimum versions.
    std::string depends = control_field(deb, "Depends");
    EXPECT_NE(depends.find("libc6 (>= "), std::string::npos) << depends;

    std::string root = std::filesystem::path(deb).parent_path().string() + "/root";
    std::filesystem::remove_all(root);
    command_result unpack = run_command({N2K_DPKG_DEB, "--extract", deb, root});
    ASSERT_EQ(unpack.exit_status, 0) << unpack.err;

    std::vector<std::string> expected = {
        "usr/bin/n2k-listen", "usr/share/doc/n2k-listen/changelog.gz",
        "usr/share/doc/n2k-listen/copyright", "usr/share/man/man1/n2k-listen.1.gz",
        std::string(STANDARD_CONFIG).substr(1)};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(files_under(root), expected);
    EXPECT_EQ(read_file(root + STANDARD_CONFIG), read_file(SOURCE_DIR + "/share/n2k-devices.conf"));
    EXPECT_EQ(gunzip(root + "/usr/share/man/man1/n2k-listen.1.gz"),
              read_file(SOURCE_DIR + "/man/n2k-listen.1"));
    EXPECT_EQ(gunzip(root + "/usr/share/doc/n2k-listen/changelog.gz"),
              read_file(SOURCE_DIR + "/packaging/changelog"));
    // The changelog's latest entry is this version.
    EXPECT_EQ(
        read_file(SOURCE_DIR + "/packaging/changelog").rfind("n2k-listen (" N2K_VERSION ")", 0),
        0u);

    // The copyright file carries LICENSE's conditions word for word, as a DEP-5 paragraph.
    std::string copyright = read_file(root + "/usr/share/doc/n2k-listen/copyright");
    std::string license = read_file(SOURCE_DIR + "/LICENSE");
    std::string conditions = license.substr(license.find("\n\n") + 2);
    std::string indented = " ";
    for (std::size_t i = 0; i + 1 < conditions.size(); i++) {
        indented += conditions[i];
        if (conditions[i] == '\n')
            indented += conditions[i + 1] == '\n' ? " ." : " ";
    }
    indented += "\n";
    std::string::size_type at = copyright.find("License: BSD-2-Clause\n ");
    ASSERT_NE(at, std::string::npos) << copyright;
    EXPECT_EQ(copyright.substr(at + 22), indented);

    std::string program = root + "/usr/bin/n2k-listen";
    command_result usage = run_command({program});
    EXPECT_EQ(usage.out, "");
    EXPECT_EQ(usage.err, usage_text(program));
    EXPECT_EQ(usage.exit_status, 1);
    command_result version = run_command({program, "--version"});
    EXPECT_EQ(version.out, "n2k-listen " N2K_VERSION "\n");
    EXPECT_EQ(version.exit_status, 0);
}

TEST(package, lintian_reports_no_errors_and_no_warnings)
{
    ASSERT_EQ(std::string(N2K_LINTIAN).find("NOTFOUND"), std::string::npos)
        << "lintian is not installed; tools/install-deps.sh installs it";
    const std::string &deb = the_package();
    ASSERT_FALSE(deb.empty());

    command_result lint = run_command({N2K_LINTIAN, "--fail-on", "error,warning", deb}, {}, 600);
    EXPECT_EQ(lint.out, "");
    EXPECT_EQ(lint.exit_status, 0) << lint.err;
}

} // namespace
