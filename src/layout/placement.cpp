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
static size_t layout1_dir(char *out, std::string_view key)
{
    int sum = 0;
    for (size_t i = 0; i < key.size() && i < 4; i++)
        sum += static_cast<signed char>(lower_byte(key[i]));
    out[0] = '/';
    out[1] = static_cast<char>('a' + sum % 26);
    return 2;
}

// Layout 2: the first two bytes after the key's first '_', or of the whole
// key when it has none, as they stand; "/" alone when there are none.
static size_t layout2_dir(char *out, std::string_view key)
{
    size_t us = key.find('_');
    std::string_view letters = us == std::string_view::npos ? key : key.substr(us + 1);
    out[0] = '/';
    if (letters.empty())
        return 1;
    out[1] = letters[0];
    if (letters.size() < 2)
        return 2;
    out[2] = '/';
    out[3] = letters[1];
    return 4;
}

const std::string &drop_file(std::string_view key, std::string_view name, int layout, std::string_view root)
{
    // The hash directory and the '/' before the name, put together first:
    // a destination is made for each of millions of mailboxes.
    char dir[5];
    size_t n = layout == 1 ? layout1_dir(dir, key) : layout == 2 ? layout2_dir(dir, key) : 0;
    dir[n++] = '/';
    bf.assign(root);
    bf.append(dir, n);
    bf.append(name);
    return bf;
}
