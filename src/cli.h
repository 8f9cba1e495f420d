#pragma once

// The launcher's command line: reads the options, runs one command, returns the exit code.
int cli_main(int argc, char** argv);
