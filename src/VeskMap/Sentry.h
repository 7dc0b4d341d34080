// Sentries: the shared-memory library's watchers of one table's files.
//
// A reader sentry watches the table's directory with inotify and tells its map (the notifiee)
// when the writer's files can be mapped (attach) and when they went away or were replaced by a
// new generation (detach). A writer sentry watches the directory its writer holds and tells its
// map (or, for a program that drives a writer without a front, answers lostFiles()) when that
// directory or one of the writer's files was removed under the writer.
//
// Who may call what:
//   - Everything runs on the thread that owns the map, which is the thread that polls the
//     process's event loop (Pimbo::eventLoop()). A sentry calls its notifiee only from inside
//     eventLoop().poll() / run() or from inside its own event() operation, never from another
//     thread.
//   - A notifiee may delete the sentry from inside any callback; the sentry touches nothing of
//     itself afterwards, and a deleted sentry is never heard from again.
//
// Invariants of the reader sentry:
//   1. The writer publishes a table's files and writes "cinder" last, by rename. The files are
//      ready when "slots", "buckets" and "cinder" all exist in the table's directory.
//   2. Every inotify record only says "look again": the sentry then compares the directory as it
//      is now with what the notifiee holds, so coalesced, reordered or stale records can neither
//      lose a change nor replay an old one.
//        - not attached and files ready                      -> attach("inotify"), unless the
//          record was only about "slots" or "buckets" changing (the writer is still at work;
//          its "cinder" record follows)
//        - attached, and "slots" or "cinder" (or the whole directory) gone -> detach(true)
//        - attached, and the cinder id on disk differs from the notifiee's (or "cinder" was
//          written again while the notifiee reports a disconnected active reader)
//          -> detach(true), then attach("inotify")
//      "Attached" means the notifiee holds a live reader and has not cleared status().
//   3. A watch is always in place: on the table's directory, or while it does not exist on its
//      nearest existing ancestor; the watch moves down as directories appear and up as they go.
//      After a watch is placed the directory is looked at again, so a directory or file that
//      appeared just before the watch is not missed.
//   4. Records read but not yet handled belong to the sentry until purgeInotifyRecord() drops
//      them; a purge is followed by one fresh look (2), so dropping records loses nothing.
//
// Invariants of the writer sentry:
//   5. From its construction it watches the table directory that its writer holds: the
//      directory is opened through Mem::TableDir (writer trust, nothing created) and the watch,
//      placed by path, is checked against that descriptor.
//   6. It reports once, from the event loop, and then watches no more: the directory was
//      deleted or moved away (it is no longer at its path), "slots", "buckets" or "cinder" was
//      deleted or renamed away, or another file took the name "slots" or "buckets" (renamed
//      over it: readers would map that file while the writer writes the one it mapped, so the
//      sentry keeps the identity of both as it placed the watch). The writer itself never does
//      any of this while it holds the table (it replaces "cinder" by renaming a new file over
//      it, which removes no name).
//   7. A directory already gone when the sentry is built is reported from the event loop as
//      well. One that cannot be watched (no inotify instance or no watch left) is traced at
//      level 0 and left unwatched: the writer works on, it only will not notice a removal.
//   8. purgeInotifyRecord() drops the records read so far: a writer that removed its own files
//      (cleanup) is not told about it.
#pragma once

#include "Pimbo/Debuggable.h"
#include "Plinth/CinderId.h"
#include "Plinth/RootPath.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace Vesk {
class VeskInterfaceBase;
}

namespace Mem {

class ReaderSentry : public Pimbo::Debuggable {
  public:
    // What a reader sentry calls on the map it watches for (the map implements it).
    class Notifiee {
      public:
        virtual ~Notifiee() = default;
        virtual bool notifying() = 0;
        virtual Plinth::CinderId cinderId() = 0;
        virtual void detach(bool deleted) = 0;              // the writer's files went away
        virtual void attach(const std::string& event) = 0;  // the writer's files can be mapped
        virtual bool readerFullyAttached() = 0;             // the map holds a live reader now
        virtual bool localMem() = 0;
        virtual std::string modeStr() = 0;
        virtual bool disconnectedActiveReader() = 0;
    };

    // The files of a table, in the order the writer publishes them ("cinder" last).
    static constexpr const char* kSlotsFile = "slots";
    static constexpr const char* kBucketsFile = "buckets";
    static constexpr const char* kCinderFile = "cinder";
    // The event name passed to attach when inotify reported the change.
    static constexpr const char* kInotifyEvent = "inotify";

    ReaderSentry(Pimbo::Platform::DebugHandler& handler, const Vesk::RootPath& rootPath,
                 Notifiee* notifiee);
    ~ReaderSentry();
    ReaderSentry(const ReaderSentry&) = delete;
    ReaderSentry& operator=(const ReaderSentry&) = delete;

