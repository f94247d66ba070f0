// The outbox journal's replay on any bytes: the whole records it finds encode back to
// exactly the bytes they came from, and what follows them is the tail, said why.
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "outbox_journal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const vel::JournalReplay replay = vel::ReplayJournal(bytes);
  Check(replay.wholeBytes <= bytes.size(), "whole records past the end");
  std::string again;
  for (const vel::OutboxRecord& record : replay.records) again += vel::EncodeRecord(record);
  Check(again == bytes.substr(0, replay.wholeBytes), "records that do not encode back");
  Check(replay.tail.empty() == (replay.wholeBytes == bytes.size()), "a tail without a reason");
  // Appending to the whole records keeps them.
  const vel::JournalReplay longer = vel::ReplayJournal(again + "x");
  Check(longer.records == replay.records, "a record lost by what follows it");
  return 0;
}
