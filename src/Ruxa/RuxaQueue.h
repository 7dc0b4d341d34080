// RuxaQueue: the layout of a table's change-notification queue, the file "notifications" in the
// table's directory (doc/file-format.md, "The notification queue"), and the checks of its
// header that every process runs before it trusts anything in the file.
//
// The file is a header followed by a ring of numBuffers buffers of bufferEntries entries each.
// Each entry names one slot the writer changed, with its sequence relative to the header's
// sequence base. The writer fills the current buffer, then moves to the next one in the ring,
// recycling the oldest; a buffer's first sequence says which turn of the ring it holds, so a
// reader that fell behind by a whole ring finds the first sequence of its buffer moved on.
//
// Concurrency contract: the queue keeps Q1 to Q6 of doc/file-format.md (a file made whole before
// its rename, Q1; entries before their count, Q2; a buffer's recycling, Q3; currentBuffer,
// Q4; generation 0 for a replaced or removed file, Q5; tombstones, Q6). Q7, each follower's wake
// word, is kept by the wake-ups (Ruxa/RuxaWake.h).
// The followers and refused words are advisory: the writer stores them whenever a follower
// connects, is refused or is dropped (followers 0 when it stops); nothing a reader does depends
// on them.
// Only the writer process stores into the file; readers map it read-only and load every word
// through Mem/Atomic.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace Ruxa {

// The slot index a notification names.
using BasicSlot = uint32_t;

struct QueueLayout {
    static constexpr const char* kFileName = "notifications";
    static constexpr char kMagic[8] = {'V', 'E', 'S', 'K', '_', 'N', 'T', 'F'};
    static constexpr uint32_t kVersion = 1;

    // Header.
    static constexpr uint64_t kOffMagic = 0;
    static constexpr uint64_t kOffVersion = 8;
    static constexpr uint64_t kOffHeaderSize = 12;
    static constexpr uint64_t kOffNumBuffers = 16;
    static constexpr uint64_t kOffBufferEntries = 20;
    static constexpr uint64_t kOffBufferSize = 24;
    static constexpr uint64_t kOffCinder = 28;
    static constexpr uint64_t kOffSequenceBase = 32;
    static constexpr uint64_t kOffGeneration = 40;
    static constexpr uint64_t kOffCurrentBuffer = 44;
    static constexpr uint64_t kOffChecksum = 48;
    // Advisory: the followers connected to the writer's wake-up socket (never an index).
    static constexpr uint64_t kOffFollowers = 52;
    // Advisory: connections the wake-up socket refused (its caps) since the writer started.
    static constexpr uint64_t kOffRefused = 56;
    static constexpr uint64_t kHeaderSize = 64;
    // The checksum covers the constant fields from version to the sequence base.
    static constexpr uint64_t kChecksummed = kOffVersion;
    static constexpr uint64_t kChecksummedEnd = kOffGeneration;

    // Buffer.
    static constexpr uint64_t kOffFirstSequence = 0;
    static constexpr uint64_t kOffCount = 8;
    static constexpr uint64_t kOffEntries = 12;
    static constexpr uint64_t kEntrySize = 8;
    static constexpr uint64_t kOffEntrySequence = 0;
    static constexpr uint64_t kOffEntrySlot = 4;

    static constexpr uint32_t kTombstone = 0xFFFFFFFF;
    // First sequence of a buffer that no turn has used yet.
    static constexpr uint64_t kUnused = ~0ull;

    // Bounds a reader accepts (and the writer keeps to).
    static constexpr uint32_t kMinBuffers = 2;
    static constexpr uint32_t kMaxBuffers = 1024;
    static constexpr uint32_t kMaxBufferEntries = 1u << 20;

    // Bytes of one buffer: its 12-byte head, the entries, 4 bytes that keep the next buffer's
    // first sequence 8-aligned.
    static constexpr uint64_t bufferSize(uint32_t entries) {
        return kOffEntries + kEntrySize * entries + 4;
    }
    static constexpr uint64_t fileSize(uint32_t buffers, uint32_t entries) {
        return kHeaderSize + uint64_t(buffers) * bufferSize(entries);
    }
};

static_assert(QueueLayout::kOffGeneration == 40, "readers find the generation at byte 40");
static_assert(QueueLayout::kOffSequenceBase % 8 == 0 && QueueLayout::kHeaderSize % 8 == 0);
static_assert(QueueLayout::bufferSize(1) % 8 == 0 && QueueLayout::bufferSize(7) % 8 == 0,
              "every buffer's first sequence is an aligned 8-byte word");
static_assert(QueueLayout::kOffCount == 8 && QueueLayout::kOffEntries == 12);
static_assert(QueueLayout::fileSize(QueueLayout::kMaxBuffers, QueueLayout::kMaxBufferEntries) <
              (1ull << 34));

// The ring's size: numBuffers buffers of bufferEntries entries. A reader that falls behind by
// more than numBuffers - 1 full buffers learns that it was overrun.
struct QueueGeometry {
    uint32_t numBuffers = 16;
    uint32_t bufferEntries = 4096;
};

// The geometry and constants of one queue file, as its header states them.
struct QueueHeader {
    uint32_t numBuffers = 0;
    uint32_t bufferEntries = 0;
    uint32_t cinder = 0;
    uint64_t sequenceBase = 0;
    uint32_t generation = 0;
    uint32_t followers = 0;  // advisory, as the header last said
    uint32_t refused = 0;    // advisory

    uint64_t bufferSize() const { return QueueLayout::bufferSize(bufferEntries); }
    uint64_t fileSize() const { return QueueLayout::fileSize(numBuffers, bufferEntries); }
    // "generation:{} buffers:{} entries:{} sequenceBase:{} cinder:{:#x}"
    std::string toString() const;
};

// FNV-1a of the checksummed header bytes of `header` (at least kHeaderSize bytes).
uint32_t queueChecksum(const void* header);

// The complete image of a new queue file: a header for `h` with generation h.generation and
// buffer 0 current, its first sequence sequenceBase + 1, the other buffers unused.
std::string formatQueue(const QueueHeader& h);

// Reads and checks the header at `header` (kHeaderSize mapped bytes) of a file of `fileBytes`
// bytes: magic, version, header size, geometry within bounds, the buffer size, the checksum, a
// file that holds the whole ring, and a generation that is not 0. False with `reason` naming
// the field and the value found.
bool readQueueHeader(const void* header, uint64_t fileBytes, QueueHeader& out, std::string& reason);

}  // namespace Ruxa
