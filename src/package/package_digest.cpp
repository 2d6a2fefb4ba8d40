#include "package/package_digest.h"

#include <string.h>
#include <windows.h>

#include "package/sha1.h"
#include "resources/resource_ids.h"

bool checkPackageDigest(const uint8_t* package, uint32_t size) {
    HRSRC found = FindResourceA(NULL, MAKEINTRESOURCEA(ID_PACKAGE_DIGEST), RUNINFO_TYPE);
    if (found == NULL) return false;
    HGLOBAL loaded = LoadResource(NULL, found);
    if (loaded == NULL) return false;
    const uint8_t* stored = static_cast<const uint8_t*>(LockResource(loaded));
    if (stored == NULL) return false;
    // The cheap test comes first: a digest of any other size is refused unhashed.
    if (SizeofResource(NULL, found) != SHA1_DIGEST_SIZE) return false;

    uint8_t computed[SHA1_DIGEST_SIZE];
    sha1OfBuffer(package, size, computed);
    return memcmp(computed, stored, SHA1_DIGEST_SIZE) == 0;
}
