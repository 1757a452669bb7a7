// A bounds-checked, little-endian view over bytes read from an untrusted file. Every read says
// whether it lay inside the view; nothing else in this layer does offset arithmetic on file data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace platform::formats {

// Version blocks align every node, value and child to four bytes from the block's start.
constexpr std::size_t AlignTo4(std::size_t offset) {
    return (offset + 3) & ~std::size_t{3};
}

class ByteView {
  public:
    constexpr ByteView() = default;
    constexpr ByteView(const std::uint8_t* data, std::size_t size) : bytes(data), length(size) {}

    constexpr std::size_t size() const { return length; }
    constexpr const std::uint8_t* data() const { return bytes; }

    constexpr bool Contains(std::size_t offset, std::size_t count) const {
        return offset <= length && count <= length - offset;
    }

    constexpr std::optional<std::uint8_t> Read8(std::size_t offset) const {
        if (!Contains(offset, 1)) {
            return std::nullopt;
        }
        return bytes[offset];
    }

    constexpr std::optional<std::uint16_t> Read16(std::size_t offset) const {
        if (!Contains(offset, 2)) {
            return std::nullopt;
        }
        return static_cast<std::uint16_t>(bytes[offset] | bytes[offset + 1] << 8);
    }

    constexpr std::optional<std::uint32_t> Read32(std::size_t offset) const {
        if (!Contains(offset, 4)) {
            return std::nullopt;
        }
        return static_cast<std::uint32_t>(bytes[offset]) |
               static_cast<std::uint32_t>(bytes[offset + 1]) << 8 |
               static_cast<std::uint32_t>(bytes[offset + 2]) << 16 |
               static_cast<std::uint32_t>(bytes[offset + 3]) << 24;
    }

    constexpr std::optional<ByteView> Sub(std::size_t offset, std::size_t count) const {
        if (!Contains(offset, count)) {
            return std::nullopt;
        }
        return ByteView(bytes + offset, count);
    }

    // The bytes from offset to the end; empty when offset lies past the end.
    constexpr ByteView From(std::size_t offset) const {
        return offset >= length ? ByteView() : ByteView(bytes + offset, length - offset);
    }

  private:
    const std::uint8_t* bytes = nullptr;
    std::size_t length = 0;
};

}  // namespace platform::formats
