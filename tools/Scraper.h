// The collecting half of `vesk serve`: one scrape of the tables under the root, as text.
//
// Every scrape looks for the tables anew and attaches a fresh reader to each, so tables that
// appear, disappear, restart or are re-formatted between two scrapes need no watching. A table
// is read by one slot-order scan (whole records) and never through the writer's lock or files.
// Scrapes are read one at a time (a reader serves one thread); each has a time bound, after
// which the tables not yet read are counted as skipped. A table that cannot be read is a
// metric (vesk_table_up 0, vesk_table_failure with the reason) and one line on stderr when its
// reason changes, never an error answer for the others.
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
