// The run as a whole.
#pragma once

// Runs the program on its command line and gives the exit code: 0 when the
// walk ran (whatever failed inside it), 1 when the run was refused. Some
// refusals end the process from deeper down, with code 1 as well.
int run_main(int argc, char** argv);
