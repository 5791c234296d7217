#include "retention/uRetention.h"

#include "platform/uProcess.h"
#include "platform/uFiles.h"

#include <zlib.h>
#include <zstd.h>

#include <cerrno>
#include <cstdio>
#include <memory>

namespace logserver {

namespace {

// Deeper than any name the service makes (ten levels or so); a tree deeper
// than this was not made by it and is not walked on.
constexpr int kMaxDepth = 64;
// A directory is removed once empty and unchanged this long: the service
// may be about to put a file into one it has just made.
constexpr std::int64_t kEmptyDirectorySeconds = 3600;
constexpr std::size_t kReadBytes = 128 * 1024;

bool EndsWith(const std::string& text, const char* tail) {
  const std::string suffix(tail);
  return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool WholeNumber(const std::string& text, int low, int& value) {
  if (text.empty() || text.size() > 6) return false;
  int parsed = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    parsed = parsed * 10 + (c - '0');
  }
  if (parsed < low) return false;
  value = parsed;
  return true;
}

// A path as the reports show it: bytes a terminal or the journal would
// act on are written as \xNN.
std::string Printable(const std::string& path) {
  std::string shown;
  for (const char c : path) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f || c == '\\') {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
      shown += escaped;
    } else {
      shown += c;
    }
  }
  return shown;
}

const char* Suffix(TCompression compression) { return compression == TCompression::Zstd ? ".zst" : ".gz"; }

// Reads `in` to its end and hands each piece to `feed`, the last one (empty,
// with `last` set) included. False with the reason when a read or `feed`
// failed.
template <typename TFeed>
bool ReadPieces(int in, std::string& error, TFeed feed) {
  std::vector<char> input(kReadBytes);
  for (;;) {
    const long n = ReadFromFile(in, input.data(), input.size());
    if (n < 0) {
      error = "cannot be read: " + ErrorText(errno);
      return false;
    }
    const bool last = n == 0;
    if (!feed(input.data(), static_cast<std::size_t>(n), last)) return false;
    if (last) return true;
  }
}

bool WriteOut(int out, const char* data, std::size_t size, std::string& error) {
  if (WriteAll(out, data, size)) return true;
  error = "cannot be written: " + ErrorText(errno);
  return false;
}

// Compresses everything `in` holds into `out`. False with the reason.
bool CompressZstd(int in, int out, std::string& error) {
  const std::unique_ptr<ZSTD_CCtx, decltype(&ZSTD_freeCCtx)> context(ZSTD_createCCtx(), &ZSTD_freeCCtx);
  if (!context) {
    error = "out of memory";
    return false;
  }
  ZSTD_CCtx_setParameter(context.get(), ZSTD_c_compressionLevel, 3);
  ZSTD_CCtx_setParameter(context.get(), ZSTD_c_checksumFlag, 1);
  std::vector<char> output(ZSTD_CStreamOutSize());
  return ReadPieces(in, error, [&](const char* data, std::size_t size, bool last) {
    ZSTD_inBuffer chunk{data, size, 0};
    for (;;) {
      ZSTD_outBuffer produced{output.data(), output.size(), 0};
      const std::size_t left =
          ZSTD_compressStream2(context.get(), &produced, &chunk, last ? ZSTD_e_end : ZSTD_e_continue);
      if (ZSTD_isError(left)) {
        error = std::string("zstd: ") + ZSTD_getErrorName(left);
        return false;
      }
      if (!WriteOut(out, output.data(), produced.pos, error)) return false;
      if (last ? left == 0 : chunk.pos == chunk.size) return true;
    }
  });
}

bool CompressGzip(int in, int out, std::string& error) {
  z_stream stream{};
  // 15 + 16: the largest window, with gzip's header and trailer.
  if (deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
    error = "out of memory";
    return false;
  }
  const std::unique_ptr<z_stream, decltype(&deflateEnd)> owner(&stream, &deflateEnd);
  std::vector<char> output(kReadBytes);
  return ReadPieces(in, error, [&](const char* data, std::size_t size, bool last) {
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
    stream.avail_in = static_cast<uInt>(size);
    int rc;
    do {
      stream.next_out = reinterpret_cast<Bytef*>(output.data());
      stream.avail_out = static_cast<uInt>(output.size());
      rc = deflate(&stream, last ? Z_FINISH : Z_NO_FLUSH);
      if (rc == Z_STREAM_ERROR) {
        error = "zlib failed";
        return false;
      }
      if (!WriteOut(out, output.data(), output.size() - stream.avail_out, error)) return false;
    } while (stream.avail_out == 0);
    if (last && rc != Z_STREAM_END) {
      error = "zlib did not finish";
      return false;
    }
    return true;
  });
}

}  // namespace

