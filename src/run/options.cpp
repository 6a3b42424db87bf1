#include "run/run.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

int parse_layout(const char *text)
{
    long v = std::strtol(text, nullptr, 10);
    if (v > INT_MAX)
        return INT_MAX;
    if (v < INT_MIN)
        return INT_MIN;
    return static_cast<int>(v);
}

parse_result parse_options(int argc, char **argv, options &opt, std::string &bad)
{
    for (int i = 1; i < argc; i++) {
        std::string_view arg = argv[i];
        bool takes_value = arg == "-hash" || arg == "-path" || arg == "-sep";
        if (arg == "-doit") {
            opt.doit = 1;
            continue;
        }
        if (!takes_value) {
            bad = arg;
            return parse_invalid;
        }
        if (i + 1 >= argc) {
            bad = arg;
            return parse_missing_value;
        }
        const char *value = argv[++i];
        if (arg == "-hash")
            opt.layout = parse_layout(value);
        else if (arg == "-path")
            opt.root = value;
        else
            opt.sep = static_cast<signed char>(value[0]);
    }
    return parse_ok;
}
