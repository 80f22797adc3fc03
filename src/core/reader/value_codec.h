// How a reader turns the stored payloads of a compressed store back into
// the values that were added (format/codec_block.h): the store's codec
// description, and its dictionary digested once.
//
// Every decompression is bounded before anything is allocated for it: the
// size a frame declares must be at most the largest value the build
// recorded, and at most what a frame of its length can hold at all (each
// block of a frame takes at least three bytes and holds at most 128 KiB).
// The value is then decoded into exactly that many bytes, and must fill
// them, so a damaged frame or dictionary gives an error or, where zstd
// cannot tell, wrong bytes of the declared length, never more memory.
#pragma once

#include <cstdint>
#include <string_view>

#include "../codec/zstd_codec.h"
#include "../format/codec_block.h"
#include "../util/result.h"

namespace zelkor {

class ValueCodec {
 public:
  // The codec that the description `block` names. The block lies in a
  // reader's map of the file, which outlives the codec (its dictionary is
  // used where it lies). Corrupt for a damaged description or dictionary;
  // Version ("... has no zstd") in a build without zstd.
  static Result<ValueCodec> load(std::string_view block);

  const CodecDescription& description() const noexcept { return description_; }

  // The length of the value that `stored`, a compressed payload
  // (is_compressed), decodes to, within the bounds above.
  Result<std::size_t> decoded_size(std::string_view stored) const;
  // Decodes `stored` into the `size` bytes at `dst`, size being what
  // decoded_size gave.
  Status decode(std::string_view stored, char* dst, std::size_t size) const;

 private:
  ValueCodec(const CodecDescription& description, zstd::Decompressor decompressor) noexcept
      : description_(description), decompressor_(std::move(decompressor)) {}

  CodecDescription description_;
  zstd::Decompressor decompressor_;
};

}  // namespace zelkor