bool ReadRetentionSettings(const std::map<std::string, std::string>& environment,
                           const std::vector<std::string>& arguments, TRetentionSettings& settings,
                           std::string& error) {
  auto value = [&](const char* name) -> const std::string* {
    const auto it = environment.find(name);
    return it == environment.end() || it->second.empty() ? nullptr : &it->second;
  };
  if (const std::string* dir = value("LOGSERVER_LOG_DIR")) settings.LogDirectory = *dir;
  if (arguments.size() > 1) {
    error = "one argument at most: the log directory";
    return false;
  }
  if (!arguments.empty()) settings.LogDirectory = arguments.front();
  if (const std::string* hours = value("LOGSERVER_COMPRESS_AFTER_HOURS");
      hours && !WholeNumber(*hours, 1, settings.CompressAfterHours)) {
    error = "LOGSERVER_COMPRESS_AFTER_HOURS must be a whole number of hours, at least 1";
    return false;
  }
  if (const std::string* days = value("LOGSERVER_KEEP_DAYS"); days && !WholeNumber(*days, 1, settings.KeepDays)) {
    error = "LOGSERVER_KEEP_DAYS must be a whole number of days, at least 1";
    return false;
  }
  if (const std::string* compression = value("LOGSERVER_COMPRESSION")) {
    if (*compression == "zstd")
      settings.Compression = TCompression::Zstd;
    else if (*compression == "gzip")
      settings.Compression = TCompression::Gzip;
    else {
      error = "LOGSERVER_COMPRESSION must be zstd or gzip";
      return false;
    }
  }
  return true;
}

bool IsHourlyLogName(const std::string& name) {
  if (!EndsWith(name, ".log") || name.size() < 6) return false;
  const std::size_t hour = name.size() - 6;
  const char tens = name[hour], ones = name[hour + 1];
  if (tens < '0' || tens > '2' || ones < '0' || ones > '9' || (tens == '2' && ones > '3')) return false;
  return hour == 0 || name[hour - 1] == '_';
}

bool IsCompressedLogName(const std::string& name) {
  if (EndsWith(name, ".zst")) return IsHourlyLogName(name.substr(0, name.size() - 4));
  if (EndsWith(name, ".gz")) return IsHourlyLogName(name.substr(0, name.size() - 3));
  return false;
}

TRetentionRun::TRetentionRun(const TRetentionSettings& settings, std::int64_t now, TReport report)
    : Settings(settings), Now(now), Report(std::move(report)) {}

void TRetentionRun::Fail(const std::string& path, const std::string& what) {
  ++Totals_.Failures;
  Report(Printable(path) + ": " + what);
}

void TRetentionRun::FailWithError(const std::string& path, const std::string& what, int error) {
  Fail(path, what + ": " + ErrorText(error));
}

bool TRetentionRun::Run() {
  TDescriptor root = OpenDirectoryToWalk(Settings.LogDirectory);
  TEntryStatus status;
  if (!root || !DescriptorStatus(root.Get(), status)) {
    FailWithError(Settings.LogDirectory, "cannot be opened", errno);
    return false;
  }
  RootDevice = status.Device;
  WalkDirectory(root.Get(), "", 0);
  return true;
}

bool TRetentionRun::WalkDirectory(int directory, const std::string& path, int depth) {
  std::vector<std::string> names;
  if (!ListDirectory(directory, names)) {
    FailWithError(path.empty() ? std::string(".") : path, "cannot be listed", errno);
    return false;
  }
  std::size_t gone = 0;
  for (const std::string& name : names) {
    const std::string entryPath = path.empty() ? name : path + "/" + name;
    TEntryStatus status;
    if (!EntryStatusIn(directory, name, status)) {
      if (errno == ENOENT)
        ++gone;  // went away meanwhile
      else
        FailWithError(entryPath, "cannot be examined", errno);
      continue;
    }
    if (status.Kind == TEntryStatus::TKind::File) {
      if (HandleFile(directory, entryPath, name, status)) ++gone;
      continue;
    }
    // Links, devices, FIFOs and sockets are none of the service's files,
    // and another file system is not the log tree's: left alone.
    if (status.Kind != TEntryStatus::TKind::Directory || status.Device != RootDevice) continue;
    if (depth + 1 >= kMaxDepth) {
      Fail(entryPath, "lies deeper than " + std::to_string(kMaxDepth) + " levels: not walked");
      continue;
    }
    TDescriptor sub = OpenExistingSubdirectory(directory, name);
    TEntryStatus opened;
    if (!sub || !DescriptorStatus(sub.Get(), opened)) {
      // Gone, or replaced by something else (a link) since it was looked at.
      if (errno != ENOENT) FailWithError(entryPath, "cannot be opened", errno);
      continue;
    }
    if (!opened.SameFile(status)) {
      Fail(entryPath, "was replaced while being looked at: not walked");
      continue;
    }
    const bool empty = WalkDirectory(sub.Get(), entryPath, depth + 1);
    sub.Reset();
    // Judged by its time before this run touched it: deleting its files
    // just now makes it no newer.
    if (empty && AgeSeconds(status) > kEmptyDirectorySeconds) {
      if (RemoveDirectoryIn(directory, name)) {
        ++Totals_.DeletedDirectories;
        ++gone;
      } else if (errno != ENOTEMPTY && errno != EEXIST && errno != ENOENT) {
        FailWithError(entryPath, "cannot be removed", errno);
      }
    }
  }
  return gone == names.size();
}

