#include "runpack/package/name_clashes.h"

#include <algorithm>

#include "package/same_name.h"
#include "runpack/package/text_encoding.h"

std::vector<NameClash> findNameClashes(const std::vector<std::string>& destinations) {
    // Every key first, so that the records can point into them.
    std::vector<std::u16string> keys(destinations.size());
    std::vector<bool> namesFile(destinations.size(), false);
    std::string ignored;
    for (size_t i = 0; i < destinations.size(); ++i) {
        std::u16string path;
        if (!utf8ToUtf16(destinations[i], &path, &ignored) || path.empty()) continue;
        namesFile[i] = path.back() != u'\\' && path.back() != u'/';
        keys[i].resize(path.size());
        const uint16_t* units = reinterpret_cast<const uint16_t*>(path.data());
        keys[i].resize(nameKey(units, static_cast<uint32_t>(path.size()), reinterpret_cast<uint16_t*>(&keys[i][0])));
    }
    std::vector<NameKeyRecord> records;
    for (size_t i = 0; i < keys.size(); ++i) {
        const uint16_t* key = reinterpret_cast<const uint16_t*>(keys[i].data());
        const uint32_t length = static_cast<uint32_t>(keys[i].size());
        const size_t at = records.size();
        records.resize(at + nameKeyRecords(key, length, static_cast<uint32_t>(i), namesFile[i], nullptr));
        nameKeyRecords(key, length, static_cast<uint32_t>(i), namesFile[i], records.data() + at);
    }
    const uint32_t count = static_cast<uint32_t>(records.size());
    sortNameKeys(records.data(), count);
    std::vector<NameClash> clashes;
    uint32_t end = 0;
    for (uint32_t group = nextNameClash(records.data(), count, 0, &end); group < count;
         group = nextNameClash(records.data(), count, end, &end)) {
        // The group's first file against every other entry in it: two directories of one
        // name are one directory, which is no clash. Linear in the group's size.
        uint32_t file = group;
        while ((records[file].owner & 1) == 0) ++file;
        const size_t x = records[file].owner / 2;
        for (uint32_t b = group; b < end; ++b) {
            const size_t y = records[b].owner / 2;
            if (x != y) clashes.push_back({std::min(x, y), std::max(x, y)});
        }
    }
    std::sort(clashes.begin(), clashes.end(),
              [](const NameClash& l, const NameClash& r) { return l.first != r.first ? l.first < r.first : l.second < r.second; });
    clashes.erase(std::unique(clashes.begin(), clashes.end(),
                              [](const NameClash& l, const NameClash& r) { return l.first == r.first && l.second == r.second; }),
                  clashes.end());
    return clashes;
}

std::vector<std::vector<size_t>> clashPartners(const std::vector<NameClash>& clashes, size_t count) {
    std::vector<std::vector<size_t>> partners(count);
    for (const NameClash& c : clashes) {
        partners[c.first].push_back(c.second);
        partners[c.second].push_back(c.first);
    }
    for (std::vector<size_t>& p : partners) std::sort(p.begin(), p.end());
    return partners;
}
