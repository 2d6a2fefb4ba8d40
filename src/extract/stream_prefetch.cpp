#include "extract/stream_prefetch.h"

#include <stdlib.h>
#include <string.h>

#include "extract/storage_methods.h"
#include "extract/unpack_operations.h"

void prefetchBegin(StreamPrefetch* prefetch, const uint8_t* package, uint32_t size, uint32_t processors,
                   uint32_t memoryCap) {
    memset(prefetch, 0, sizeof(*prefetch));
    prefetch->package = package;
    prefetch->size = size;
    prefetch->helpers = processors > 1 ? processors : 0;
    uint32_t half = freeAddressSpace() / 2;
    prefetch->memoryCap = memoryCap < half ? memoryCap : half;
    // Nothing is looked at until the first stream is reached.
    prefetch->stopped = true;
}

// The helper: the whole stream into `output`, each stretch published as soon as it is decoded.
static unsigned long THREAD_CALL decodeAhead(void* parameter) {
    PrefetchSlot* slot = static_cast<PrefetchSlot*>(parameter);
    SolidFlatDecoder* decoder = slot->decoder;
    bool going = true;
    while (going && !loadAcquire(&slot->cancel) && !decoder->ended) {
        going = solidFlatStep(decoder, PREFETCH_STRETCH);
        storeRelease(&slot->ready, decoder->decoded);
    }
    storeRelease(&slot->state, solidFlatFinished(decoder) ? PREFETCH_ENDED : PREFETCH_FAILED);
    return 0;
}

static uint64_t slotMemory(const PrefetchSlot* slot) {
    return (slot->decoder != NULL ? sizeof(SolidFlatDecoder) : 0) + static_cast<uint64_t>(slot->outputCapacity);
}

uint64_t prefetchHeldMemory(const StreamPrefetch* prefetch) {
    uint64_t held = 0;
    for (uint32_t i = 0; i < PREFETCH_SLOTS; ++i) held += slotMemory(&prefetch->slots[i]);
    return held;
}

static uint32_t helpersAtWork(const StreamPrefetch* prefetch) {
    uint32_t working = 0;
    for (uint32_t i = 0; i < PREFETCH_SLOTS; ++i) {
        const PrefetchSlot* slot = &prefetch->slots[i];
        if (slot->thread != NULL && loadAcquire(&slot->state) == PREFETCH_DECODING) ++working;
    }
    return working;
}

// The slot of the stream whose data begins at `stream`.
static PrefetchSlot* slotOf(StreamPrefetch* prefetch, const uint8_t* stream) {
    for (uint32_t i = 0; i < PREFETCH_SLOTS; ++i) {
        if (prefetch->slots[i].thread != NULL && prefetch->slots[i].stream == stream) return &prefetch->slots[i];
    }
    return NULL;
}

// Gives back what a slot without a stream keeps.
static void dropKept(PrefetchSlot* slot) {
    free(slot->decoder);
    free(slot->output);
    memset(slot, 0, sizeof(*slot));
}

// Sets a helper on the stream whose first member is `head`; null when no helper may start
// now or the stream cannot be had ahead: too large for what the cap leaves, refused by the
// decoder, or memory or a thread not to be had.
static PrefetchSlot* startHelper(StreamPrefetch* prefetch, const FileEntry* head) {
    SolidStreamHeader header;
    if (helpersAtWork(prefetch) >= prefetch->helpers || !readSolidStreamHeader(head->data, head->packedSize, &header)) {
        return NULL;
    }
    uint32_t unpacked = header.unpackedSize;
    uint32_t needed = solidFlatCapacity(&header);
    // A free slot whose buffers take the stream; else the free slot that keeps the least.
    PrefetchSlot* slot = NULL;
    for (uint32_t i = 0; i < PREFETCH_SLOTS; ++i) {
        PrefetchSlot* candidate = &prefetch->slots[i];
        if (candidate->thread != NULL) continue;
        if (candidate->outputCapacity >= needed && candidate->decoder != NULL) {
            slot = candidate;
            break;
        }
        if (slot == NULL || slotMemory(candidate) < slotMemory(slot)) slot = candidate;
    }
    if (slot == NULL) return NULL;
    if (slot->outputCapacity < needed || slot->decoder == NULL) {
        // The stream the extraction writes now holds the earliest slot. When its helper has
        // ended, the extraction writes it from memory and lets its slot go soon, sooner than
        // the system would clear the pages of a new one: this stream waits for it if it fits.
        const PrefetchSlot* writing = NULL;
        for (uint32_t i = 0; i < PREFETCH_SLOTS; ++i) {
            const PrefetchSlot* held = &prefetch->slots[i];
            if (held->thread != NULL && (writing == NULL || held->stream < writing->stream)) writing = held;
        }
        if (writing != NULL && loadAcquire(&writing->state) != PREFETCH_DECODING && writing->outputCapacity >= needed) {
            return NULL;
        }
        dropKept(slot);
        uint64_t memory = sizeof(SolidFlatDecoder) + static_cast<uint64_t>(needed);
        // What other free slots keep makes room first.
        for (uint32_t i = 0; i < PREFETCH_SLOTS && prefetchHeldMemory(prefetch) + memory > prefetch->memoryCap; ++i) {
            if (prefetch->slots[i].thread == NULL) dropKept(&prefetch->slots[i]);
        }
        uint64_t held = prefetchHeldMemory(prefetch);
        if (held + memory > prefetch->memoryCap) return NULL;
        // An eighth more than this stream needs, where the cap allows: the streams of one
        // package differ by a few per cent, and the next one then fits in this buffer.
        uint32_t capacity = needed + needed / 8 > needed && held + memory + needed / 8 <= prefetch->memoryCap
                                ? needed + needed / 8 : needed;
        slot->decoder = static_cast<SolidFlatDecoder*>(malloc(sizeof(SolidFlatDecoder)));
        slot->output = static_cast<uint8_t*>(malloc(capacity));
        if (slot->decoder == NULL || slot->output == NULL) {
            dropKept(slot);
            return NULL;
        }
        slot->outputCapacity = capacity;
    }
    if (!solidFlatOpen(slot->decoder, head->data, head->packedSize, slot->output, slot->outputCapacity)) {
        return NULL;
    }
    slot->owner = prefetch;
    slot->stream = head->data;
    slot->unpackedSize = unpacked;
    slot->ready = 0;
    slot->state = PREFETCH_DECODING;
    slot->cancel = 0;
    slot->thread = threadStart(decodeAhead, slot);
    return slot->thread != NULL ? slot : NULL;
}

