// Sentries: the shared-memory library's watchers of one table's files.
//
// A reader sentry watches the table's directory with inotify and tells its map (the notifiee)
// when the writer's files can be mapped (attach) and when they went away or were replaced by a
// new generation (detach). A writer sentry only records the events its map reports.
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
#pragma once

#include "Pimbo/Debuggable.h"
#include "Plinth/CinderId.h"
#include "Vesk/RootPath.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

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

class WriterSentry : public Pimbo::Debuggable {
  public:
    class Notifiee {
      public:
        virtual ~Notifiee() = default;
        virtual Plinth::CinderId cinderId() = 0;
        virtual bool validate() = 0;
        virtual bool validateFiles(const std::string& path, unsigned count) = 0;
    };

    WriterSentry(Pimbo::Platform::DebugHandler& handler, Notifiee* notifiee,
                 const Vesk::RootPath& rootPath);
    ~WriterSentry();
    WriterSentry(const WriterSentry&) = delete;
    WriterSentry& operator=(const WriterSentry&) = delete;

    // Records the event; the writer needs no watch.
    void event(const std::string& eventName, bool flag);
    // A writer has no queued records; kept for the map's detach sequence.
    void purgeInotifyRecord();
    uint8_t& status() { return status_; }

    const Vesk::RootPath& rootPath() const { return rootPath_; }
    // The last event recorded ("" before the first) and the number recorded.
    const std::string& lastEvent() const { return lastEvent_; }
    uint64_t events() const { return events_; }

  private:
    Notifiee* notifiee_;
    Vesk::RootPath rootPath_;
    uint8_t status_ = 1;
    std::string lastEvent_;
    uint64_t events_ = 0;
};

}  // namespace Mem
