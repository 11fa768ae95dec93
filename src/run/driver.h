// The run as a whole.
#pragma once

// Runs the program on its command line and gives the exit code: 0 when the
// walk ran (whatever failed inside it), 1 when the run was refused. Some
// refusals end the process from deeper down, with code 1 as well.
int run_main(int argc, char** argv);

// True when the two operands overlap: one text is a prefix of the other, or
// both exist and one real directory is the other or lies inside it.
bool operands_overlap(const char* src, const char* dst);