// Starts helpers on the streams after the last one started, in package order, as long as
// helpers and memory allow; a stream that cannot be started now is tried again later.
static void lookAhead(StreamPrefetch* prefetch) {
    if (prefetch->stopped) return;
    FileEntry entry;
    memset(&entry, 0, sizeof(entry));
    entry.recordSize = FILE_ENTRY_RECORD_SIZE;
    uint32_t next = prefetch->lookAhead;
    while (next < prefetch->size && readEntry(prefetch->package, prefetch->size, prefetch->lookAhead, &next, &entry)) {
        if (entry.method == METHOD_LZMA2 && entry.packedSize != 0 && slotOf(prefetch, entry.data) == NULL &&
            startHelper(prefetch, &entry) == NULL) {
            return;
        }
        prefetch->lookAhead = next;
    }
}

void prefetchFromStart(StreamPrefetch* prefetch) {
    PackageHeader header;
    memset(&header, 0, sizeof(header));
    header.recordSize = PACKAGE_HEADER_RECORD_SIZE;
    uint32_t first = 0;
    if (prefetch->helpers == 0 || !readHeader(prefetch->package, prefetch->size, &first, &header)) return;
    prefetch->lookAhead = first;
    prefetch->stopped = false;
    lookAhead(prefetch);
}

// The unpack operation's wait (DecodedWaitFn) on a slot's helper. While the extraction waits,
// helpers that have ended make room for the next streams.
static uint32_t waitForHelper(void* state, uint32_t wanted) {
    PrefetchSlot* slot = static_cast<PrefetchSlot*>(state);
    for (;;) {
        lookAhead(slot->owner);
        uint32_t ready = loadAcquire(&slot->ready);
        if (wanted <= slot->unpackedSize && ready >= wanted) return ready;
        uint32_t end = loadAcquire(&slot->state);
        if (end != PREFETCH_DECODING) {
            // What the helper made is all there will be.
            ready = loadAcquire(&slot->ready);
            if (wanted > slot->unpackedSize) return end == PREFETCH_ENDED ? slot->unpackedSize : 0;
            return ready >= wanted ? ready : 0;
        }
        threadPause();
    }
}

// Stops the slot's helper and waits for it; the slot keeps its buffers for a later stream.
static void releaseSlot(PrefetchSlot* slot) {
    if (slot->thread == NULL) return;
    storeRelease(&slot->cancel, 1);
    threadJoin(slot->thread);
    slot->thread = NULL;
    slot->stream = NULL;
}

void prefetchAtStream(StreamPrefetch* prefetch, const FileEntry* head, uint32_t next) {
    if (prefetch->helpers == 0) return;
    // Streams come in package order: any earlier stream a helper had is written by now.
    for (uint32_t i = 0; i < PREFETCH_SLOTS; ++i) {
        PrefetchSlot* slot = &prefetch->slots[i];
        if (slot->thread != NULL && slot->stream < head->data) releaseSlot(slot);
    }
    PrefetchSlot* slot = slotOf(prefetch, head->data);
    if (slot == NULL) {
        // The look-ahead stopped here, or has not come this far: the streams behind this
        // one are not started either. A helper takes this one if it can; if not, the
        // extraction decodes it alone, and nothing further starts until it is done.
        prefetch->lookAhead = next;
        slot = startHelper(prefetch, head);
        prefetch->stopped = slot == NULL;
        // Every slot is free then (the look-ahead goes in order): what they keep goes back,
        // and the extraction's own decoder has the room.
        for (uint32_t i = 0; i < PREFETCH_SLOTS && slot == NULL; ++i) dropKept(&prefetch->slots[i]);
    }
    if (slot != NULL) {
        lzma2AdoptDecoded(slot->stream, slot->output, slot->unpackedSize, waitForHelper, slot);
    }
    lookAhead(prefetch);
}

void prefetchEnd(StreamPrefetch* prefetch) {
    // The unpack operation may still point into a slot's bytes: it lets go of them first.
    lzma2AdoptDecoded(NULL, NULL, 0, NULL, NULL);
    for (uint32_t i = 0; i < PREFETCH_SLOTS; ++i) storeRelease(&prefetch->slots[i].cancel, 1);
    for (uint32_t i = 0; i < PREFETCH_SLOTS; ++i) {
        releaseSlot(&prefetch->slots[i]);
        dropKept(&prefetch->slots[i]);
    }
}
