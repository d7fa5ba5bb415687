// One declarative table per record format: each header value's key, the record member that holds
// it, and through the member's type its width and signedness. Event dicts, their keys and batch
// columns are all built from these tables, so adding or reordering a field is one edit.
#pragma once

#include <cstddef>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

namespace pluvo {

template <class Record, class Value>
struct HeaderField {
  using record_type = Record;
  using value_type = Value;
  std::string_view key;
  Value Record::*member;
};
template <class Record, class Value>
HeaderField(std::string_view, Value Record::*) -> HeaderField<Record, Value>;

// Specialised beside each record type: `header`, a tuple of HeaderFields in the order callers
// see them. The samples follow them under kSamplesKey.
template <class Record>
struct RecordFields;

inline constexpr std::string_view kSamplesKey = "data";

template <class Record>
inline constexpr std::size_t kHeaderFieldCount =
    std::tuple_size_v<std::remove_cvref_t<decltype(RecordFields<Record>::header)>>;

// Calls visit(index, field) for every header field of the record type, in order; the index is a
// std::integral_constant.
template <class Record, class Visit>
constexpr void for_each_header_field(Visit&& visit) {
  [&]<std::size_t... I>(std::index_sequence<I...>) {
    (visit(std::integral_constant<std::size_t, I>{}, std::get<I>(RecordFields<Record>::header)),
     ...);
  }
  (std::make_index_sequence<kHeaderFieldCount<Record>>{});
}

}  // namespace pluvo
