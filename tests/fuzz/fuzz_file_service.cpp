// The file service driven by random sequences of opens, reads, writes, length
// queries and closes on up to three files at once, with platform reads and
// writes that fail or fall short at random, checked against a plain model of
// each file's bytes: reads deliver the file in order, lengths count what was
// written, and a close that reports success leaves exactly the bytes
// accepted.
#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/file_service.h"
#include "platform/memory/memory_platform.h"

namespace {

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

// Bytes that differ from one write to the next and along each write, so that
// a misplaced or lost chunk shows.
std::string Pattern(std::size_t size, char seed) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) {
    bytes[i] =
        static_cast<char>(seed * 31 + static_cast<char>(i * 7 + i / 251));
  }
  return bytes;
}

enum class Mode { kClosed, kReading, kWriting };

struct Slot {
  sarnelux::FileHandle handle = sarnelux::kNoFile;
  Mode mode = Mode::kClosed;
  std::string path;
  std::string model;  // reading: the file; writing: the bytes accepted
  std::size_t position = 0;
  bool faulted = false;  // a platform call on this file failed or fell short
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  using namespace sarnelux;  // NOLINT(google-build-using-namespace)
  FuzzedDataProvider input(data, size);
  MemoryPlatform platform;
  FileService files(platform);
  std::array<Slot, 3> slots;
  int writes = 0;
  for (std::size_t i = 0; i < slots.size(); ++i) {
    slots[i].path = "d/f" + std::to_string(i);
    platform.AddFile(slots[i].path,
                     Pattern(input.ConsumeIntegralInRange<std::size_t>(0, 5000),
                             static_cast<char>(i)));
  }
  // Each platform read or write may fail or fall short, as the input says.
  const std::uint8_t fault_rate = input.ConsumeIntegral<std::uint8_t>();
  std::uint32_t fault_seed = input.ConsumeIntegral<std::uint32_t>();
  platform.SetCallHook([&](std::size_t, const PlatformCall& call) {
    Fault fault;
    if (call.kind != CallKind::kRead && call.kind != CallKind::kWrite &&
        call.kind != CallKind::kClose) {
      return fault;
    }
    fault_seed = fault_seed * 1664525u + 1013904223u;
    if ((fault_seed >> 24) >= fault_rate / 4) return fault;
    for (Slot& slot : slots) {
      if (slot.path == call.path && slot.mode != Mode::kClosed)
        slot.faulted = true;
    }
    if (call.kind != CallKind::kClose && (fault_seed & 1) != 0) {
      fault.partial =
          static_cast<std::int32_t>((fault_seed >> 8) % (call.count + 1));
    } else {
      fault.fail = true;
    }
    return fault;
  });

  // Enough steps to reach every state; more would only slow the search.
  for (int step = 0; step < 64 && input.remaining_bytes() > 0; ++step) {
    Slot& slot = slots[input.ConsumeIntegralInRange<std::size_t>(0, 2)];
    switch (input.ConsumeIntegralInRange(0, 4)) {
      case 0:  // open
        if (slot.mode != Mode::kClosed) break;
        if (input.ConsumeBool()) {
          slot.handle = files.OpenForReading(slot.path);
          slot.mode = Mode::kReading;
          slot.model = platform.FileAt(slot.path).bytes;
        } else {
          slot.handle = files.CreateAnew(slot.path);
          slot.mode = Mode::kWriting;
          slot.model.clear();
        }
        Check(slot.handle != kNoFile);
        slot.position = 0;
        slot.faulted = false;
        break;
      case 1: {  // read
        const auto count = input.ConsumeIntegralInRange<std::int32_t>(0, 5000);
        std::string buffer(static_cast<std::size_t>(count), '\0');
        const std::int32_t got =
            files.ReadBytes(slot.handle, buffer.data(), count);
        Check(got >= 0 && got <= count);
        if (slot.mode != Mode::kReading) {
          Check(slot.mode == Mode::kWriting || got == 0);
          break;
        }
        const std::size_t left = slot.model.size() - slot.position;
        if (!slot.faulted) {
          Check(static_cast<std::size_t>(got) ==
                std::min<std::size_t>(count, left));
        }
        Check(buffer.compare(0, static_cast<std::size_t>(got), slot.model,
                             slot.position,
                             static_cast<std::size_t>(got)) == 0);
        slot.position += static_cast<std::size_t>(got);
        break;
      }
      case 2: {                                  // write
        if (slot.mode == Mode::kReading) break;  // no caller does this
        const std::string bytes =
            Pattern(input.ConsumeIntegralInRange<std::size_t>(0, 5000),
                    static_cast<char>(++writes));
        const std::int32_t accepted = files.WriteBytes(
            slot.handle, bytes.data(), static_cast<std::int32_t>(bytes.size()));
        if (slot.mode == Mode::kClosed) {
          Check(accepted == 0);
          break;
        }
        Check(accepted >= 0 &&
              static_cast<std::size_t>(accepted) <= bytes.size());
        if (!slot.faulted)
          Check(static_cast<std::size_t>(accepted) == bytes.size());
        slot.model += bytes.substr(0, static_cast<std::size_t>(accepted));
        break;
      }
      case 3: {  // length
        const std::int64_t length = files.FileLength(slot.handle);
        if (slot.mode == Mode::kClosed) {
          Check(length == -1);
        } else if (!slot.faulted) {
          Check(length == static_cast<std::int64_t>(slot.model.size()));
        }
        break;
      }
      case 4: {  // close
        const bool complete = files.Close(slot.handle);
        if (slot.mode == Mode::kWriting) {
          if (!slot.faulted) Check(complete);
          if (complete) Check(platform.FileAt(slot.path).bytes == slot.model);
        }
        if (slot.mode == Mode::kClosed) Check(!complete);
        slot.mode = Mode::kClosed;
        slot.handle = kNoFile;
        break;
      }
    }
  }
  files.CloseAllFiles();
  Check(platform.open_files() == 0);
  return 0;
}
