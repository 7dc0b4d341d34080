// The collecting half of `vesk serve`: one scrape of the tables under the root, as text.
//
// Every scrape looks for the tables anew. A table met for the first time is probed and a
// reader attached to it (Vesk/TableAccess.h); the reader is kept for the next scrapes (while
// descriptors last: two a reader), which then cost the records read, one look at whether the
// reader's files are still the table's (a table removed and made anew, or re-formatted, is
// followed to its new files; one of another record type is probed afresh) and one at whether
// its writer runs. Tables that disappear are forgotten. A table is read by one slot-order scan
// (whole records) and never through the writer's lock or files. Scrapes are read one at a time
// (a reader serves one thread); each has a time bound, after which the tables not yet read are
// counted as skipped. A table that cannot be read, a file cut short under its reader included,
// is a metric (vesk_table_up 0, vesk_table_failure with the reason as the library gives it)
// and one line on stderr when its reason changes, never an error answer for the others; its
// reader is dropped and the next scrape probes it afresh. A directory whose name cannot be
// shown as it is (Plinth/TableName.h) is no table: it is counted, and named once on stderr,
// escaped.
#pragma once

#include "Commands.h"
#include "Exposition.h"

#include <memory>
#include <string>

namespace VeskTool {

class Scraper {
  public:
    explicit Scraper(const ServeOptions& options);
    ~Scraper();
    Scraper(const Scraper&) = delete;
    Scraper& operator=(const Scraper&) = delete;

    // The text of one scrape; any thread (scrapes take turns).
    std::string scrape(ExpositionFormat format);

  private:
    class Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace VeskTool
