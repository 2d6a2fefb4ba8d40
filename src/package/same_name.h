// When two destinations are one file on Windows. NTFS compares names without regard to case
// over all of Unicode, through the simple uppercase mapping of each UTF-16 code unit ("é.txt"
// is "É.txt", "ß" stays "ß"), and Windows drops the dots and spaces that end a part of a path
// ("a.txt. " is "a.txt"). The engine refuses a package with two entries that land on one
// object, and the runpack tool refuses, fails or marks it, all by this one rule.
#pragma once

#include <stdint.h>
#include <stdlib.h>

// The code unit as the file system compares it: its simple uppercase mapping (Unicode's), or
// the unit itself. Surrogates map to themselves.
uint16_t upcaseUnit(uint16_t unit);

// Writes into `key` (room for `length` units) the form under which `path` (UTF-16, `length`
// units, "\" and "/" both separators) is compared: every unit upper-cased, the dots and spaces
// that end a part dropped, then empty parts dropped and the rest joined by "\". Two leading
// separators (a share) stay as "\\". Returns the key's length.
uint32_t nameKey(const uint16_t* path, uint32_t length, uint16_t* key);

// One name that an entry takes: the file it writes, or a directory on its way.
struct NameKeyRecord {
    const uint16_t* key;  // a nameKey, or a prefix of one
    uint32_t length;
    uint32_t owner;       // the entry's index times 2, plus 1 for the file itself
};

// Writes, for the entry `index` whose destination has the key `key` (`length` units), a record
// for each directory on its way (each prefix that ends before a "\" of the key) and one for the
// whole key: its file when `namesFile`, else a directory (a destination that ends in a
// separator); `records` may be null to count them. Returns the number of records: none for an
// empty key, at most `length` + 1.
uint32_t nameKeyRecords(const uint16_t* key, uint32_t length, uint32_t index, bool namesFile,
                        NameKeyRecord* records);

// The order of records by their keys, unit by unit, a shorter key first: qsort's comparison.
int compareNameKeys(const void* left, const void* right);

// Sorts the records so that equal keys follow one another; O(n log n) comparisons.
inline void sortNameKeys(NameKeyRecord* records, uint32_t count) {
    // Nothing to order in fewer than two (and an empty list may have no storage at all).
    if (count > 1) qsort(records, count, sizeof(NameKeyRecord), compareNameKeys);
}

// True when the sorted records hold two entries that would land on one object: a file's key
// equal to another record's.
bool nameKeysClash(const NameKeyRecord* records, uint32_t count);

// In sorted records, the first group of equal keys at or after `from` in which a file meets a
// file or directory of another entry: two entries that would land on one object. Returns the
// group's first record and sets `*end` behind its last; returns `count` when there is none.
uint32_t nextNameClash(const NameKeyRecord* records, uint32_t count, uint32_t from, uint32_t* end);
