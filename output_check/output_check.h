// The output check every program ends with: output that could not be written is an error.
//
// A line that fails to reach standard output (a full disk, a closed descriptor) is lost, and the
// C library then forgets why. So from before main, standard output is a stream of ours over the
// same descriptor, with the same buffering, that remembers the first failure; the program asks
// at its end, and the failure is reported once on stderr as "program: write error: reason".
// Each process of a fork keeps its own record, starting afresh in the child.
#pragma once

// Flushes and closes standard output; returns `status`, or 1 when a line could not be written
// (a status that already tells of a failure is kept).
int output_status(const char *program, int status);

// Flushes standard output and reports a failure so far, once; for a program that never returns.
// Returns false when a line could not be written.
bool output_written(const char *program);
