// Every node of a version resource has the same head: its length in bytes (the node with its
// value and children, not the padding after it), the length of its value (in characters,
// terminator included, for a text value; in bytes for a binary one), its type (1 text, 0
// binary) and a NUL-terminated UTF-16 key. The value and each child start on a 4-byte
// boundary, counted from the start of the resource. The tree:
//   VS_VERSION_INFO (binary value: VS_FIXEDFILEINFO, 13 DWORDs)
//     StringFileInfo
//       "040904B0" (one table per language and code page)
//         one text node per string: key and value
//     VarFileInfo
//       Translation (binary value: DWORDs of language | code page << 16)
#include "runpack/image/version_resource.h"

#include <algorithm>

namespace {

const uint32_t NODE_HEAD_SIZE = 6;
const uint32_t NODE_ALIGNMENT = 4;
const uint32_t MAX_NODE_LENGTH = 0xFFFF;
const uint16_t NODE_BINARY = 0;
const uint16_t NODE_TEXT = 1;

const char16_t ROOT_KEY[] = u"VS_VERSION_INFO";
const char16_t STRING_FILE_INFO_KEY[] = u"StringFileInfo";
const char16_t VAR_FILE_INFO_KEY[] = u"VarFileInfo";
const char16_t TRANSLATION_KEY[] = u"Translation";

// VS_FIXEDFILEINFO: signature, structure version, then the numbers below.
const uint32_t FIXED_SIGNATURE = 0xFEEF04BD;
const uint32_t FIXED_STRUCTURE_VERSION = 0x00010000;
const uint32_t FIXED_SIZE = 13 * 4;

const unsigned VERSION_PART_DIGITS = 5;

uint16_t get16(const std::vector<uint8_t>& b, size_t at) { return static_cast<uint16_t>(b[at] | (b[at + 1] << 8)); }
uint32_t get32(const std::vector<uint8_t>& b, size_t at) {
    return static_cast<uint32_t>(get16(b, at)) | (static_cast<uint32_t>(get16(b, at + 2)) << 16);
}
void put16(std::vector<uint8_t>* b, uint16_t v) {
    b->push_back(static_cast<uint8_t>(v));
    b->push_back(static_cast<uint8_t>(v >> 8));
}
void put32(std::vector<uint8_t>* b, uint32_t v) {
    put16(b, static_cast<uint16_t>(v));
    put16(b, static_cast<uint16_t>(v >> 16));
}
void padTo4(std::vector<uint8_t>* b) {
    while (b->size() % NODE_ALIGNMENT) b->push_back(0);
}
size_t alignUp4(size_t v) { return (v + NODE_ALIGNMENT - 1) / NODE_ALIGNMENT * NODE_ALIGNMENT; }

bool fail(std::string* error, const std::string& message) {
    *error = message;
    return false;
}

uint32_t high(const VersionNumber& n) { return (static_cast<uint32_t>(n.parts[0]) << 16) | n.parts[1]; }
uint32_t low(const VersionNumber& n) { return (static_cast<uint32_t>(n.parts[2]) << 16) | n.parts[3]; }
VersionNumber fromHalves(uint32_t high, uint32_t low) {
    VersionNumber n;
    n.parts[0] = static_cast<uint16_t>(high >> 16);
    n.parts[1] = static_cast<uint16_t>(high);
    n.parts[2] = static_cast<uint16_t>(low >> 16);
    n.parts[3] = static_cast<uint16_t>(low);
    return n;
}

// A node to write: its children are laid out after its value.
struct Node {
    std::u16string key;
    uint16_t type = NODE_TEXT;
    uint16_t valueLength = 0;
    std::vector<uint8_t> value;
    std::vector<Node> children;
};

bool emit(const Node& node, std::vector<uint8_t>* out, std::string* error) {
    padTo4(out);
    const size_t start = out->size();
    put16(out, 0);  // the length, once known
    put16(out, node.valueLength);
    put16(out, node.type);
    for (char16_t c : node.key) put16(out, c);
    put16(out, 0);
    padTo4(out);
    out->insert(out->end(), node.value.begin(), node.value.end());
    for (const Node& child : node.children)
        if (!emit(child, out, error)) return false;
    const size_t length = out->size() - start;
    if (length > MAX_NODE_LENGTH)
        return fail(error, "the version resource would take " + std::to_string(length) + " bytes in one part, more than 65535");
    (*out)[start] = static_cast<uint8_t>(length);
    (*out)[start + 1] = static_cast<uint8_t>(length >> 8);
    return true;
}

Node textNode(const std::u16string& key, const std::u16string& text) {
    Node node;
    node.key = key;
    node.type = NODE_TEXT;
    node.valueLength = static_cast<uint16_t>(std::min<size_t>(text.size() + 1, MAX_NODE_LENGTH));
    for (char16_t c : text) put16(&node.value, c);
    put16(&node.value, 0);
    return node;
}

// A node as found: offsets into the resource.
struct FoundNode {
    size_t start = 0, end = 0;  // end: start + its length
    uint16_t valueLength = 0;
    uint16_t type = 0;
    std::u16string key;
    size_t valueStart = 0;
    size_t valueEnd = 0;     // the declared value, cut at the node's end
    size_t childrenStart = 0;
};

// Reads the node at `at`, which must lie inside [at, limit).
bool readNode(const std::vector<uint8_t>& r, size_t at, size_t limit, FoundNode* node, std::string* error) {
    if (at + NODE_HEAD_SIZE > limit) return fail(error, "malformed version resource: a part shorter than its head");
    const size_t length = get16(r, at);
    if (length < NODE_HEAD_SIZE || at + length > limit)
        return fail(error, "malformed version resource: a part of " + std::to_string(length) + " bytes at " +
                               std::to_string(at) + " overruns what holds it");
    node->start = at;
    node->end = at + length;
    node->valueLength = get16(r, at + 2);
    node->type = get16(r, at + 4);
    node->key.clear();
    size_t k = at + NODE_HEAD_SIZE;
    for (;; k += 2) {
        if (k + 2 > node->end) return fail(error, "malformed version resource: a key without its end");
        const char16_t c = get16(r, k);
        if (c == 0) break;
        node->key.push_back(c);
    }
    node->valueStart = std::min(alignUp4(k + 2), node->end);
    const size_t valueBytes = node->type == NODE_TEXT ? 2 * static_cast<size_t>(node->valueLength) : node->valueLength;
    node->valueEnd = std::min(node->valueStart + valueBytes, node->end);
    node->childrenStart = std::min(alignUp4(node->valueStart + valueBytes), node->end);
    return true;
}

// Calls `visit` for each child of `parent`; stops at the first failure.
template <typename Visit>
bool forEachChild(const std::vector<uint8_t>& r, const FoundNode& parent, Visit visit, std::string* error) {
    for (size_t at = parent.childrenStart; at + NODE_HEAD_SIZE <= parent.end;) {
        FoundNode child;
        if (!readNode(r, at, parent.end, &child, error) || !visit(child)) return false;
        at = alignUp4(child.end);
    }
    return true;
}

// A text value: its characters up to the first NUL or the end of the node.
std::u16string textOf(const std::vector<uint8_t>& r, const FoundNode& node) {
    std::u16string text;
    for (size_t at = node.valueStart; at + 2 <= node.end; at += 2) {
        const char16_t c = get16(r, at);
        if (c == 0) break;
        text.push_back(c);
    }
    return text;
}

}  // namespace