    // The event operation: (event name, flag). Calls notifiee->attach(eventName) at once, from
    // inside this call, when the writer's files exist and the notifiee is not fully attached;
    // in any case makes sure an inotify watch is in place (invariant 3). Does nothing for a
    // notifiee in local memory. Throws Pimbo::InvalidInitializeException when no watch can be
    // set up.
    void event(const std::string& eventName, bool flag);
    // Forgets queued inotify records of this table (after a detach, so stale events are not
    // replayed); the directory is looked at once more from the event loop.
    void purgeInotifyRecord();
    // One-byte status flag: 1 while the sentry treats a live reader of the notifiee as
    // attached; the map clears it when it keeps a flushing implementation on detach, and the
    // next attach sets it again.
    uint8_t& status() { return status_; }

    const Vesk::RootPath& rootPath() const { return rootPath_; }
    // The directory watched now ("" when none); the table's directory once it exists.
    std::string watchedDirectory() const;
    // Number of directories watched by all sentries of the process.
    static size_t watchedDirectories();

  private:
    class Client;
    friend class Client;

    bool attached();
    bool filesReady() const;
    bool fileExists(const char* file) const;
    Plinth::CinderId cinderOnDisk();
    bool watchingTable() const;
    // Places the watch (invariant 3); throws Pimbo::InvalidInitializeException when it cannot.
    void ensureWatch();
    // What made the sentry look: a record of "cinder" appearing; a record of another file of
    // the table changing (a writer at work: never a reason to attach); anything else (a
    // directory on the way appeared, the watch moved, records were dropped or lost).
    enum class Look { cinderArrived, fileChanged, fresh };
    // One look at the directory (invariant 2), from the event loop.
    void reconcile(Look look);
    // The next path component below the watched ancestor, towards the table's directory.
    std::string nextComponent() const;

    Vesk::RootPath rootPath_;
    std::string directory_;  // the table's directory, absolute
    Notifiee* notifiee_;
    uint8_t status_ = 1;
    std::unique_ptr<Client> client_;
    // Shared with the frames of this sentry's callbacks: false once the sentry is deleted.
    std::shared_ptr<bool> alive_;
};

// The watcher of a writer's table directory (invariants 5 to 8).
//
// A front builds it over itself as the notifiee. A program that drives a writer without a
// front (as the `vesk fill` tool does) builds it over the writer and polls:
//
//     Vesk::VeskWriter<Ops> writer(...);
//     writer.initialize("start");
//     Mem::WriterSentry sentry(handler, writer);
//     for (;;) {
//         ... writes ...
//         Pimbo::eventLoop().poll(0);
//         if (!sentry.lostFiles().empty())
//             break;  // "table directory D" or "D/slots": stop writing, detach the writer
//     }
//
// The writer's own cleanup() removes its files; call purgeInotifyRecord() right after it.
class WriterSentry : public Pimbo::Debuggable {
  public:
    class Notifiee {
      public:
        virtual ~Notifiee() = default;
        virtual Plinth::CinderId cinderId() = 0;
        virtual bool validate() = 0;
        virtual bool validateFiles(const std::string& path, unsigned count) = 0;
        // The writer's files were taken away under it: `what` is "table directory DIR" when
        // the directory was removed or moved away, else the path of the file deleted or
        // replaced. Called once, from the event loop; the notifiee may delete the sentry from
        // inside.
        virtual void filesLost(const std::string& what) = 0;
    };

    // Watches the table directory of `rootPath` for `notifiee` (the front).
    WriterSentry(Pimbo::Platform::DebugHandler& handler, Notifiee* notifiee,
                 const Vesk::RootPath& rootPath);
    // Watches the table directory of `writer` (initialized) for a program without a front.
    WriterSentry(Pimbo::Platform::DebugHandler& handler, Vesk::VeskInterfaceBase& writer);
    ~WriterSentry();
    WriterSentry(const WriterSentry&) = delete;
    WriterSentry& operator=(const WriterSentry&) = delete;

    // Records the event (the watch is in place since construction).
    void event(const std::string& eventName, bool flag);
    // Drops the records read so far (invariant 8).
    void purgeInotifyRecord();
    uint8_t& status() { return status_; }

    const Vesk::RootPath& rootPath() const { return rootPath_; }
    // The last event recorded ("" before the first) and the number recorded.
    const std::string& lastEvent() const { return lastEvent_; }
    uint64_t events() const { return events_; }
    // "" while the writer's files are in place; what was lost once reported (Notifiee::filesLost).
    const std::string& lostFiles() const { return lost_; }
    // A watch is in place (false once the loss was reported, or when none could be placed).
    bool watching() const;

  private:
    class Watch;
    class WriterNotifiee;
    friend class Watch;

    // Places the watch (invariants 5 and 7).
    void watch();
    // Looks at the directory after a record (`name`: the table file a record said went, or "").
    void look(const std::string& name);

    std::unique_ptr<Notifiee> ownNotifiee_;  // the adapter over a writer, when built over one
    Notifiee* notifiee_;
    Vesk::RootPath rootPath_;
    uint8_t status_ = 1;
    std::string lastEvent_;
    uint64_t events_ = 0;
    std::string lost_;
    std::unique_ptr<Watch> watch_;
};

}  // namespace Mem
