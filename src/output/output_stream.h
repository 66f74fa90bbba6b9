// Hands finished lines and objects to standard output.
#pragma once

#include <csignal>
#include <cstddef>

// Whether a write to fd can wait, and so be cut short by a signal: a pipe's, a socket's or a
// terminal's can; a regular file's and /dev/null's never wait. True when fd cannot be told.
bool writes_may_wait(int fd);

// Signals to hold back while a write reaches the descriptor. A blocked write that a signal
// interrupts fails, and stdio then drops everything it held; held back, the signal is
// delivered once the write is done. Where standard output's writes never wait, nothing needs
// holding, and the two system calls around each write are saved; that is decided here, so
// standard output must be in place first. Empty until set.
void hold_during_writes(const sigset_t &signals);

// fwrite to standard output, guarded as above when stdio is about to write.
void emit_output(const char *text, std::size_t length);