bool TRetentionRun::HandleFile(int directory, const std::string& path, const std::string& name,
                               const TEntryStatus& status) {
  const bool plain = IsHourlyLogName(name);
  if (!plain && !IsCompressedLogName(name)) return false;
  if (AgeSeconds(status) > static_cast<std::int64_t>(Settings.KeepDays) * 86400) {
    if (RemoveFileIn(directory, name)) {
      ++Totals_.DeletedFiles;
      return true;
    }
    if (errno == ENOENT) return true;
    FailWithError(path, "cannot be deleted", errno);
    return false;
  }
  if (plain && AgeSeconds(status) > static_cast<std::int64_t>(Settings.CompressAfterHours) * 3600)
    return Compress(directory, path, name, status);
  return false;
}

void TRetentionRun::Discard(int directory, const std::string& name, const TEntryStatus& made) {
  // Only the file this run made goes, should the name lead elsewhere now.
  TEntryStatus now;
  if (EntryStatusIn(directory, name, now) && now.SameFile(made)) RemoveFileIn(directory, name);
}

bool TRetentionRun::Compress(int directory, const std::string& path, const std::string& name,
                             const TEntryStatus& status) {
  if (status.Links != 1) {
    // Another name of the file may lie anywhere, outside the tree too.
    Fail(path, "has " + std::to_string(status.Links) + " names: not compressed");
    return false;
  }
  TDescriptor source = OpenRegularFileIn(directory, name);
  TEntryStatus read;
  if (!source || !DescriptorStatus(source.Get(), read)) {
    if (errno == ENOENT) return true;
    FailWithError(path, "cannot be opened", errno);
    return false;
  }
  if (!read.SameFile(status)) {
    Fail(path, "was replaced while being looked at: not compressed");
    return false;
  }
  const std::string target = name + Suffix(Settings.Compression);
  TDescriptor out = CreateNewFileIn(directory, target, 0600);
  TEntryStatus made;
  if (!out || !DescriptorStatus(out.Get(), made)) {
    if (errno == EEXIST)
      Fail(path + Suffix(Settings.Compression), "is in the way: " + Printable(path) + " not compressed");
    else
      FailWithError(path + Suffix(Settings.Compression), "cannot be created", errno);
    if (out) Discard(directory, target, made);
    return false;
  }
  std::string error;
  const bool packed = Settings.Compression == TCompression::Zstd ? CompressZstd(source.Get(), out.Get(), error)
                                                                   : CompressGzip(source.Get(), out.Get(), error);
  // The compressed file takes the original's owner, mode and times (the
  // deletion goes by them), and is on disk before the original goes.
  if (!packed || !CopyFileAttributes(out.Get(), read) || !SyncFile(out.Get())) {
    if (packed) error = "cannot be finished: " + ErrorText(errno);
    Discard(directory, target, made);
    Fail(path, error + ": not compressed");
    return false;
  }
  out.Reset();
  TEntryStatus after;
  if (!DescriptorStatus(source.Get(), after) || after.Size != read.Size ||
      after.ModifiedSeconds != read.ModifiedSeconds || after.ModifiedNanoseconds != read.ModifiedNanoseconds) {
    // Written to meanwhile: whatever came is in no compressed form yet.
    Discard(directory, target, made);
    ++Totals_.Deferred;
    return false;
  }
  TEntryStatus current;
  if (!EntryStatusIn(directory, name, current) || !current.SameFile(read)) {
    Discard(directory, target, made);
    Fail(path, "was replaced while being compressed: kept");
    return false;
  }
  if (!RemoveFileIn(directory, name)) {
    const int removeError = errno;
    Discard(directory, target, made);
    FailWithError(path, "cannot be deleted after compression", removeError);
    return false;
  }
  ++Totals_.Compressed;
  // The compressed file stays in the directory: it is not empty.
  return false;
}

}  // namespace logserver
