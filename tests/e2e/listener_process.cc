#include "listener_process.h"
#include "test_files.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char **environ;

// The command the listener runs under when N2K_TEST_WRAPPER is not set: none, unless the
// build names one.
#ifndef N2K_TEST_WRAPPER_DEFAULT
#define N2K_TEST_WRAPPER_DEFAULT ""
#endif

namespace
{

// A setting from the environment when it is set and not empty.
std::string env_or(const char *name, const char *fallback)
{
    const char *value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : fallback;
}

std::vector<std::string> split_words(const std::string &text)
{
    std::vector<std::string> words;
    std::istringstream in(text);
    std::string word;
    while (in >> word)
        words.push_back(word);
    return words;
}

// Reads both pipes to their end; a descriptor of -1 is not read.
void drain(int out_fd, int err_fd, std::string *out, std::string *err)
{
    struct pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
    std::string *sinks[2] = {out, err};
    int open_count = (out_fd >= 0) + (err_fd >= 0);
    char chunk[65536];

    while (open_count > 0) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            throw std::runtime_error("poll failed");
        }
        for (int i = 0; i < 2; i++) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            ssize_t n = read(fds[i].fd, chunk, sizeof chunk);
            if (n > 0) {
                sinks[i]->append(chunk, static_cast<std::size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                close(fds[i].fd);
                fds[i].fd = -1;
                open_count--;
            }
        }
    }
}

long now_ms()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

} // namespace

