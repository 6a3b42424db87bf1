#include "layout/layout.h"

static std::string bf;

static char lower_byte(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string &strlwr(std::string &text)
{
    for (char &c : text)
        c = lower_byte(c);
    return text;
}

// Layout 1: one byte from the sum of the first four bytes of the lowered
// key, taken as signed. The remainder keeps the sign of the sum, so keys
// with bytes of 0x80 and above give bytes below 'a', among them '\'.
static void layout1_dir(std::string &out, std::string_view key)
{
    int sum = 0;
    for (size_t i = 0; i < key.size() && i < 4; i++)
        sum += static_cast<signed char>(lower_byte(key[i]));
    out += '/';
    out += static_cast<char>('a' + sum % 26);
}

// Layout 2: the first two bytes after the key's first '_', or of the whole
// key when it has none, as they stand; "/" alone when there are none.
static void layout2_dir(std::string &out, std::string_view key)
{
    size_t us = key.find('_');
    std::string_view letters = us == std::string_view::npos ? key : key.substr(us + 1);
    out += '/';
    if (letters.empty())
        return;
    out += letters[0];
    if (letters.size() < 2)
        return;
    out += '/';
    out += letters[1];
}

const std::string &drop_file(std::string_view key, std::string_view name, int layout, std::string_view root)
{
    bf.assign(root);
    if (layout == 1)
        layout1_dir(bf, key);
    else if (layout == 2)
        layout2_dir(bf, key);
    bf += '/';
    bf += name;
    return bf;
}
