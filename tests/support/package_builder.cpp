#include "support/package_builder.h"

#include "package/sha1.h"

namespace {

void appendLittleEndian32(std::vector<uint8_t>& bytes, uint32_t value)
{
    for (int shift = 0; shift < 32; shift += 8) {
        bytes.push_back((uint8_t)(value >> shift));
    }
}

}  // namespace

PackageBuilder& PackageBuilder::item(uint32_t type, uint32_t length,
                                     const std::vector<uint8_t>& value)
{
    appendLittleEndian32(bytes, type);
    appendLittleEndian32(bytes, length);
    bytes.insert(bytes.end(), value.begin(), value.end());
    return *this;
}

PackageBuilder& PackageBuilder::integer(uint32_t value)
{
    std::vector<uint8_t> encoded;
    appendLittleEndian32(encoded, value);
    return item(ITEM_INT, (uint32_t)encoded.size(), encoded);
}

PackageBuilder& PackageBuilder::blob(const std::vector<uint8_t>& value)
{
    return item(ITEM_BLOB, (uint32_t)value.size(), value);
}

PackageBuilder& PackageBuilder::text(const std::string& value)
{
    std::vector<uint8_t> encoded(value.begin(), value.end());
    encoded.push_back(0);
    return item(ITEM_STRING, (uint32_t)encoded.size(), encoded);
}

PackageBuilder& PackageBuilder::absent()
{
    return item(ITEM_STRING, 0, {});
}

std::vector<uint8_t> buildPackage(const TestPackage& package)
{
    PackageBuilder builder;
    builder.integer(package.version);
    if (package.command) {
        builder.text(*package.command);
    } else {
        builder.absent();
    }
    builder.integer(package.cleanupMode);
    builder.integer(package.fileCount.value_or((uint32_t)package.entries.size()));
    for (const TestEntry& entry : package.entries) {
        if (entry.name) {
            builder.text(*entry.name);
        } else {
            builder.absent();
        }
        if (entry.directory) {
            builder.text(*entry.directory);
        } else {
            builder.absent();
        }
        builder.blob(entry.digest.value_or(sha1Digest(entry.content)));
        builder.integer(entry.unpackedSize.value_or((uint32_t)entry.content.size()));
        builder.integer(entry.method);
        const std::vector<uint8_t>& packed = entry.packed ? *entry.packed : entry.content;
        uint32_t packedSize = entry.packedSize.value_or((uint32_t)packed.size());
        builder.integer(packedSize);
        if (packedSize != 0) {
            builder.blob(packed);
        }
    }
    return builder.bytes;
}

std::vector<uint8_t> sha1Digest(const std::vector<uint8_t>& bytes)
{
    std::vector<uint8_t> digest(SHA1_DIGEST_SIZE);
    Sha1Context context;
    sha1Start(&context);
    sha1Add(&context, bytes.data(), (uint32_t)bytes.size());
    sha1Finish(&context, digest.data());
    return digest;
}
