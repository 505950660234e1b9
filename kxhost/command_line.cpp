#include "kxhost/command_line.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <getopt.h>

namespace kxhost {

namespace {

const Option kHelp = {"help", nullptr, "show this help and exit"};
const Option kVersion = {"version", nullptr, "show the version and exit"};

void PrintOption(const Option &option, FILE *out) {
    std::string left = std::string("  --") + option.name;
    if (option.value)
        left += std::string(" ") + option.value;
    const size_t column = 22;
    if (left.size() + 2 > column)
        left += "\n" + std::string(column, ' ');
    else
        left.resize(column, ' ');
    std::string help = option.help;
    for (size_t nl = 0; (nl = help.find('\n', nl)) != std::string::npos; nl += column + 1)
        help.insert(nl + 1, std::string(column, ' '));
    fprintf(out, "%s%s\n", left.c_str(), help.c_str());
}

} // namespace

const char *Version() {
    return KX_VERSION;
}

void PrintUsage(const Program &program, FILE *out) {
    // Each line of the synopsis gets its own "usage:" prefix width.
    std::string synopsis = program.synopsis;
    std::string indent(strlen("usage: ") + strlen(program.name) + 1, ' ');
    for (size_t nl = 0; (nl = synopsis.find('\n', nl)) != std::string::npos; nl += indent.size())
        synopsis.insert(nl + 1, indent);
    fprintf(out, "usage: %s %s\n\n%s\n\n", program.name, synopsis.c_str(), program.description);
    for (const Option &option : program.options)
        PrintOption(option, out);
    PrintOption(kHelp, out);
    PrintOption(kVersion, out);
    if (program.epilogue)
        fprintf(out, "\n%s", program.epilogue);
}

int UsageError(const Program &program, const std::string &message) {
    fprintf(stderr, "%s: %s (try --help)\n", program.name, message.c_str());
    return 2;
}

bool NumberValue(const Program &program, const Given &option, long min, long max, long *out) {
    const std::string &v = option.value;
    char *end = nullptr;
    errno = 0;
    long n = strtol(v.c_str(), &end, 10);
    if (v.empty() || *end || errno == ERANGE || n < min || n > max) {
        fprintf(stderr, "%s: --%s takes a number from %ld to %ld, not '%s'\n", program.name,
                option.name.c_str(), min, max, v.c_str());
        return false;
    }
    *out = n;
    return true;
}

int ParseCommandLine(const Program &program, const std::vector<std::string> &args,
                     std::vector<Given> *given, std::vector<std::string> *operands) {
    std::vector<option> table;
    for (const Option &o : program.options)
        table.push_back({o.name, o.value ? required_argument : no_argument, nullptr, 0});
    table.push_back({kHelp.name, no_argument, nullptr, 'h'});
    table.push_back({kVersion.name, no_argument, nullptr, 'V'});
    table.push_back({nullptr, 0, nullptr, 0});

    std::vector<std::string> words(1, program.name);
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &w : words)
        argv.push_back(&w[0]);
    argv.push_back(nullptr);

    // "+": options end at the first operand, as the programs always read
    // them; ":": a missing value is told apart from an unknown option.
    optind = 0; // a full new scan (glibc), as each program parses once
    opterr = 0;
    const int argc = static_cast<int>(argv.size() - 1);
    int index = -1;
    for (int c;
         (index = -1, c = getopt_long(argc, argv.data(), "+:h", table.data(), &index)) != -1;) {
        const std::string word = argv[optind - 1] ? argv[optind - 1] : "";
        if (c == 'h') {
            PrintUsage(program, stdout);
            return 0;
        } else if (c == 'V') {
            printf("%s (kxradio) %s\n", program.name, Version());
            return 0;
        } else if (c == ':') {
            return UsageError(program, word.substr(0, word.find('=')) + " needs a value");
        } else if (c == '?') {
            std::string shown = optopt ? std::string("-") + char(optopt) : word;
            size_t equals = word.find('=');
            if (!optopt && equals != std::string::npos && word.compare(0, 2, "--") == 0) {
                shown = word.substr(0, equals);
                for (const Option &o : program.options)
                    if (!o.value && shown == std::string("--") + o.name)
                        return UsageError(program, shown + " takes no value");
            }
            return UsageError(program, "unknown option '" + shown + "'");
        } else if (c == 0 && index >= 0) {
            given->push_back({table[static_cast<size_t>(index)].name, optarg ? optarg : ""});
        }
    }
    for (int i = optind; i < argc; ++i) {
        if (!operands)
            return UsageError(program, std::string("unexpected argument '") + argv[i] + "'");
        operands->push_back(argv[i]);
    }
    return -1;
}

} // namespace kxhost
