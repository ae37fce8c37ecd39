// Command line of velmor: the mode word and the option pairs.
#pragma once

// Mode word and option pairs into g_par; sets the two mode flags. A bad
// command line prints the usage line or "option inconnue : %s\n", status 2.
void parse_command_line(int argc, char** argv, int* fairing, int* draping);
