// DeflatedEntry: zlib's raw deflate into memory, and libzip's reading protocol over the result.
#include "zip/DeflatedEntry.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>

#include "kest/seams/ZipLibOps.h"

namespace zipdetail {

namespace {

// zlib counts in unsigned int: input and output are handed over in pieces of at most this size.
constexpr size_t kPiece = size_t{1} << 30;
// Room that lets every deflate call make progress (a block header and a stored block's length).
constexpr size_t kMinRoom = 64;
// An input of at least 16 KiB is deflated with libzip's own parameters (the largest window and
// memory level): byte for byte what libzip would have written. A smaller one gets a window just
// large enough to hold it and a memory level that keeps every symbol of it in one block: the same
// matches, while zlib sets up (and zeroes) a few KiB of state instead of some 400 KiB. Any inflater
// reads the result, whose window size no raw deflate stream records.
constexpr size_t kLibzipParametersFrom = 16 * 1024;
constexpr int kMinWindowBits = 9;  // zlib's smallest window for a raw stream

struct Parameters {
  int windowBits;
  int memLevel;
};

Parameters parametersFor(size_t size) {
  if (size >= kLibzipParametersFrom) return {MAX_WBITS, MAX_MEM_LEVEL};
  int windowBits = kMinWindowBits;
  while ((size_t{1} << windowBits) < size) ++windowBits;
  // zlib buffers 2^(memLevel + 6) symbols per block: 2^(windowBits + 1), more than the input has.
  return {windowBits, std::min(MAX_MEM_LEVEL, windowBits - 5)};
}

struct DeflateEnd {
  void operator()(z_stream* stream) const { ::deflateEnd(stream); }
};

constexpr zip_int64_t kSupported = ZIP_SOURCE_SUPPORTS_READABLE | ZIP_SOURCE_MAKE_COMMAND_BITMASK(ZIP_SOURCE_SUPPORTS) |
                                   ZIP_SOURCE_MAKE_COMMAND_BITMASK(ZIP_SOURCE_GET_FILE_ATTRIBUTES);

// The general-purpose flag bits 1 and 2 that name the deflate option, as libzip sets them.
zip_uint16_t deflateOptionFlags(zip_uint32_t level) {
  if (level < 3) return 2 << 1;  // super fast
  if (level > 7) return 1 << 1;  // maximum
  return 0;                      // normal
}

// The state of one source: where libzip reads next in the shared entry.
struct Reader {
  std::shared_ptr<const DeflatedEntry> entry;
  uint64_t position = 0;
  zip_error_t error;

  explicit Reader(std::shared_ptr<const DeflatedEntry> e) : entry(std::move(e)) { zip_error_init(&error); }
  ~Reader() { zip_error_fini(&error); }
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  zip_int64_t fail(int zipError) {
    zip_error_set(&error, zipError, 0);
    return -1;
  }