run_result run_listener(const run_options &options)
{
    char dir_template[] = "/tmp/n2k-e2e-XXXXXX";
    if (mkdtemp(dir_template) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    const std::string dir = dir_template;
    const std::string log_path = dir + "/bus.log";

    std::vector<std::string> env;
    for (char **e = environ; *e != nullptr; e++)
        env.push_back(*e);
    env.push_back("LD_PRELOAD=" + env_or("N2K_TEST_PRELOAD", N2K_TEST_PRELOAD_DEFAULT));
    env.push_back("N2K_SIM_LOG=" + log_path);
    if (options.feed != nullptr) {
        write_file(dir + "/feed.log", options.feed);
        env.push_back("N2K_SIM_FEED=" + dir + "/feed.log");
    }
    for (const std::string &e : options.env)
        env.push_back(e);

    std::vector<std::string> argv =
        split_words(env_or("N2K_TEST_WRAPPER", N2K_TEST_WRAPPER_DEFAULT));
    std::string program = options.program != nullptr
                              ? options.program
                              : env_or("N2K_TEST_LISTENER", N2K_TEST_LISTENER_DEFAULT);
    std::string path = argv.empty() ? program : argv[0];
    const std::string link_dir = dir + "/bin";
    bool linked = false;
    if (argv.empty()) {
        argv.push_back(options.argv0);
    } else if (std::strchr(options.argv0, '/') == nullptr) {
        // A wrapper runs the program with the name it was given as argv[0], and the listener's
        // messages quote argv[0]: the name is a link on the front of PATH, which the wrapper
        // searches like a shell.
        if (mkdir(link_dir.c_str(), 0700) < 0 ||
            symlink(program.c_str(), (link_dir + "/" + options.argv0).c_str()) < 0)
            throw std::runtime_error("cannot link the listener under its name");
        linked = true;
        std::string search = "PATH=" + link_dir;
        for (std::string &e : env) {
            if (e.compare(0, 5, "PATH=") == 0)
                search += ":" + e.substr(5);
        }
        std::erase_if(env, [](const std::string &e) { return e.compare(0, 5, "PATH=") == 0; });
        env.push_back(search);
        argv.push_back(options.argv0);
    } else {
        argv.push_back(program);
    }
    for (const std::string &a : options.args)
        argv.push_back(a);

    std::vector<char *> argv_pointers, env_pointers;
    for (std::string &a : argv)
        argv_pointers.push_back(a.data());
    argv_pointers.push_back(nullptr);
    for (std::string &e : env)
        env_pointers.push_back(e.data());
    env_pointers.push_back(nullptr);

    int out_pipe[2], err_pipe[2], closed_pipe[2];
    if (pipe(out_pipe) < 0 || pipe(err_pipe) < 0 || pipe(closed_pipe) < 0)
        throw std::runtime_error("pipe failed");
    close(closed_pipe[0]);
    if (options.stdout_pipe_size > 0 &&
        fcntl(out_pipe[1], F_SETPIPE_SZ, options.stdout_pipe_size) < options.stdout_pipe_size)
        throw std::runtime_error("cannot size the pipe of standard output");

    pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        if (options.stdout_path == nullptr) {
            dup2(out_pipe[1], 1);
        } else if (std::strcmp(options.stdout_path, "-") == 0) {
            close(1);
        } else if (std::strcmp(options.stdout_path, "|") == 0) {
            dup2(closed_pipe[1], 1);
        } else {
            int fd = open(options.stdout_path, O_WRONLY);
            dup2(fd, 1);
            close(fd);
        }
        dup2(err_pipe[1], 2);
        close(out_pipe[0]);
        close(out_pipe[1]);
        close(err_pipe[0]);
        close(err_pipe[1]);
        close(closed_pipe[1]);
        int devnull = open("/dev/null", O_RDONLY);
        dup2(devnull, 0);
        close(devnull);
        // Only the standard descriptors pass, so the socket's number is the same whatever the
        // test runner leaves open.
        for (int fd = 3; fd < 1024; fd++)
            close(fd);
        if (options.ignore_sigpipe)
            signal(SIGPIPE, SIG_IGN);
        if (options.ignore_sighup)
            signal(SIGHUP, SIG_IGN);
        // A wrapper named without a directory is searched for on PATH.
        execvpe(path.c_str(), argv_pointers.data(), env_pointers.data());
        _exit(127);
    }
    close(out_pipe[1]);
    close(err_pipe[1]);
    close(closed_pipe[1]);

    run_result result;
    std::thread reader;
    auto start_reader = [&] {
        reader = std::thread(drain, out_pipe[0], err_pipe[0], &result.out, &result.err);
    };
    if (!options.stall_output)
        start_reader();
    if (options.while_running)
        options.while_running(pid, log_path);
    if (options.stall_output && options.close_stalled_output) {
        close(out_pipe[0]);
        out_pipe[0] = -1;
    }
    if (options.stall_output)
        start_reader();

    int status = 0;
    long deadline = now_ms() + options.timeout_seconds * 1000L;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (now_ms() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            reader.join();
            throw std::runtime_error("the listener did not end in time; stderr: " + result.err);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    reader.join();

    if (WIFEXITED(status))
        result.exit_status = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        result.term_signal = WTERMSIG(status);
    result.log = read_file_or_empty(log_path);

    std::remove((dir + "/feed.log").c_str());
    std::remove(log_path.c_str());
    if (linked) {
        std::remove((link_dir + "/" + options.argv0).c_str());
        rmdir(link_dir.c_str());
    }
    rmdir(dir.c_str());
    return result;
}

bool wait_for_log(const std::string &log_path, const std::string &line, int timeout_ms)
{
    long deadline = now_ms() + timeout_ms;
    while (now_ms() < deadline) {
        std::string log = "\n" + read_file_or_empty(log_path);
        if (log.find("\n" + line + "\n") != std::string::npos)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
}

bool wait_for_syscall(pid_t pid, std::vector<int> numbers, int timeout_ms)
{
    std::string path = "/proc/" + std::to_string(pid) + "/syscall";
    long deadline = now_ms() + timeout_ms;
    while (now_ms() < deadline) {
        std::string text = read_file_or_empty(path);
        int number = std::atoi(text.c_str());
        for (int n : numbers) {
            if (n == number && !text.empty() && text.compare(0, 7, "running") != 0)
                return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
}

bool wait_until_waiting(pid_t pid, const std::string &log_path)
{
    // recvfrom, recvmsg or read: whichever the simulated bus blocks in.
    return wait_for_log(log_path, "wait") && wait_for_syscall(pid, {45, 47, 0});
}

bool wait_until_fed(pid_t pid)
{
    // The feeder sits in poll once it has sent everything, until the listener's end closes.
    std::string children =
        "/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children";
    long deadline = now_ms() + 20000;
    while (now_ms() < deadline) {
        int feeder = std::atoi(read_file_or_empty(children).c_str());
        if (feeder > 0)
            return wait_for_syscall(feeder, {7, 271}, static_cast<int>(deadline - now_ms()));
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
}

std::vector<std::string> log_lines(const std::string &log, const std::string &prefix)
{
    std::vector<std::string> lines;
    std::istringstream in(log);
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, prefix.size(), prefix) == 0)
            lines.push_back(line);
    }
    return lines;
}

std::string raw_line(unsigned pgn, unsigned source, const std::vector<unsigned char> &payload)
{
    char head[96];
    std::snprintf(head, sizeof head, "PGN: %-6u  SRC: %-3u  LEN: %-3d  DATA: ", pgn, source,
                  static_cast<int>(payload.size()));
    std::string line = head;
    for (unsigned char b : payload) {
        char hex[4];
        std::snprintf(hex, sizeof hex, "%02X ", b);
        line += hex;
    }
    return line + "\n";
}
