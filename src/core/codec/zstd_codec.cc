#include "zstd_codec.h"

#include <new>

#if ZELKOR_HAVE_ZSTD
#define ZSTD_STATIC_LINKING_ONLY   // magicless frames, ZSTD_getFrameHeader_advanced
#define ZDICT_STATIC_LINKING_ONLY  // ZDICT_trainFromBuffer_fastCover
#include <zdict.h>
#include <zstd.h>
#include <zstd_errors.h>
#endif

namespace zelkor::zstd {

namespace {

constexpr const char* HOW_TO_GET_ZSTD =
    "install zelkor with its zstd extra from a wheel, which carries zstd (pip install --only-binary zelkor "
    "'zelkor[zstd]'), or build it where libzstd's headers and library are installed (Debian: apt-get install "
    "libzstd-dev)";

}  // namespace

CoreError unavailable_for_build() {
  return CoreError::general(std::string("compression \"zstd\" needs zstd, and this build of _zelkor has none: ") +
                            HOW_TO_GET_ZSTD);
}

CoreError unavailable_for_read() {
  return CoreError::unsupported(
      std::string("the store's values are compressed with zstd, and this build of _zelkor has no zstd: ") +
      HOW_TO_GET_ZSTD);
}

#if ZELKOR_HAVE_ZSTD

static_assert(ZSTD_VERSION_NUMBER >= 10400, "zstd 1.4.0 or later is needed");

namespace {

// Segment size, the length of the d-mers it is scored by, the size of the
// frequency table and the sampling of positions: one fixed choice for any
// data, rather than zstd's search over several, which costs several times
// as long and did no better on records of a few hundred bytes (with
// accel 2 training takes two thirds of the time of 1, for 0.1 % of ratio).
constexpr unsigned TRAIN_SEGMENT = 1024;
constexpr unsigned TRAIN_DMER = 8;
constexpr unsigned TRAIN_FREQUENCY_LOG = 20;
constexpr unsigned TRAIN_ACCEL = 2;

// A frame never asks for a window larger than this (the default limit of
// zstd's decoder); one-shot decoding into the value's own bytes needs none.
constexpr int WINDOW_LOG_MAX = 27;

CoreError zstd_failure(const char* what, std::size_t code) {
  return CoreError::corrupt(std::string(what) + ": " + ZSTD_getErrorName(code));
}

struct FreeCCtx {
  void operator()(ZSTD_CCtx* c) const noexcept { ZSTD_freeCCtx(c); }
};
struct FreeCDict {
  void operator()(ZSTD_CDict* d) const noexcept { ZSTD_freeCDict(d); }
};
struct FreeDCtx {
  void operator()(ZSTD_DCtx* c) const noexcept { ZSTD_freeDCtx(c); }
};
struct FreeDDict {
  void operator()(ZSTD_DDict* d) const noexcept { ZSTD_freeDDict(d); }
};

// The calling thread's decoding context, made on its first use: frames
// without magic number, windows bounded. It holds no dictionary; each call
// names its own.
ZSTD_DCtx* thread_dctx() {
  thread_local std::unique_ptr<ZSTD_DCtx, FreeDCtx> context;
  if (!context) {
    context.reset(ZSTD_createDCtx());
    if (!context) throw std::bad_alloc();
    if (ZSTD_isError(ZSTD_DCtx_setParameter(context.get(), ZSTD_d_format, ZSTD_f_zstd1_magicless)) ||
        ZSTD_isError(ZSTD_DCtx_setParameter(context.get(), ZSTD_d_windowLogMax, WINDOW_LOG_MAX))) {
      context.reset();
      throw std::bad_alloc();
    }
  }
  return context.get();
}

}  // namespace

bool available() noexcept { return true; }
std::string_view version() noexcept { return ZSTD_versionString(); }
std::uint32_t version_number() noexcept { return ZSTD_versionNumber(); }

std::optional<std::string> train_dictionary(std::string_view samples, std::span<const std::size_t> sizes,
                                            std::size_t capacity, int level) {
  if (sizes.empty() || sizes.size() > UINT32_MAX || capacity < 1024) return std::nullopt;
  std::string dictionary(capacity, '\0');
  ZDICT_fastCover_params_t params{};
  params.k = TRAIN_SEGMENT;
  params.d = TRAIN_DMER;
  params.f = TRAIN_FREQUENCY_LOG;
  params.accel = TRAIN_ACCEL;
  params.nbThreads = 0;
  params.zParams.compressionLevel = level;
  params.zParams.notificationLevel = 0;
  params.zParams.dictID = 0;  // then derived from the content
  const std::size_t made =
      ZDICT_trainFromBuffer_fastCover(dictionary.data(), dictionary.size(), samples.data(), sizes.data(),
                                      static_cast<unsigned>(sizes.size()), params);
  if (ZDICT_isError(made) || made == 0) return std::nullopt;
  dictionary.resize(made);
  return dictionary;
}

std::size_t frame_bound(std::size_t size) noexcept { return ZSTD_compressBound(size); }

struct Compressor::State {
  std::unique_ptr<ZSTD_CDict, FreeCDict> dictionary;
  int level = 0;
};

struct Compressor::Context::State {
  std::unique_ptr<ZSTD_CCtx, FreeCCtx> context;
};

Compressor::Compressor(std::unique_ptr<State> state) noexcept : state_(std::move(state)) {}
Compressor::Compressor(Compressor&&) noexcept = default;
Compressor& Compressor::operator=(Compressor&&) noexcept = default;
Compressor::~Compressor() = default;

Result<Compressor> Compressor::make(std::string_view dictionary, int level) {
  auto state = std::make_unique<State>();
  state->level = level;
  if (!dictionary.empty()) {
    state->dictionary.reset(ZSTD_createCDict(dictionary.data(), dictionary.size(), level));
    if (!state->dictionary) return CoreError::general("zstd cannot use the trained dictionary");
  }
  return Compressor(std::move(state));
}

Compressor::Context::Context() : state_(std::make_unique<State>()) {
  state_->context.reset(ZSTD_createCCtx());
  if (!state_->context) throw std::bad_alloc();
}
Compressor::Context::Context(Context&&) noexcept = default;
Compressor::Context::~Context() = default;

Result<std::size_t> Compressor::compress(Context& context, std::string_view value, char* dst) const {
  ZSTD_CCtx* c = context.state_->context.get();
  // Every frame alike: no magic number, no dictionary id, no checksum (the
  // store's CRC-32 covers the frame), the content size always.
  ZSTD_CCtx_reset(c, ZSTD_reset_session_and_parameters);
  std::size_t r = ZSTD_CCtx_setParameter(c, ZSTD_c_compressionLevel, state_->level);
  if (!ZSTD_isError(r)) r = ZSTD_CCtx_setParameter(c, ZSTD_c_format, ZSTD_f_zstd1_magicless);
  if (!ZSTD_isError(r)) r = ZSTD_CCtx_setParameter(c, ZSTD_c_contentSizeFlag, 1);
  if (!ZSTD_isError(r)) r = ZSTD_CCtx_setParameter(c, ZSTD_c_checksumFlag, 0);
  if (!ZSTD_isError(r)) r = ZSTD_CCtx_setParameter(c, ZSTD_c_dictIDFlag, 0);
  if (!ZSTD_isError(r)) r = ZSTD_CCtx_refCDict(c, state_->dictionary.get());
  if (!ZSTD_isError(r)) r = ZSTD_compress2(c, dst, frame_bound(value.size()), value.data(), value.size());
  if (ZSTD_isError(r)) {
    if (ZSTD_getErrorCode(r) == ZSTD_error_memory_allocation) throw std::bad_alloc();
    return CoreError::general(std::string("zstd cannot compress a value: ") + ZSTD_getErrorName(r));
  }
  return r;
}

struct Decompressor::State {
  std::unique_ptr<ZSTD_DDict, FreeDDict> dictionary;
};

Decompressor::Decompressor(std::unique_ptr<State> state) noexcept : state_(std::move(state)) {}
Decompressor::Decompressor(Decompressor&&) noexcept = default;
Decompressor& Decompressor::operator=(Decompressor&&) noexcept = default;
Decompressor::~Decompressor() = default;

Result<Decompressor> Decompressor::make(std::string_view dictionary) {
  auto state = std::make_unique<State>();
  if (!dictionary.empty()) {
    state->dictionary.reset(ZSTD_createDDict_advanced(dictionary.data(), dictionary.size(), ZSTD_dlm_byRef,
                                                      ZSTD_dct_fullDict, ZSTD_defaultCMem));
    if (!state->dictionary) return CoreError::corrupt("codec description: the dictionary is damaged");
  }
  return Decompressor(std::move(state));
}

Result<std::uint64_t> Decompressor::content_size(std::string_view frame) {
  ZSTD_frameHeader header;
  const std::size_t r = ZSTD_getFrameHeader_advanced(&header, frame.data(), frame.size(), ZSTD_f_zstd1_magicless);
  if (ZSTD_isError(r)) return zstd_failure("compressed value: bad frame header", r);
  if (r != 0 || header.frameType != ZSTD_frame) return CoreError::corrupt("compressed value: bad frame header");
  if (header.frameContentSize == ZSTD_CONTENTSIZE_UNKNOWN) {
    return CoreError::corrupt("compressed value: the frame declares no size");
  }
  return static_cast<std::uint64_t>(header.frameContentSize);
}

Status Decompressor::decompress(std::string_view frame, char* dst, std::size_t size) const {
  // Exactly `size` bytes of room: a frame that decodes to more fails here,
  // one that decodes to less is caught below.
  const std::size_t r =
      ZSTD_decompress_usingDDict(thread_dctx(), dst, size, frame.data(), frame.size(), state_->dictionary.get());
  if (ZSTD_isError(r)) {
    if (ZSTD_getErrorCode(r) == ZSTD_error_memory_allocation) throw std::bad_alloc();
    return zstd_failure("compressed value damaged", r);
  }
  if (r != size) {
    return CoreError::corrupt("compressed value damaged: it decodes to " + std::to_string(r) +
                              " bytes, its frame declares " + std::to_string(size));
  }
  return Status();
}

#else  // no zstd in this build

bool available() noexcept { return false; }
std::string_view version() noexcept { return {}; }
std::uint32_t version_number() noexcept { return 0; }

std::optional<std::string> train_dictionary(std::string_view, std::span<const std::size_t>, std::size_t, int) {
  return std::nullopt;
}

std::size_t frame_bound(std::size_t) noexcept { return 0; }

struct Compressor::State {};
struct Compressor::Context::State {};

Compressor::Compressor(std::unique_ptr<State> state) noexcept : state_(std::move(state)) {}
Compressor::Compressor(Compressor&&) noexcept = default;
Compressor& Compressor::operator=(Compressor&&) noexcept = default;
Compressor::~Compressor() = default;
Result<Compressor> Compressor::make(std::string_view, int) { return unavailable_for_build(); }
Compressor::Context::Context() : state_(std::make_unique<State>()) {}
Compressor::Context::Context(Context&&) noexcept = default;
Compressor::Context::~Context() = default;
Result<std::size_t> Compressor::compress(Context&, std::string_view, char*) const { return unavailable_for_build(); }

struct Decompressor::State {};

Decompressor::Decompressor(std::unique_ptr<State> state) noexcept : state_(std::move(state)) {}
Decompressor::Decompressor(Decompressor&&) noexcept = default;
Decompressor& Decompressor::operator=(Decompressor&&) noexcept = default;
Decompressor::~Decompressor() = default;
Result<Decompressor> Decompressor::make(std::string_view) { return unavailable_for_read(); }
Result<std::uint64_t> Decompressor::content_size(std::string_view) { return unavailable_for_read(); }
Status Decompressor::decompress(std::string_view, char*, std::size_t) const { return unavailable_for_read(); }

#endif

}  // namespace zelkor::zstd
