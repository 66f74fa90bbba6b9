// Hands finished lines and objects to standard output.
#pragma once

#include <csignal>
#include <cstddef>

// Signals to hold back while a write reaches the descriptor. A blocked write that a signal
// interrupts fails, and stdio then drops everything it held; held back, the signal is
// delivered once the write is done. Empty until set.
void hold_during_writes(const sigset_t &signals);

// fwrite to standard output, guarded as above when stdio is about to write.
void emit_output(const char *text, std::size_t length);
