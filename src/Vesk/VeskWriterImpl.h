// The cold half of the writer: taking ownership of a table's files, restart reuse or
// re-format, file checks, cleanup and release. The records' layer includes this to instantiate
// it once per record type (FlexCounters2/Instantiations*.cpp); nothing else includes it.
#pragma once

#include "Vesk/VeskWriter.h"
#include "Vesk/VeskWriterDirect.h"

#include "Mem/Atomics.h"
#include "Pimbo/Core.h"
#include "Plinth/CinderFile.h"
#include "Plinth/OwnerFile.h"
#include "Plinth/Shared.h"
#include "Plinth/WriterLock.h"
#include "VeskBase/Util.h"
#include "Zolt/ConduitAcceptSm.h"

#include <unistd.h>

#include <string>

namespace Vesk {

// Second half of the cinder ids this process makes for new tables (never 0).
uint16_t nextCinderCounter();
// The conduit name the owner file records, for messages about another writer.
std::string recordedOwner(const Plinth::OwnerFile& ownerFile);
// Table type written into the owner file.
inline constexpr uint32_t kWriterTableType = 0;

template <class Ops>
bool VeskWriter<Ops>::initialize(const std::string& event) {
    if ((!localMem_ || atomicsCheck_) && !Mem::Atomics::checkCpuSupport()) {
        PIMBO_THROW(Pimbo::InvalidInitializeException, "Hardware does not support Atomics");
    }
    PIMBO_TRACE(5, "{} event:{}", name_, event);
    if (!this->initialized()) {
        attach();
        this->initializedIs(true);
    }
    return true;
}

template <class Ops>
void VeskWriter<Ops>::attach() {
    PIMBO_TRACE(5, "localMem_:{} rootPath:{}", localMem_, rootPath_);
    if (localMem_) {
        // Process memory only: no owner, lock, cinder or marker file.
        cinderId_ = localCinderId(uint32_t(::getpid()));
        const Plinth::ConduitInfo none;
        if (!attachAndValidate(false, nullptr, none) && !attachAndValidate(true, nullptr, none)) {
            PIMBO_FAIL("failed to attach to and validate new files");
        }
        return;
    }
    rootPath_.ensureDirectory();
    Plinth::CinderFile cinder(debugHandler(), rootPath_, true);
    Plinth::OwnerFile ownerFile(debugHandler(), rootPath_, true);
    std::string lockError;
    bool held = false;
    auto lock = Mem::WriterLock::acquireWriterLock(debugHandler(), rootPath_, lockError, &held);
    if (!lock && held) {
        PIMBO_THROW(Pimbo::InvalidInitializeException,
                    "Vesk table {} is owned by another live writer (owner {}); not "
                    "attaching: {}",
                    rootPath_, recordedOwner(ownerFile), lockError);
    }
    if (!lock) {
        PIMBO_THROW(Pimbo::InvalidInitializeException,
                    "Vesk table {} cannot be taken by this writer: {}", rootPath_, lockError);
    }
    writerLock_ = std::move(lock);
    // From here on this process holds the table: a start that fails gives it up again, so the
    // next writer is not told that a live writer owns it.
    try {
        ownerFile.lock();
        const Plinth::ConduitInfo conduitInfo{Zolt::ConduitAcceptSm::socketName(), ~0ull};
        cinderId_ = cinder.read();
        if (cinderId_.isNone())
            cinderId_ = Plinth::CinderId(uint16_t(::getpid()), nextCinderCounter());
        const bool ownerOk = ownerFile.validate();
        if (!ownerOk) {
            PIMBO_TRACE(1, "owner file validation failed, dumping owner file string: {}",
                        ownerFile.headerToString());
        }
        ownerFile.typeNameIs(typeName_);
        ownerFile.plinthTypeIs(kWriterTableType);
        bool ok = attachAndValidate(!ownerOk, &ownerFile, conduitInfo);
        if (!ok && ownerOk)
            ok = attachAndValidate(true, &ownerFile, conduitInfo);
        if (!ok)
            PIMBO_FAIL("failed to attach to and validate new files");
        ruxa_.writerAttachedIs(true);
        cinder.write(cinderId_);
        // After the cinder file: a reader that failed against the old generation may have left
        // a marker until this moment.
        rootPath_.removeFile(Util::kCorruptionFileName);
        PIMBO_TRACE(1, "success {} capacity:{} cinderId:{} mtime:{} conduitInfo:{}", name_,
                    table_.capacity(), cinderId_, cinder.mtime(), conduitInfo);
    } catch (...) {
        releaseOwnership();
        table_.detach();
        hashMap_.bucketWriter().detach();
        throw;
    }
}

template <class Ops>
bool VeskWriter<Ops>::attachAndValidate(bool reformat, Plinth::OwnerFile* ownerFile,
                                        const Plinth::ConduitInfo& conduitInfo) {
    auto ownerText = [&] { return ownerFile ? ownerFile->headerToString() : std::string("none"); };
    if (reformat) {
        PIMBO_TRACE(1, "all entries from {} will be lost", rootPath_);
        cinderId_ = nextCinderId(cinderId_);
        attach(cinderId_);
        if (!validate(cinderId_, false)) {
            PIMBO_THROW(Pimbo::InvalidInitializeException, "failed validation");
        }
    } else {
        if (!attach(cinderId_)) {
            PIMBO_TRACE(0, "failed to attach to existing files");
            PIMBO_TRACE(0, "{}", dumpHeaders());
            PIMBO_TRACE(0, "owner file: {}", ownerText());
            return false;
        }
        if (!validate(cinderId_, false)) {
            if (!localMem_ && Util::runningOnPhysicalDut() && Util::strictValidation()) {
                // Keep the evidence: the next start re-formats, this one stops with a
                // core.
                Plinth::CinderFile(debugHandler(), rootPath_, false).remove();
                Mem::Shared::dumpToCoreIs(true);
                Pimbo::Util::includeShmemInCore();
                PIMBO_THROW(Pimbo::InvalidInitializeException,
                            "failed initial validation of {} after re-attaching", rootPath_);
            }
            PIMBO_TRACE(0, "failed to validate existing files");
            PIMBO_TRACE(0, "{}", dumpHeaders());
            PIMBO_TRACE(0, "owner file: {}", ownerText());
            return false;
        }
    }
    if (localMem_ || ownerFile == nullptr)
        return true;
    ownerFile->conduitInfoIs(conduitInfo);
    if (!ownerFile->validate()) {
        PIMBO_FAIL("wrote to owner file but validation failed: {}", ownerFile->headerToString());
    }
    owner_ = true;
    if (reformat)
        PIMBO_TRACE(1, "re-formatted successfully");
    return true;
}

template <class Ops>
void VeskWriter<Ops>::releaseOwnership() {
    if (owner_ && !localMem_) {
        try {
            Plinth::OwnerFile ownerFile(debugHandler(), rootPath_, true);
            if (Mem::WriterLock::ownerIsMe(debugHandler(), ownerFile.conduitInfo().socketName)) {
                PIMBO_TRACE(5, "clearing conduitInfo");
                ownerFile.conduitInfoIs(Plinth::ConduitInfo{});
            }
        } catch (const Pimbo::Exception& e) {
            PIMBO_TRACE(0, "ignoring owner file corruption:{}", e.msg());
        }
    }
    owner_ = false;
    writerLock_.reset();
}

template <class Ops>
bool VeskWriter<Ops>::ownerFileValid() {
    if (localMem_)
        return true;
    return Plinth::OwnerFile(debugHandler(), rootPath_, false).validate();
}

template <class Ops>
bool VeskWriter<Ops>::validateFiles() {
    if (localMem_)
        return true;
    bool ok = hashMap_.bucketWriter().validateFile();
    ok = Util::validateFile(debugHandler(), rootPath_, table_.region().name(),
                            table_.region().memSize()) &&
         ok;
    ok = Plinth::CinderFile(debugHandler(), rootPath_, false).validate(cinderId_) && ok;
    ok = Plinth::OwnerFile(debugHandler(), rootPath_, false).validateFile() && ok;
    if (!ok)
        PIMBO_TRACE(0, "file check of {} found a fault", rootPath_);
    rootPath_.removeFile(Util::kCorruptionFileName);
    return ok;
}

template <class Ops>
bool VeskWriter<Ops>::cleanup() {
    PIMBO_TRACE(5, "owner:{} localMem_:{} rootPath:{}", owner_, localMem_, rootPath_);
    if (localMem_)
        return true;  // nothing of a local table lives in files
    Plinth::OwnerFile ownerFile(debugHandler(), rootPath_, false);
    std::unique_ptr<Mem::WriterLock> cleanupLock;
    if (!writerLock_) {
        std::string lockError;
        bool held = false;
        cleanupLock =
            Mem::WriterLock::acquireWriterLock(debugHandler(), rootPath_, lockError, &held);
        if (!cleanupLock) {
            if (held) {
                PIMBO_THROW(Pimbo::NoPermissionException,
                            "cleanup of Vesk table {} refused: it is owned by the live "
                            "writer {} ({})",
                            rootPath_, recordedOwner(ownerFile), lockError);
            }
            PIMBO_THROW(Pimbo::NoPermissionException, "cleanup of Vesk table {} refused: {}",
                        rootPath_, lockError);
        }
    }
    ownerFile.lock();
    if (!ownerFile.validate()) {
        PIMBO_TRACE(1,
                    "owner file corruption detected but continuing with cleanup, "
                    "dumped owner file: "
                    "{}",
                    ownerFile.headerToString());
        owner_ = false;
    } else {
        owner_ = true;
    }
    PIMBO_TRACE(1, "removing Vesk files in {}", rootPath_);
    std::vector<std::string> left;
    auto removed = [&left](bool ok, std::string file) {
        if (!ok)
            left.push_back(std::move(file));
    };
    removed(rootPath_.removeFile(Util::kCorruptionFileName),
            rootPath_.filePath(Util::kCorruptionFileName));
    removed(hashMap_.bucketWriter().cleanup(), hashMap_.bucketWriter().fileName());
    PIMBO_TRACE(3, "removing file: {}", table_.region().getFilename());
    removed(table_.region().remove(), table_.fileName());
    if (queue_ != nullptr)
        queue_->detach();
    removed(Ruxa::RuxaWriter::removeQueue(debugHandler(), rootPath_),
            rootPath_.filePath(Ruxa::QueueLayout::kFileName));
    Plinth::CinderFile cinder(debugHandler(), rootPath_, false);
    removed(cinder.remove(), cinder.path());
    removed(ownerFile.remove(), ownerFile.path());
    owner_ = false;  // the owner file is gone: nothing of ours is left to clear in it
    if (!left.empty()) {
        PIMBO_TRACE(0, "cleanup of {} could not remove: {}", rootPath_, fmt::join(left, ", "));
        return false;
    }
    return true;
}

}  // namespace Vesk
