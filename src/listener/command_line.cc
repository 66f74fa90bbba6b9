#include "listener/command_line.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#ifndef N2K_DEFAULT_CONFIG_PATH
#define N2K_DEFAULT_CONFIG_PATH "/usr/share/drelvin/n2k-devices.conf"
#endif
#ifndef N2K_VERSION
#error "N2K_VERSION must name the project's version"
#endif

namespace
{

// Scanning stops at the first argument that is not an option. glibc's getopt permutes the
// arguments unless the option string starts with '+'; elsewhere '+' would be an option letter.
#ifdef __GLIBC__
constexpr char OPTIONS[] = "+p:c:j";
#else
constexpr char OPTIONS[] = "p:c:j";
#endif

void print_usage(FILE *stream, const char *program)
{
    std::fprintf(stream,
                 "Usage: %s <interface> [options]\n"
                 "  -p <pgn>      Filter by a specific PGN (decimal)\n"
                 "  -c <config>   Path to n2k-devices.conf file\n"
                 "  -j            Output in JSON format (requires -c)\n\n",
                 program);
}

} // namespace

int32_t parse_pgn_filter(const char *text)
{
    // strtol saturates at the limits of long; 32 bits need a second clamp.
    int saved_errno = errno;
    long value = std::strtol(text, nullptr, 10);
    errno = saved_errno;

    if (value > INT32_MAX)
        return INT32_MAX;
    if (value < INT32_MIN)
        return INT32_MIN;
    return static_cast<int32_t>(value);
}

bool parse_command_line(int argc, char **argv, listener_settings *settings)
{
    const char *program = argc > 0 ? argv[0] : "n2k-listen";
    if (argc < 2) {
        print_usage(stderr, program);
        return false;
    }

    settings->interface_name = argv[1];
    settings->pgn_filter = 0;
    settings->config_path = N2K_DEFAULT_CONFIG_PATH;
    settings->json_mode = false;

    // The interface comes first, so the options start at the second argument.
    optind = 2;
    int option;
    while ((option = getopt(argc, argv, OPTIONS)) != -1) {
        switch (option) {
        case 'p':
            settings->pgn_filter = parse_pgn_filter(optarg);
            break;
        case 'c':
            settings->config_path = optarg;
            break;
        case 'j':
            settings->json_mode = true;
            break;
        default:
            print_usage(stderr, program);
            return false;
        }
    }
    return true;
}

int answer_help_or_version(int argc, char **argv)
{
    if (argc != 2)
        return -1;
    if (std::strcmp(argv[1], "--help") == 0)
        print_usage(stdout, argv[0]);
    else if (std::strcmp(argv[1], "--version") == 0)
        std::fputs("n2k-listen " N2K_VERSION "\n", stdout);
    else
        return -1;

    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::perror("stdout");
        return 1;
    }
    return 0;
}