bool VersionNumber::operator==(const VersionNumber& o) const {
    for (int i = 0; i < 4; ++i)
        if (parts[i] != o.parts[i]) return false;
    return true;
}

bool parseVersionNumber(const std::string& text, VersionNumber* number) {
    size_t at = 0;
    for (int i = 0; i < 4; ++i) {
        if (i > 0) {
            if (at >= text.size() || text[at] != '.') return false;
            ++at;
        }
        uint32_t value = 0;
        size_t digits = 0;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9' && digits < VERSION_PART_DIGITS + 1) {
            value = value * 10 + static_cast<uint32_t>(text[at] - '0');
            ++at;
            ++digits;
        }
        if (digits == 0 || digits > VERSION_PART_DIGITS || value > 0xFFFF) return false;
        number->parts[i] = static_cast<uint16_t>(value);
    }
    return at == text.size();
}

std::string versionNumberText(const VersionNumber& n) {
    return std::to_string(n.parts[0]) + "." + std::to_string(n.parts[1]) + "." + std::to_string(n.parts[2]) + "." +
           std::to_string(n.parts[3]);
}

bool writeVersionResource(const VersionInfo& info, std::vector<uint8_t>* resource, std::string* error) {
    Node root;
    root.key = ROOT_KEY;
    root.type = NODE_BINARY;
    root.valueLength = FIXED_SIZE;
    for (uint32_t v : {FIXED_SIGNATURE, FIXED_STRUCTURE_VERSION, high(info.fileVersion), low(info.fileVersion),
                       high(info.productVersion), low(info.productVersion), info.flagsMask, info.flags, info.os,
                       info.fileType, info.fileSubtype, info.dateHigh, info.dateLow})
        put32(&root.value, v);
    if (!info.tables.empty()) {
        Node strings;
        strings.key = STRING_FILE_INFO_KEY;
        for (const VersionStringTable& table : info.tables) {
            Node block;
            block.key = table.name;
            for (const VersionString& s : table.strings) block.children.push_back(textNode(s.key, s.value));
            strings.children.push_back(block);
        }
        root.children.push_back(strings);
    }
    if (!info.translations.empty()) {
        Node translation;
        translation.key = TRANSLATION_KEY;
        translation.type = NODE_BINARY;
        for (uint32_t t : info.translations) put32(&translation.value, t);
        translation.valueLength = static_cast<uint16_t>(std::min<size_t>(translation.value.size(), MAX_NODE_LENGTH));
        Node vars;
        vars.key = VAR_FILE_INFO_KEY;
        vars.children.push_back(translation);
        root.children.push_back(vars);
    }
    resource->clear();
    return emit(root, resource, error);
}

