#include "shipping_process.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char **environ;

namespace
{

// Everything the child needs is made before fork, so that it only redirects and executes.
std::vector<char *> pointers(std::vector<std::string> &texts)
{
    std::vector<char *> result;
    for (std::string &text : texts)
        result.push_back(text.data());
    result.push_back(nullptr);
    return result;
}

std::vector<std::string> merged_environment(const std::vector<std::string> &overrides)
{
    std::vector<std::string> result;
    for (char **entry = environ; *entry != nullptr; entry++) {
        std::string text = *entry;
        std::string key = text.substr(0, text.find('='));
        bool overridden = std::any_of(overrides.begin(), overrides.end(), [&](auto &setting) {
            return setting.compare(0, key.size() + 1, key + "=") == 0;
        });
        if (!overridden)
            result.push_back(text);
    }
    result.insert(result.end(), overrides.begin(), overrides.end());
    return result;
}

} // namespace

std::string fresh_directory(const std::string &name)
{
    std::filesystem::path path = std::filesystem::path(N2K_SHIPPING_WORK_DIR) / name;
    std::filesystem::remove_all(path);
    std::filesystem::create_directories(path);
    return path.string();
}

std::vector<std::string> files_under(const std::string &root)
{
    std::vector<std::string> files;
    for (const auto &entry : std::filesystem::recursive_directory_iterator(root)) {
        if (entry.is_regular_file() || entry.is_symlink())
            files.push_back(std::filesystem::relative(entry.path(), root).string());
    }
    std::sort(files.begin(), files.end());
    return files;
}

std::string usage_text(const std::string &program)
{
    return "Usage: " + program +
           " <interface> [options]\n"
           "  -p <pgn>      Filter by a specific PGN (decimal)\n"
           "  -c <config>   Path to n2k-devices.conf file\n"
           "  -j            Output in JSON format (requires -c)\n\n";
}

command_result run_command(const std::vector<std::string> &argv,
                           const std::vector<std::string> &env, int timeout_seconds)
{
    // Files rather than pipes: a long output can never block the child while it is waited for.
    std::string dir = fresh_directory("run-" + std::to_string(getpid()));
    std::string out_path = dir + "/out";
    std::string err_path = dir + "/err";

    std::vector<std::string> args = argv;
    std::vector<std::string> vars = merged_environment(env);
    std::vector<char *> arg_pointers = pointers(args);
    std::vector<char *> env_pointers = pointers(vars);

    pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
    if (pid == 0) {
        int in = open("/dev/null", O_RDONLY);
        int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || out < 0 || err < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0)
            _exit(127);
        execve(arg_pointers[0], arg_pointers.data(), env_pointers.data());
        _exit(127);
    }

    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds);
    int status = 0;
    for (;;) {
        pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid)
            break;
        if (done < 0 && errno != EINTR)
            throw std::runtime_error(std::string("waitpid: ") + std::strerror(errno));
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }

    command_result result;
    result.out = read_file(out_path);
    result.err = read_file(err_path);
    result.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::filesystem::remove_all(dir);
    return result;
}

std::string sim_preload()
{
    const char *value = std::getenv("N2K_TEST_PRELOAD");
    return value != nullptr && *value != '\0' ? value : N2K_SIM_LIBRARY;
}
