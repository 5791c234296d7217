// Receive filters: between a TCP connection's byte stream and the units its
// handlers see. The pass-through filter reports reads as they come; the TPKT
// filter cuts RFC 1006 frames on the way in and builds them on the way out.
//
// A filter is used by its connection's thread only and takes no lock.
#pragma once

#include "platform/uUnitRun.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace logserver {

// The largest chunk a connection reads or queues at once.
constexpr int kMaxChunk = 65533;

// Pass-through: units are the socket's read boundaries; chunks go out as they are.
class tEmptyReceiveFilter {
 public:
  static std::unique_ptr<tEmptyReceiveFilter> Create();
  virtual ~tEmptyReceiveFilter() = default;

  // How many more bytes the pending unit needs.
  virtual int BytesNeeded();
  // The bytes to write for one outgoing chunk.
  virtual std::string Encode(const char* Data, int Size);
  // Takes newly received bytes (or none) and returns at most one unit,
  // possibly empty. More asks to be called again with no data.
  virtual std::string Decode(const char* Data, int Size, bool& More);
  // Every unit a read completes at once, for a read made straight into the
  // buffer of a run (uUnitRun): `Run` holds the Size new bytes at Offset,
  // with Offset = HeadRoom() at the time of the read; the room before them
  // is the filter's. On return Run is the run of the non-empty units
  // completed, in order (its size cut to fit): the same units as Decode and
  // its follow-up calls would give. Returns how many.
  virtual std::size_t HeadRoom() const { return kUnitHeaderBytes; }
  virtual std::size_t DecodeRun(TPooledBuffer& Run, std::size_t Offset, std::size_t Size);
  // Bytes held for a unit not yet complete.
  virtual std::size_t Unfinished() const { return Buffer.size(); }
  // Bytes skipped because they belonged to no unit, since the last call.
  std::size_t TakeSkippedBytes() {
    const std::size_t skipped = Skipped;
    Skipped = 0;
    return skipped;
  }

 protected:
  tEmptyReceiveFilter() = default;
  std::string Buffer;
  std::size_t Skipped = 0;
};

// Class reference with virtual constructor for filters.
using tReceiveFilterType = std::unique_ptr<tEmptyReceiveFilter> (*)();

// TPKT (RFC 1006): 03 00, a big-endian length of 4 to 65535 that counts the
// 4-byte header, then the payload. Bytes that start no frame (another
// version, or a length below 4) are discarded two at a time.
class tTPKTReceiveFilter : public tEmptyReceiveFilter {
 public:
  static constexpr int kMaxFrame = 65535;
  static std::unique_ptr<tEmptyReceiveFilter> Create();

  int BytesNeeded() override;
  // Empty when Size < 0 or the frame would exceed 65535 bytes; Size 0 gives
  // the header-only frame 03 00 00 04.
  std::string Encode(const char* Data, int Size) override;
  std::string Decode(const char* Data, int Size, bool& More) override;
  // Cuts frames out of the received bytes where they lie; only an
  // incomplete frame at the end is copied, to wait for the rest.
  // Frames are turned into units where they lie: a unit's length takes the
  // place of its TPKT header, so in the common case nothing is copied; the
  // bytes of a frame begun in the read before are put in front first.
  std::size_t HeadRoom() const override { return Buffered(); }
  std::size_t DecodeRun(TPooledBuffer& Run, std::size_t Offset, std::size_t Size) override;

  // Bytes held for frames not yet complete.
  std::size_t Buffered() const { return Buffer.size() - Start; }
  std::size_t Unfinished() const override { return Buffered(); }

  const std::uint16_t Header = 3;

 private:
  tTPKTReceiveFilter() = default;
  std::string ExtractFrame(bool& More);
  void Append(const char* Data, std::size_t Size);

  // Buffer[Start..] are the bytes not yet returned; the consumed prefix is
  // dropped once per append, so a read of many small frames costs one move.
  std::size_t Start = 0;
};

// The frame that carries one client log message.
std::string BuildTpktFrame(const std::string& payload);

}  // namespace logserver
