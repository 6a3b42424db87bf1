#include "run/run.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

bool parse_layout(const char *text, int &layout)
{
    // Blanks as strtol takes them; then nothing but a sign and digits, so
    // that a typo is refused rather than read as layout 0 or as a part of it.
    const char *p = text;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r'))
        p++;
    const char *digits = p + (*p == '+' || *p == '-');
    if (*digits < '0' || *digits > '9' || digits[std::strspn(digits, "0123456789")] != '\0')
        return false;
    errno = 0;
    long v = std::strtol(p, nullptr, 10);
    if (errno == ERANGE || v > INT_MAX || v < INT_MIN)
        return false;
    layout = static_cast<int>(v);
    return true;
}

// The conventional questions, asked the conventional ways.
static parse_result question(std::string_view arg)
{
    if (arg == "-h" || arg == "-help" || arg == "--help")
        return parse_help;
    if (arg == "-version" || arg == "--version")
        return parse_version;
    return parse_invalid;
}

parse_result parse_options(int argc, char **argv, options &opt, std::string &bad, std::string &value)
{
    for (int i = 1; i < argc; i++) {
        std::string_view arg = argv[i];
        if (arg == "-doit" || arg == "-prune" || arg == "-stage") {
            (arg == "-doit" ? opt.doit : arg == "-prune" ? opt.prune : opt.stage) = 1;
            continue;
        }
        bool takes_value = arg == "-hash" || arg == "-path" || arg == "-sep";
        bad = arg;
        if (!takes_value)
            return question(arg);
        if (i + 1 >= argc)
            return parse_missing_value;
        const char *v = argv[++i];
        if (arg == "-hash" && !parse_layout(v, opt.layout)) {
            value = v;
            return parse_bad_value;
        }
        if (arg == "-path")
            opt.root = v;
        else if (arg == "-sep")
            opt.sep = static_cast<signed char>(v[0]);
    }
    return parse_ok;
}
