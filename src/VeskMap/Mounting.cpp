#include "VeskMap/Mounting.h"

#include <cstdlib>
#include <exception>

namespace Vesk {

void MountingBase::deleteSentry() {
    writerSentry_.reset();
    readerSentry_.reset();
}

void MountingBase::sentryEvent(const std::string& event) {
    if (readerSentry_)
        readerSentry_->event(event, false);
    if (writerSentry_)
        writerSentry_->event(event, false);
}

void MountingBase::purgeWriterRecords() {
    if (writerSentry_)
        writerSentry_->purgeInotifyRecord();
}

void MountingBase::report(Quiesced quiesced, const std::function<void(bool)>& onQuiesced,
                          const std::function<void()>& onMountStatus) {
    // The move happened whatever the client says of its quiescence: it hears of the status too.
    std::exception_ptr failed;
    if (quiesced != Quiesced::untold) {
        try {
            onQuiesced(quiesced == Quiesced::yes);
        } catch (...) {
            failed = std::current_exception();
        }
    }
    onMountStatus();
    if (failed)
        std::rethrow_exception(failed);
}

void MountingBase::startWriterSentry(Mem::WriterSentry::Notifiee* notifiee, const RootPath& root) {
    try {
        writerSentry_ = std::make_unique<Mem::WriterSentry>(front_.debugHandler(), notifiee, root);
        writerSentry_->event(VeskMapBase::eventInit_, false);
    } catch (...) {
        writerSentry_.reset();  // the next init must not find a stale sentry
        throw;
    }
}

void MountingBase::startReaderSentry(const RootPath& root) {
    readerSentry_ = std::make_unique<Mem::ReaderSentry>(front_.debugHandler(), root, &front_);
    try {
        readerSentry_->event(VeskMapBase::eventInit_, false);
    } catch (const Pimbo::InvalidInitializeException& e) {
        if (std::getenv("KORA_CHROOT") == nullptr) {
            readerSentry_.reset();
            throw;
        }
        PIMBO_TRACE_TO(front_.debugHandler(), "VeskMap", 1,
                       "reader sentry of {} refused ({}), going on", front_.mapName(), e.msg());
    } catch (...) {
        readerSentry_.reset();
        throw;
    }
}

void MountingBase::tellSentry(const std::string& event) {
    try {
        sentryEvent(event);
    } catch (const std::exception& e) {
        PIMBO_TRACE_TO(front_.debugHandler(), "VeskMap", 0,
                       "{}: the sentry could not take event {}: {}", front_.mapName(), event,
                       e.what());
    }
}

void MountingBase::sentryStatusCleared() {
    (readerSentry_ ? readerSentry_->status() : writerSentry_->status()) = 0;
}

void MountingBase::purgeRecords() {
    if (readerSentry_)
        readerSentry_->purgeInotifyRecord();
    purgeWriterRecords();
}

}  // namespace Vesk
