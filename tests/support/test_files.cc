#include "test_files.h"

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace
{

std::string read_all(std::ifstream &in)
{
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

} // namespace

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path);
    return read_all(in);
}

std::string read_file_or_empty(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return read_all(in);
}

void write_file(const std::string &path, const std::string &text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out)
        throw std::runtime_error("cannot write " + path);
}
