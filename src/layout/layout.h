// Layout rule: where an entry belongs under a layout. These bytes are the
// on-disk format of the spool's hashing types; they must not change.
#pragma once

#include <string>
#include <string_view>

// Lowers exactly 'A' to 'Z', in place; every other byte stays.
std::string &strlwr(std::string &text);

// The destination of the entry `name`, hashed by `key`, under `layout`
// below `root`: root, the hash directory, "/", name. The result lives in
// one buffer that the next call overwrites; copy it before calling again.
const std::string &drop_file(std::string_view key, std::string_view name, int layout, std::string_view root);
