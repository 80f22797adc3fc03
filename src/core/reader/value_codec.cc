#include "value_codec.h"

#include <string>

namespace zelkor {

namespace {

// The most bytes one block of a frame holds, and the fewest it takes.
constexpr std::uint64_t BLOCK_CONTENT_MAX = std::uint64_t{128} << 10;
constexpr std::uint64_t BLOCK_SIZE_MIN = 3;

}  // namespace

Result<ValueCodec> ValueCodec::load(std::string_view block) {
  Result<CodecDescription> description = decode_codec_block(block);
  if (!description.ok()) return std::move(description).error();
  Result<zstd::Decompressor> decompressor = zstd::Decompressor::make(description.value().dictionary);
  if (!decompressor.ok()) return std::move(decompressor).error();
  return ValueCodec(description.value(), std::move(decompressor).value());
}

Result<std::size_t> ValueCodec::decoded_size(std::string_view stored) const {
  const std::string_view frame = stored.substr(1);
  Result<std::uint64_t> declared = zstd::Decompressor::content_size(frame);
  if (!declared.ok()) return std::move(declared).error();
  const std::uint64_t size = declared.value();
  if (size > description_.max_value_size) {
    return CoreError::corrupt("compressed value declares " + std::to_string(size) +
                              " bytes, more than the store's largest value (" +
                              std::to_string(description_.max_value_size) + ")");
  }
  if (size > (frame.size() / BLOCK_SIZE_MIN + 1) * BLOCK_CONTENT_MAX) {
    return CoreError::corrupt("compressed value declares " + std::to_string(size) + " bytes, more than a frame of " +
                              std::to_string(frame.size()) + " bytes can hold");
  }
  return static_cast<std::size_t>(size);
}

Status ValueCodec::decode(std::string_view stored, char* dst, std::size_t size) const {
  return decompressor_.decompress(stored.substr(1), dst, size);
}

}  // namespace zelkor
