// Which entries of a package land on one file or directory on Windows, by the rule the engine
// applies (package/same_name.h): `build` refuses such entries, `verify` and `extract` fail,
// `list` marks them.
#pragma once

#include <stddef.h>

#include <string>
#include <vector>

// Two entries, by their index in the list given (first < second), that name one object.
struct NameClash {
    size_t first;
    size_t second;
};

// The clashes among `destinations`, each an entry's destination in UTF-8 as the engine
// composes it (directory, "\", name); one that ends in a separator names a directory only.
// Destinations that are not UTF-8 take no part. Each pair once, in order.
std::vector<NameClash> findNameClashes(const std::vector<std::string>& destinations);

// For each of `count` entries, the indexes of the entries it clashes with, in order.
std::vector<std::vector<size_t>> clashPartners(const std::vector<NameClash>& clashes, size_t count);