  zip_int64_t handle(void* data, zip_uint64_t length, zip_source_cmd_t command) {
    switch (command) {
      case ZIP_SOURCE_SUPPORTS:
        return kSupported;
      case ZIP_SOURCE_OPEN:
        position = 0;
        return 0;
      case ZIP_SOURCE_READ: {
        const std::string& bytes = entry->compressed();
        const uint64_t n = std::min<uint64_t>(length, bytes.size() - position);
        std::memcpy(data, bytes.data() + position, static_cast<size_t>(n));
        position += n;
        return static_cast<zip_int64_t>(n);
      }
      case ZIP_SOURCE_CLOSE:
        return 0;
      case ZIP_SOURCE_STAT: {
        if (length < sizeof(zip_stat_t)) return fail(ZIP_ER_INTERNAL);
        auto* const st = static_cast<zip_stat_t*>(data);
        zip_stat_init(st);
        st->size = entry->size();
        st->comp_size = entry->compressed().size();
        st->crc = entry->crc();
        st->comp_method = ZIP_CM_DEFLATE;
        st->encryption_method = ZIP_EM_NONE;
        st->valid |=
            ZIP_STAT_SIZE | ZIP_STAT_COMP_SIZE | ZIP_STAT_CRC | ZIP_STAT_COMP_METHOD | ZIP_STAT_ENCRYPTION_METHOD;
        return sizeof(zip_stat_t);
      }
      case ZIP_SOURCE_GET_FILE_ATTRIBUTES: {
        if (length < sizeof(zip_file_attributes_t)) return fail(ZIP_ER_INTERNAL);
        auto* const attributes = static_cast<zip_file_attributes_t*>(data);
        attributes->valid |= ZIP_FILE_ATTRIBUTES_VERSION_NEEDED | ZIP_FILE_ATTRIBUTES_GENERAL_PURPOSE_BIT_FLAGS;
        attributes->version_needed = 20;  // deflate
        attributes->general_purpose_bit_flags = deflateOptionFlags(entry->level());
        attributes->general_purpose_bit_mask = 0x0006;
        return sizeof(zip_file_attributes_t);
      }
      case ZIP_SOURCE_ERROR:
        return zip_error_to_data(&error, data, length);
      default:
        return fail(ZIP_ER_OPNOTSUPP);
    }
  }
};

zip_int64_t readerCallback(void* state, void* data, zip_uint64_t length, zip_source_cmd_t command) {
  auto* const reader = static_cast<Reader*>(state);
  if (command == ZIP_SOURCE_FREE) {
    delete reader;
    return 0;
  }
  return reader->handle(data, length, command);
}

}  // namespace

std::shared_ptr<const DeflatedEntry> DeflatedEntry::deflate(std::string_view bytes, zip_uint32_t level,
                                                            zip_error_t* error) {
  z_stream stream{};
  const Parameters parameters = parametersFor(bytes.size());
  if (::deflateInit2(&stream, static_cast<int>(level), Z_DEFLATED, -parameters.windowBits, parameters.memLevel,
                     Z_DEFAULT_STRATEGY) != Z_OK) {
    zip_error_set(error, ZIP_ER_MEMORY, 0);
    return nullptr;
  }
  const std::unique_ptr<z_stream, DeflateEnd> end(&stream);
  // Sized for the whole output of any input up to kPiece: one deflate call for an entry that fits.
  std::string out(::deflateBound(&stream, static_cast<uLong>(std::min(bytes.size(), kPiece))), '\0');
  size_t consumed = 0;
  size_t produced = 0;
  for (;;) {
    const size_t in = std::min(bytes.size() - consumed, kPiece);
    const bool last = consumed + in == bytes.size();
    if (out.size() - produced < kMinRoom) out.resize(out.size() + std::max(out.size(), kMinRoom));
    const size_t room = std::min(out.size() - produced, kPiece);
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data() + consumed));
    stream.avail_in = static_cast<uInt>(in);
    stream.next_out = reinterpret_cast<Bytef*>(out.data() + produced);
    stream.avail_out = static_cast<uInt>(room);
    const int result = ::deflate(&stream, last ? Z_FINISH : Z_NO_FLUSH);
    consumed += in - stream.avail_in;
    produced += room - stream.avail_out;
    if (result == Z_STREAM_END) break;
    if (result != Z_OK && result != Z_BUF_ERROR) {
      zip_error_set(error, ZIP_ER_ZLIB, result);
      return nullptr;
    }
  }
  out.resize(produced);
  out.shrink_to_fit();
  const auto crc = static_cast<uint32_t>(
      ::crc32_z(::crc32_z(0, nullptr, 0), reinterpret_cast<const Bytef*>(bytes.data()), bytes.size()));
  return std::shared_ptr<const DeflatedEntry>(new DeflatedEntry(std::move(out), bytes.size(), crc, level));
}

zip_source_t* DeflatedEntry::source(std::shared_ptr<const DeflatedEntry> entry, zip_error_t* error) {
  auto reader = std::make_unique<Reader>(std::move(entry));
  zip_source_t* const source = zipLibOps().sourceFunctionCreate(&readerCallback, reader.get(), error);
  if (source != nullptr) (void)reader.release();  // freed by ZIP_SOURCE_FREE
  return source;
}

}  // namespace zipdetail
