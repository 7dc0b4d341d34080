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
#include <type_traits>

namespace Ruxa {

// The slot index a notification names.
using BasicSlot = uint32_t;

// The file's header, at offset 0.
struct QueueFileHeader {
    char magic[8];
    uint32_t version;
    uint32_t headerSize;
    uint32_t numBuffers;
    uint32_t bufferEntries;
    uint32_t bufferSize;
    uint32_t cinder;
    uint64_t sequenceBase;
    uint32_t generation;
    uint32_t currentBuffer;
    uint32_t checksum;
    // Advisory: the followers connected to the writer's wake-up socket (never an index).
    uint32_t followers;
    // Advisory: connections the wake-up socket refused (its caps) since the writer started.
    uint32_t refused;
    uint32_t reserved;
};
static_assert(sizeof(QueueFileHeader) == 64);
static_assert(std::is_standard_layout_v<QueueFileHeader>);
static_assert(offsetof(QueueFileHeader, version) == 8);
static_assert(offsetof(QueueFileHeader, headerSize) == 12);
static_assert(offsetof(QueueFileHeader, numBuffers) == 16);
static_assert(offsetof(QueueFileHeader, bufferEntries) == 20);
static_assert(offsetof(QueueFileHeader, bufferSize) == 24);
static_assert(offsetof(QueueFileHeader, cinder) == 28);
static_assert(offsetof(QueueFileHeader, sequenceBase) == 32);
static_assert(offsetof(QueueFileHeader, generation) == 40, "readers find the generation at 40");
static_assert(offsetof(QueueFileHeader, currentBuffer) == 44);
static_assert(offsetof(QueueFileHeader, checksum) == 48);
static_assert(offsetof(QueueFileHeader, followers) == 52);
static_assert(offsetof(QueueFileHeader, refused) == 56);
static_assert(offsetof(QueueFileHeader, reserved) == 60);

// One entry of a buffer: the slot a change named, with its sequence relative to sequenceBase.
struct QueueEntry {
    uint32_t sequence;
    uint32_t slot;
};
static_assert(sizeof(QueueEntry) == 8);
static_assert(std::is_standard_layout_v<QueueEntry>);
static_assert(offsetof(QueueEntry, slot) == 4);

// The head of a buffer: its first sequence, 8-aligned, and the count of its entries, which
// follow at byte 12 (QueueLayout::kEntriesAt; the head's 8-byte alignment pads it to 16).
struct QueueBufferHead {
    uint64_t firstSequence;
    uint32_t count;
};
static_assert(sizeof(QueueBufferHead) == 16);
static_assert(std::is_standard_layout_v<QueueBufferHead>);
static_assert(offsetof(QueueBufferHead, count) == 8);

struct QueueLayout {
    static constexpr const char* kFileName = "notifications";
    static constexpr char kMagic[8] = {'V', 'E', 'S', 'K', '_', 'N', 'T', 'F'};
    static constexpr uint32_t kVersion = 1;
    static constexpr uint64_t kHeaderSize = sizeof(QueueFileHeader);
    // The checksum covers the constant fields from version to the sequence base.
    static constexpr uint64_t kChecksummed = offsetof(QueueFileHeader, version);
    static constexpr uint64_t kChecksummedEnd = offsetof(QueueFileHeader, generation);
    // A buffer's entries follow its first sequence and count.
    static constexpr uint64_t kEntriesAt = offsetof(QueueBufferHead, count) + sizeof(uint32_t);

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
        return kEntriesAt + sizeof(QueueEntry) * entries + 4;
    }
    static constexpr uint64_t fileSize(uint32_t buffers, uint32_t entries) {
        return kHeaderSize + uint64_t(buffers) * bufferSize(entries);
    }

    // The parts of a mapped file at base (the header) or of a buffer at b.
    template <class Byte>
    static auto* header(Byte* base) {
        return reinterpret_cast<Const<Byte, QueueFileHeader>*>(base);
    }
    template <class Byte>
    static auto* bufferHead(Byte* b) {
        return reinterpret_cast<Const<Byte, QueueBufferHead>*>(b);
    }
    template <class Byte>
    static auto* entry(Byte* b, uint64_t i) {
        return reinterpret_cast<Const<Byte, QueueEntry>*>(b + kEntriesAt + sizeof(QueueEntry) * i);
    }

  private:
    template <class Byte, class T>
    using Const = std::conditional_t<std::is_const_v<Byte>, const T, T>;
};

static_assert(QueueLayout::kEntriesAt == 12);
static_assert(QueueLayout::bufferSize(1) % 8 == 0 && QueueLayout::bufferSize(7) % 8 == 0,
              "every buffer's first sequence is an aligned 8-byte word");
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
