// The store's one use of zstd: values compressed one by one, each a frame
// without magic number, dictionary id or checksum but with its content
// size, most often with a dictionary trained on the store's own values.
//
// Only zstd_codec.cc includes libzstd's headers. A build without libzstd
// compiles the same interface: available() is false, and everything that
// would need zstd returns the errors below.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "../util/result.h"

namespace zelkor::zstd {

// Whether this build has zstd; the linked version ("1.5.4", empty without)
// and its number (10504, 0 without).
bool available() noexcept;
std::string_view version() noexcept;
std::uint32_t version_number() noexcept;

inline constexpr int MIN_LEVEL = 1;
inline constexpr int MAX_LEVEL = 22;

// General: a build asked to compress by a build of the module without zstd.
CoreError unavailable_for_build();
// Version kind: a compressed store's values asked for by such a build.
CoreError unavailable_for_read();

// A dictionary of at most `capacity` bytes (at least 1024) trained on the
// samples, whose bytes lie back to back in `samples`, sample i being
// sizes[i] bytes long. Fixed parameters, one thread: the same samples always
// give the same dictionary with one zstd version. nullopt when zstd declines
// (too few samples, or too little in them) or has no zstd.
std::optional<std::string> train_dictionary(std::string_view samples, std::span<const std::size_t> sizes,
                                            std::size_t capacity, int level);

// The most bytes the frame of a value of `size` bytes takes.
std::size_t frame_bound(std::size_t size) noexcept;

// A dictionary digested for compression at one level (or none, for frames
// without dictionary). Any number of threads may compress with one
// compressor at once, each with a Context of its own.
class Compressor {
 public:
  // Copies what it needs of `dictionary`, which may be empty.
  static Result<Compressor> make(std::string_view dictionary, int level);
  Compressor(Compressor&&) noexcept;
  Compressor& operator=(Compressor&&) noexcept;
  ~Compressor();

  // One thread's working memory.
  class Context {
   public:
    Context();  // throws std::bad_alloc
    Context(Context&&) noexcept;
    ~Context();

   private:
    friend class Compressor;
    struct State;
    std::unique_ptr<State> state_;
  };

  // The frame of `value` at `dst`, which has room for frame_bound(value.size())
  // bytes; returns its size.
  Result<std::size_t> compress(Context& context, std::string_view value, char* dst) const;

 private:
  struct State;
  explicit Compressor(std::unique_ptr<State> state) noexcept;
  std::unique_ptr<State> state_;
};

// A dictionary digested for decompression (or none). It refers to the
// dictionary's bytes, which must stay where they are while it lives (in a
// reader's map of the file). Any number of threads may decompress with one
// decompressor at once: each thread has working memory of its own.
class Decompressor {
 public:
  static Result<Decompressor> make(std::string_view dictionary);
  Decompressor(Decompressor&&) noexcept;
  Decompressor& operator=(Decompressor&&) noexcept;
  ~Decompressor();

  // The content size that the header of `frame` declares; Corrupt when the
  // header is damaged or declares none.
  static Result<std::uint64_t> content_size(std::string_view frame);

  // Decodes `frame` into the `size` bytes at `dst`; Corrupt unless it
  // decodes to exactly that many.
  Status decompress(std::string_view frame, char* dst, std::size_t size) const;

 private:
  struct State;
  explicit Decompressor(std::unique_ptr<State> state) noexcept;
  std::unique_ptr<State> state_;
};

}  // namespace zelkor::zstd
