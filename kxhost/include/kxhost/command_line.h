// One command line for every host program: a table of options per program
// (name, value, help), parsed with getopt_long, so that each program takes
// --opt VALUE and --opt=VALUE alike, answers --help and --version, and
// reports a wrong command line the same way:
//   <program>: <what is wrong> (try --help)      exit status 2
// The help text is printed from the same table; the manual pages and the
// bash completion are generated from the help.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace kxhost {

struct Option {
    const char *name;  // the long name, without "--"
    const char *value; // the value's name in the help ("FILE"); nullptr for a switch
    const char *help;  // '\n' starts a continuation line
};

struct Program {
    const char *name;        // as errors and the help name it: "kxsim run"
    const char *synopsis;    // what follows the name on the usage line(s)
    const char *description; // printed before the options
    std::vector<Option> options;
    const char *epilogue = nullptr; // printed after the options
};

// One option as given, in command-line order.
struct Given {
    std::string name; // without "--"
    std::string value;
};

// Parses args (without the program's name). Returns -1 when the program goes
// on with *given and *operands filled; otherwise the exit status: 0 after
// --help (usage on standard output) or --version, 2 after a wrong command
// line (reported on standard error). --help, -h and --version are part of
// every table. Operands are refused unless the program asks for them.
int ParseCommandLine(const Program &program, const std::vector<std::string> &args,
                     std::vector<Given> *given, std::vector<std::string> *operands = nullptr);

void PrintUsage(const Program &program, FILE *out);

// "<program>: <message> (try --help)" on standard error; returns 2.
int UsageError(const Program &program, const std::string &message);

// A whole number from min to max; otherwise reports
// "<program>: --NAME takes a number from MIN to MAX, not 'VALUE'" and is false.
bool NumberValue(const Program &program, const Given &option, long min, long max, long *out);

// The package's version, as --version shows it.
const char *Version();

} // namespace kxhost
