#pragma once

// The fields of a delimited record as RFC 4180 quotes them, which is how
// spreadsheets save a name that holds a delimiter, a quote or a line end:
// such a field stands in quotes, a quote inside it is written twice, and a
// line end inside it carries the record on to the next line. Blanks around
// a field are no part of it. Knows nothing of files or line numbers: the
// reader turns a refusal into a message (delimited.h).

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace korvan::reading {

class CsvFields {
 public:
  // What one line did.
  enum class Step {
    kRecord,     // it ended a record, whose fields are now in `fields`
    kOpen,       // a quoted field runs on past its end
    kNothing,    // it held blanks only, between records, and is passed over
    kMalformed,  // a quote stands where none may: inside a field that does
                 // not begin with one, or after a closing quote before the
                 // delimiter; the record is dropped
  };

  // `delimiter` is a comma, a semicolon or a tab.
  explicit CsvFields(char delimiter) : delimiter_(delimiter) {}

  // Takes the next line, without its end. The fields stay valid until the
  // next call.
  Step Take(std::string_view line, std::vector<std::string_view>& fields);
  // A quoted field is open at the end of the last line taken.
  bool Open() const { return open_; }

 private:
  // With tab as the delimiter a tab separates fields and is no blank.
  bool IsBlank(char c) const { return c == ' ' || (c == '\t' && delimiter_ != '\t'); }
  std::size_t SkipBlanks(std::string_view line, std::size_t at) const;
  // Quoted text from `at` into text_; where the closing quote ends, or npos
  // when the field runs past the line.
  std::size_t ReadQuoted(std::string_view line, std::size_t at);

  char delimiter_;
  bool open_ = false;
  std::string text_;               // the fields of the record so far, one after another
  std::vector<std::size_t> ends_;  // where each field of the record ends in text_
};

}  // namespace korvan::reading
