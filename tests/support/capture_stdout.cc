#include "capture_stdout.h"

#include <cstdio>
#include <stdexcept>
#include <unistd.h>

#include "descriptions/description_loader.h"
#include "descriptions/pgn_table.h"

std::string capture_stdout(const std::function<void()> &body)
{
    std::fflush(stdout);
    FILE *sink = std::tmpfile();
    int saved = dup(1);
    if (sink == nullptr || saved < 0 || dup2(fileno(sink), 1) < 0)
        throw std::runtime_error("cannot redirect standard output");

    body();
    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);

    std::string text;
    std::rewind(sink);
    char chunk[4096];
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
