#include "package/same_name.h"

#include <stdlib.h>

#include "package/upcase_runs.inc"

static bool isSeparator(uint16_t unit) { return unit == '\\' || unit == '/'; }

uint16_t upcaseUnit(uint16_t unit) {
    // The runs come in the order of their starts; a run of count 0 only moves the start on.
    uint32_t start = 0;
    for (uint32_t i = 0; i < sizeof(UPCASE_RUNS); i += 4) {
        const uint8_t* run = UPCASE_RUNS + i;
        uint32_t count = run[1] & 0x7F;
        if (count == 0) {
            start += static_cast<uint32_t>(run[0]) << 8;
            continue;
        }
        start += run[0];
        if (unit < start) break;
        uint32_t stride = (run[1] >> 7) + 1;
        uint32_t offset = unit - start;
        if (offset < count * stride && (offset & (stride - 1)) == 0) {
            return static_cast<uint16_t>(unit + (run[2] | (run[3] << 8)));
        }
    }
    return unit;
}

uint32_t nameKey(const uint16_t* path, uint32_t length, uint16_t* key) {
    uint32_t out = 0;
    if (length >= 2 && isSeparator(path[0]) && isSeparator(path[1])) {
        key[0] = key[1] = '\\';
        out = 2;
    }
    const uint32_t root = out;
    uint32_t partStart = out;
    for (uint32_t i = out;; ++i) {
        if (i < length && !isSeparator(path[i])) {
            key[out++] = upcaseUnit(path[i]);
            continue;
        }
        while (out > partStart && (key[out - 1] == '.' || key[out - 1] == ' ')) --out;
        if (i == length) break;
        if (out > partStart) key[out++] = '\\';
        partStart = out;
    }
    if (out > root && out == partStart) --out;  // the separator behind the last part
    return out;
}

uint32_t nameKeyRecords(const uint16_t* key, uint32_t length, uint32_t index, bool namesFile,
                        NameKeyRecord* records) {
    uint32_t count = 0;
    // A share's two leading separators give directory records of 0 and 1 units, which no
    // file's key can equal.
    for (uint32_t i = 0; i <= length; ++i) {
        bool last = i == length;
        if (last ? length == 0 : key[i] != '\\') continue;
        if (records != NULL) {
            records[count].key = key;
            records[count].length = i;
            records[count].owner = index * 2 + (last && namesFile ? 1 : 0);
        }
        ++count;
    }
    return count;
}

int compareNameKeys(const void* left, const void* right) {
    const NameKeyRecord* a = static_cast<const NameKeyRecord*>(left);
    const NameKeyRecord* b = static_cast<const NameKeyRecord*>(right);
    uint32_t common = a->length < b->length ? a->length : b->length;
    for (uint32_t i = 0; i < common; ++i) {
        if (a->key[i] != b->key[i]) return a->key[i] < b->key[i] ? -1 : 1;
    }
    return a->length == b->length ? 0 : a->length < b->length ? -1 : 1;
}

bool nameKeysClash(const NameKeyRecord* records, uint32_t count) {
    // In a group of equal keys that holds a file, the file stands next to another member.
    for (uint32_t i = 1; i < count; ++i) {
        if (((records[i - 1].owner | records[i].owner) & 1) != 0 &&
            compareNameKeys(&records[i - 1], &records[i]) == 0) {
            return true;
        }
    }
    return false;
}

uint32_t nextNameClash(const NameKeyRecord* records, uint32_t count, uint32_t from, uint32_t* end) {
    while (from < count) {
        uint32_t last = from + 1;
        bool file = (records[from].owner & 1) != 0;
        for (; last < count && compareNameKeys(&records[from], &records[last]) == 0; ++last) {
            file = file || (records[last].owner & 1) != 0;
        }
        // Keys of one entry all differ: a group of two or more holds several entries.
        if (file && last - from > 1) {
            *end = last;
            return from;
        }
        from = last;
    }
    *end = count;
    return count;
}