bool readVersionResource(const std::vector<uint8_t>& r, VersionInfo* info, std::string* error) {
    *info = VersionInfo();
    info->hasFixed = false;
    FoundNode root;
    if (!readNode(r, 0, r.size(), &root, error)) return false;
    if (root.key != ROOT_KEY) return fail(error, "malformed version resource: no VS_VERSION_INFO");
    if (root.type == NODE_BINARY && root.valueEnd - root.valueStart >= FIXED_SIZE &&
        get32(r, root.valueStart) == FIXED_SIGNATURE) {
        const size_t v = root.valueStart;
        info->hasFixed = true;
        info->fileVersion = fromHalves(get32(r, v + 8), get32(r, v + 12));
        info->productVersion = fromHalves(get32(r, v + 16), get32(r, v + 20));
        info->flagsMask = get32(r, v + 24);
        info->flags = get32(r, v + 28);
        info->os = get32(r, v + 32);
        info->fileType = get32(r, v + 36);
        info->fileSubtype = get32(r, v + 40);
        info->dateHigh = get32(r, v + 44);
        info->dateLow = get32(r, v + 48);
    }
    return forEachChild(r, root, [&](const FoundNode& part) {
        if (part.key == STRING_FILE_INFO_KEY) {
            return forEachChild(r, part, [&](const FoundNode& block) {
                VersionStringTable table;
                table.name = block.key;
                const bool read = forEachChild(r, block, [&](const FoundNode& s) {
                    table.strings.push_back({s.key, textOf(r, s)});
                    return true;
                }, error);
                info->tables.push_back(std::move(table));
                return read;
            }, error);
        }
        if (part.key == VAR_FILE_INFO_KEY) {
            return forEachChild(r, part, [&](const FoundNode& var) {
                if (var.key != TRANSLATION_KEY) return true;
                for (size_t at = var.valueStart; at + 4 <= var.valueEnd; at += 4) info->translations.push_back(get32(r, at));
                return true;
            }, error);
        }
        return true;
    }, error);
}
