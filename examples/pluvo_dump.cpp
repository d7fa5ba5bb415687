// Summarises WD1 and WD2 files with the reading core: pluvo_dump FILE WD1|WD2 [FILE WD1|WD2]...
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string_view>
#include <variant>

#include "core/buf_reader.hpp"
#include "core/internal_fault.hpp"
#include "core/wd1_reader.hpp"
#include "core/wd2_reader.hpp"

namespace {

struct Summary {
  std::uint64_t events = 0;
  std::uint64_t samples = 0;
  std::int64_t first_counter = 0;
  std::int64_t last_counter = 0;

  void add(std::int64_t counter, std::size_t sample_count) {
    if (events == 0) first_counter = counter;
    last_counter = counter;
    ++events;
    samples += sample_count;
  }
};

// Reads every record; returns the process exit status.
template <class Reader>
int summarise(const char* path, Reader& reader) {
  Summary summary;
  for (;;) {
    auto outcome = reader.next();
    if (auto* error = std::get_if<pluvo::IoError>(&outcome)) {
      std::fprintf(stderr, "%s: read failed: %s\n", path, error->text().c_str());
      return 1;
    }
    if (std::holds_alternative<pluvo::EndOfRecords>(outcome)) break;
    auto& event = std::get<0>(outcome);
    summary.add(event.event_counter, event.data.size());
  }
  std::printf("%s: %llu events, %llu samples, event counters %lld to %lld\n", path,
              static_cast<unsigned long long>(summary.events),
              static_cast<unsigned long long>(summary.samples),
              static_cast<long long>(summary.first_counter),
              static_cast<long long>(summary.last_counter));
  return 0;
}

int run(const char* path, std::string_view type) {
  auto input = pluvo::BufReader::open(path);
  if (!input.ok()) {
    std::fprintf(stderr, "%s: %s\n", path, input.error().text().c_str());
    return 1;
  }
  if (type == "WD1") {
    pluvo::WD1Reader reader(std::move(input).value());
    return summarise(path, reader);
  }
  if (type == "WD2") {
    auto reader = pluvo::WD2Reader::probe(std::move(input).value());
    if (!reader.ok()) {
      std::fprintf(stderr, "%s: %s\n", path, reader.error().text().c_str());
      return 1;
    }
    std::printf("%s: %s layout, %d channel(s)\n", path,
                reader.value().layout() == pluvo::WD2Layout::MultiChannel ? "multi-channel"
                                                                          : "single-channel",
                reader.value().probed_channels());
    return summarise(path, reader.value());
  }
  std::fprintf(stderr, "unknown reader type '%.*s', expected 'WD1' or 'WD2'\n",
               static_cast<int>(type.size()), type.data());
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3 || argc % 2 == 0) {
    std::fprintf(stderr, "usage: %s FILE WD1|WD2 [FILE WD1|WD2]...\n", argv[0]);
    return 2;
  }
  int status = 0;
  for (int i = 1; i + 1 < argc; i += 2) {
    try {
      status = std::max(status, run(argv[i], argv[i + 1]));
    } catch (const pluvo::InternalFault& fault) {
      std::fprintf(stderr, "%s: corrupt record: %s\n", argv[i], fault.what());
      status = std::max(status, 1);
    } catch (const std::exception& error) {
      std::fprintf(stderr, "%s: %s\n", argv[i], error.what());
      status = std::max(status, 1);
    }
  }
  return status;
}
