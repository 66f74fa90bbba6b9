// Runs a function with standard output sent to a temporary file and returns what it wrote.
#pragma once

#include <functional>
#include <string>

std::string capture_stdout(const std::function<void()> &body);

// Loads a description file given as text into the (cleared) table; true when it loaded.
bool load_description_text(const std::string &text);
