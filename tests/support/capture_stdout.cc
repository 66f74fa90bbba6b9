#include "capture_stdout.h"

#include <cstdio>
#include <stdexcept>
#include <unistd.h>

#include "descriptions/description_loader.h"
#include "descriptions/pgn_table.h"

std::string capture_stdout(const std::function<void()> &body)
{
    if (std::fflush(stdout) != 0)
        throw std::runtime_error("cannot flush standard output");
    FILE *sink = std::tmpfile();
    if (sink == nullptr)
        throw std::runtime_error("cannot make a temporary file");
    int saved = dup(1);
    if (saved < 0 || dup2(fileno(sink), 1) < 0)
        throw std::runtime_error("cannot redirect standard output");

    body();

    bool flushed = std::fflush(stdout) == 0;
    if (dup2(saved, 1) < 0 || close(saved) < 0 || !flushed)
        throw std::runtime_error("cannot restore standard output");

    std::string text;
    std::rewind(sink);
    char chunk[65536];
    std::size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, sink)) > 0)
        text.append(chunk, n);
    std::fclose(sink);
    return text;
}

bool load_description_text(const std::string &text)
{
    clear_table();
    FILE *file = std::tmpfile();
    if (file == nullptr || std::fwrite(text.data(), 1, text.size(), file) != text.size())
        throw std::runtime_error("cannot write the description text");
    std::rewind(file);
    load_status status = load_descriptions_from(file);
    std::fclose(file);
    return status == load_status::ok;
}
