// What a record reader's next() yields: a record, the end of the records, or an I/O error.
#pragma once

#include <variant>

#include "core/io_error.hpp"

namespace pluvo {

struct EndOfRecords {};

template <class Event>
using ReadOutcome = std::variant<Event, EndOfRecords, IoError>;

// The end of the data inside any exact read ends the records; any other failure is reported
// once and latches the reader, so a broken device is never read again. A wait given up (see
// BlockingCalls) before the record's first byte is the exception: the reader still stands at a
// record boundary, so a later call may start over.
template <class Event>
ReadOutcome<Event> failed_read(const IoError& error, bool& finished, bool record_started) {
  if (error.kind() == ErrorKind::UnexpectedEof) return EndOfRecords{};
  if (record_started || !error.is_cancelled()) finished = true;
  return error;
}

}  // namespace pluvo
